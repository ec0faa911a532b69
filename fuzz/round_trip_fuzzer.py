"""Fuzzer for the whole cycle through Python: text to model, model to text, and back.

Any text either loads or is refused with a ValueError; a model that loaded writes a
text that loads again into a model that writes the same text, in both layouts, and
survives pickling unchanged. Run with atheris (coverage of the native modules needs
them built with QUARVEL_FUZZ=ON, see fuzz/run.sh):

    python fuzz/round_trip_fuzzer.py CORPUS_DIR -max_total_time=60
"""

import pickle
import sys
from pathlib import Path

import atheris

with atheris.instrument_imports():
    from quarvel.idd import IDD
    from quarvel.idf import IDF

SCHEMA = IDD.from_file(Path(__file__).parent.parent / "tests" / "data" / "test.idd")


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


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
