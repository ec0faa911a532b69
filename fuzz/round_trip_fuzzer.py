"""Fuzzer for the whole cycle through Python: text to model, model to text, and back.

Any text either loads or is refused with a ValueError; a model that loaded writes a
text that loads again into a model that writes the same text, in both layouts, and
survives pickling unchanged. Then a sequence of edits chosen by the input runs on it,
with values whose own code changes the model in the middle of a write; after each the
model's indexes must agree with its objects and its text must load again. Run with
atheris (coverage of the native modules needs them built with QUARVEL_FUZZ=ON, see
fuzz/run.sh):

    python fuzz/round_trip_fuzzer.py CORPUS_DIR -max_total_time=60
"""

import copy
import pickle
import random
import sys
import zlib
from pathlib import Path

import atheris

ROOT = Path(__file__).parent.parent
sys.path.insert(0, str(ROOT / "tests"))

with atheris.instrument_imports():
    from quarvel.idd import IDD, UnknownFieldError
    from quarvel.idf import IDF

from invariants import check_invariants  # noqa: E402

SCHEMA = IDD.from_file(ROOT / "tests" / "data" / "test.idd")
CLASSES = ["Zone", "People", "Lights", "BuildingSurface:Detailed", "Schedule:Constant", "ClassA"]
TEXTS = ["A", "West Zone", "x,y", "a;b", "!", "line\nbreak", "", "  padded ", "\x00", "1.5"]


class Meddler:
    """A value whose conversion to text changes the model first."""

    def __init__(self, action):
        self.action = action

    def __str__(self):
        self.action()
        return "meddled"


def random_edit(model: IDF, rng: random.Random) -> None:
    live = list(model)
    target = rng.choice(live) if live else None
    meddle = [
        lambda: model.remove_object(target) if target in model else None,
        lambda: model.add_object(rng.choice(CLASSES)),
        lambda: model.remove_all_objects(rng.choice(CLASSES)),
        lambda: target.__setitem__(0, rng.choice(TEXTS)) if target is not None else None,
    ]
    value = Meddler(rng.choice(meddle)) if rng.random() < 0.3 else rng.choice(TEXTS + [None, 3, 2.5])
    edits = [
        lambda: target.__setitem__(rng.randrange(4), value),
        lambda: target.update({0: value, rng.randrange(1, 4): rng.choice(TEXTS)}, rng.random() < 0.5),
        lambda: model.add_object(rng.choice(CLASSES), [value, rng.choice(TEXTS)], rng.random() < 0.5),
        lambda: model.remove_object(target),
        lambda: model.remove_all_objects(rng.choice(CLASSES)),
        lambda: copy.deepcopy(model),
    ]
    if target is None:
        edits = edits[2:3]
    try:
        rng.choice(edits)()
    except (ValueError, IndexError, TypeError, UnknownFieldError):
        pass  # refused: the model is checked below either way


def check_round_trip(model: IDF, **layout) -> None:
    text = model.format(**layout)
    again = IDF.from_string(SCHEMA, text)
    if again.format(**layout) != text:
        raise AssertionError(f"text changed on reload with {layout}")


def test_one_input(data: bytes) -> None:
    text = data.decode("utf-8", "replace")
    try:
        model = IDF.from_string(SCHEMA, text)
    except ValueError as exc:
        if not str(exc).startswith("IDF parsing error"):
            raise
        return
    check_round_trip(model)
    check_round_trip(model, compact=True)
    check_round_trip(model, preserve_order=True, field_size=0)
    if pickle.loads(pickle.dumps(model)).format() != model.format():
        raise AssertionError("text changed through pickling")
    for cls in model.get_class_names():
        for obj in model[cls]:
            listed = len(SCHEMA.class_info(cls)["fields"])
            for i in range(len(obj.get_values())):
                if i >= listed and not SCHEMA.class_info(cls)["extensible"]:
                    break  # values beyond the schema's fields have no index
                obj.get_referenced_object(i)
                obj.get_referencing_objects(i)
    rng = random.Random(zlib.crc32(data))
    for _ in range(rng.randrange(1, 6)):
        random_edit(model, rng)
        check_invariants(model)
        # Blanks at the ends of a value are kept in memory and trimmed on reload, so
        # the text settles after one reload.
        text = IDF.from_string(SCHEMA, model.format()).format()
        if IDF.from_string(SCHEMA, text).format() != text:
            raise AssertionError("an edited model's text changed on reload")


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
