"""Saving in the layout of the text read: no edits give the input back byte for byte, and
edits change only the lines of the objects edited."""

import difflib
import io
import random

import pytest

from quarvel.idd import IDD
from quarvel.idf import IDF

from .conftest import DATA
from .realdata import REAL_DATASETS, REAL_MODELS, REAL_SCHEMA, needs_real_data

SCHEMA = IDD.from_file(DATA / "test.idd")


def opened(data: bytes, schema=SCHEMA, encoding=None):
    return IDF.open(io.BytesIO(data), schema=schema, encoding=encoding, keep_layout=True)


def saved(model) -> bytes:
    out = io.BytesIO()
    model.save(out, layout="original")
    return out.getvalue()


def test_every_loadable_file_of_the_test_data_comes_back_unchanged():
    loaded = 0
    for path in sorted(DATA.iterdir()):
        data = path.read_bytes()
        try:
            model = opened(data)
        except (ValueError, TypeError):
            continue  # not a model of this schema (the fuzzers' seeds are mostly not)
        loaded += 1
        assert saved(model) == data, path.name
    assert loaded >= 20


@pytest.mark.parametrize("text", [
    b"Zone,\r\n  Office,   !- Name\r\n  0;\r\n\r\n! about B\r\nClassA,x;\r\n",
    b"Zone,\r  Office;\r\rClassA,x;\r",
    b"\xef\xbb\xbf! head\n\nZone,Office;\n",
    b"Zone,Caf\xe9 \xab\xbb;\n! trailing\n",  # Windows-1252
    b"\tZone,\t Office \t,\t0 ;  \n\n\n  ClassA ,x;   ! note\n",
    b"Zone,A; Zone,B;\nClassA,x;",  # no final newline
    b"",
    b"! only a comment\n",
])
def test_generated_files_come_back_unchanged(text):
    model = opened(text)
    assert saved(model) == text
    encoding = "cp1252" if b"\xe9" in text else "utf-8-sig"
    assert model.format(layout="original") == text.decode(encoding)


def changed_lines(before: bytes, after: bytes) -> list[str]:
    a = before.decode("utf-8", "replace").splitlines()
    b = after.decode("utf-8", "replace").splitlines()
    return [line for line in difflib.unified_diff(a, b, lineterm="", n=0)
            if line[:1] in "+-" and not line.startswith(("+++", "---"))]


@pytest.mark.parametrize(("edit", "text", "expected"), [
    # a value that fits keeps the comment column; a longer one leaves one blank
    (lambda m: m["Zone"][0].__setitem__("Name", "Main"),
     b"Zone,\n    Office,   !- Name\n    0;        !- Direction\n",
     b"Zone,\n    Main,     !- Name\n    0;        !- Direction\n"),
    (lambda m: m["Zone"][0].__setitem__("Name", "A Much Longer Name"),
     b"Zone,\n    Office,   !- Name\n    0;\n",
     b"Zone,\n    A Much Longer Name, !- Name\n    0;\n"),
    # an empty value on its own line, and one inside a line
    (lambda m: m["Zone"][0].__setitem__(1, 5),
     b"Zone,\n  Office,\n  ,\n  0;\n", b"Zone,\n  Office,\n  5,\n  0;\n"),
    (lambda m: m["Zone"][0].__setitem__(1, 5), b"Zone,Office,,0;\n", b"Zone,Office,5,0;\n"),
    # values beyond the last written one, in the object's own style
    (lambda m: m["Zone"][0].__setitem__(2, 7), b"Zone,Office,1;\n", b"Zone,Office,1,7;\n"),
    (lambda m: m["Zone"][0].__setitem__(2, 7),
     b"Zone,\n  Office,  !- Name\n  1;       !- Direction of Relative North {deg}\n",
     b"Zone,\n  Office,  !- Name\n  1,       !- Direction of Relative North {deg}\n  7;       !- X Origin {m}\n"),
    # a removed object goes with its comment lines and the blank lines before it
    (lambda m: m.remove_object(m["Zone"][1]),
     b"Zone,A;\n\n! about B\nZone,B;\n\nZone,C;\n", b"Zone,A;\n\nZone,C;\n"),
    (lambda m: m.remove_object(m["Zone"][0]),
     b"! head\n\n! about A\nZone,A;\n\nZone,B;\n", b"! head\n\nZone,B;\n"),
    (lambda m: m.remove_object(m["Zone"][1]), b"Zone,A; Zone,B;\nClassA,x;\n", b"Zone,A;\nClassA,x;\n"),
    # an added object goes after the last of its class, styled as the one above it
    (lambda m: m.add_object("Zone", ["New"], default_values=False),
     b"Zone,\r\n  A;    !- Name\r\n\r\nClassA,x;\r\n",
     b"Zone,\r\n  A;    !- Name\r\n\r\nZone,\r\n  New;  !- Name\r\n\r\nClassA,x;\r\n"),
    (lambda m: m.add_object("ClassB", ["y"]), b"Zone,A;\n", b"Zone,A;\n\nClassB,y;\n"),
    (lambda m: m.add_object("ClassB", ["y"]), b"Zone,A;", b"Zone,A;\n\nClassB,y;"),
    # comments changed on an object read
    (lambda m: setattr(m["Zone"][1], "comments", [" moved here"]),
     b"Zone,A;\n! old\nZone,B;\n", b"Zone,A;\n! moved here\nZone,B;\n"),
])
def test_edits_change_only_what_was_edited(edit, text, expected):
    model = opened(text)
    edit(model)
    assert saved(model) == expected
    again = opened(expected)
    assert again.diff(model) == [] and len(again) == len(model)


def test_a_rename_rewrites_the_name_and_its_references_in_place():
    text = (DATA / "office.idf").read_bytes()
    model = opened(text)
    rewritten = model.get_object_by_name("Zone", "West Zone").rename("Library")
    out = saved(model)
    assert len(changed_lines(text, out)) == 2 * (rewritten + 1)
    assert opened(out).diff(model) == []


def test_the_library_layout_stays_the_default():
    text = (DATA / "office.idf").read_bytes()
    model = opened(text)
    plain = IDF.from_file(SCHEMA, DATA / "office.idf")
    assert model.format() == plain.format() and model.format(layout="library") == plain.format()


def test_a_value_the_files_encoding_cannot_hold_is_refused_before_writing(tmp_path):
    model = opened(b"Zone,Caf\xe9;\n")  # Windows-1252
    model["Zone"][0][0] = "Caf\u4e2d"
    with pytest.raises(ValueError, match=r"cannot be written in the file's own encoding \(cp1252\)"):
        model.save(tmp_path / "out.idf", layout="original")
    assert not (tmp_path / "out.idf").exists()


def test_a_model_that_keeps_its_text_is_freed_when_dropped():
    import gc
    import weakref

    model = opened((DATA / "office.idf").read_bytes())
    gone = weakref.ref(model)
    del model
    gc.collect()
    assert gone() is None


def test_a_model_that_kept_no_text_is_refused(tmp_path):
    model = IDF.from_file(SCHEMA, DATA / "office.idf")
    with pytest.raises(ValueError, match=r"keeps no source text.*keep_layout=True"):
        model.save(tmp_path / "out.idf", layout="original")
    assert not (tmp_path / "out.idf").exists()
    with pytest.raises(ValueError, match="layout must be 'library' or 'original', not 'mine'"):
        model.format(layout="mine")


# ---- the shared models: round trips and random edits -----------------------------------


@needs_real_data
@pytest.mark.parametrize("path", REAL_MODELS + REAL_DATASETS, ids=lambda p: p.name)
def test_shared_files_come_back_unchanged(path):
    data = path.read_bytes()
    assert saved(opened(data, _real_schema())) == data


_schema_cache: list[IDD] = []


def _real_schema() -> IDD:
    if not _schema_cache:
        _schema_cache.append(IDD.from_file(REAL_SCHEMA))
    return _schema_cache[0]


def _random_edit(model, rng: random.Random) -> dict[int, object]:
    """One edit of a random kind; the objects it touched, by id."""
    objects = list(model)
    obj = rng.choice(objects)
    kind = rng.choice(["set", "rename", "add", "remove", "update"])
    if kind == "set" and len(obj) > 1:
        index = rng.randrange(1, len(obj))
        value = obj[index]
        obj[index] = value * 2 if isinstance(value, (int, float)) and not isinstance(value, bool) else value
        return {id(obj): obj}
    if kind == "rename" and obj.class_name in ("Zone", "Construction", "Material", "Schedule:Compact"):
        touched = {id(o): o for o in (*obj.get_referencing_objects(0), obj)}
        obj.rename(f"{obj[0]} {rng.randrange(1000)}")
        return touched
    if kind == "add":
        added = model.add_object("Output:Variable", ["*", f"Site Variable {rng.randrange(1000)}", "Hourly"])
        return {id(added): added}
    if kind == "remove" and not obj.get_referencing_objects(0) and obj.class_name != "Version":
        model.remove_object(obj)
        return {id(obj): obj}
    return {}


@needs_real_data
@pytest.mark.parametrize("path", REAL_MODELS[:4], ids=lambda p: p.stem)
@pytest.mark.parametrize("seed", [1, 2])
def test_random_edits_change_only_the_edited_objects(path, seed):
    data = path.read_bytes()
    model = opened(data, _real_schema())
    rng = random.Random(seed)
    touched: dict[int, object] = {}
    for _ in range(12):
        touched |= _random_edit(model, rng)
    out = saved(model)
    again = opened(out, _real_schema())
    assert again.diff(model) == [] and len(again) == len(model)
    # each object touched accounts for at most its own lines (old and new), its comment
    # lines and a blank line; every other line stays as it was
    bound = sum(2 * len(repr(o).splitlines()) + len(o.comments) + 1 for o in touched.values())
    assert 0 < len(changed_lines(data, out)) <= bound


# ---- quarvel set and format --keep-layout ----------------------------------------------


def cli(*args, cwd):
    import os
    import subprocess
    import sys
    from pathlib import Path

    entry = Path(sys.executable).parent / "quarvel"
    return subprocess.run([str(entry), *map(str, args)], capture_output=True, text=True, cwd=cwd,
                          env={**os.environ, "QUARVEL_IDD_PATH": ""})


@pytest.fixture
def office(tmp_path):
    target = tmp_path / "office.idf"
    target.write_bytes((DATA / "office.idf").read_bytes())
    return target


def test_set_edits_in_place_and_prints_the_changes(office):
    before = office.read_bytes()
    result = cli("set", office.name, "--idd", DATA / "test.idd", "Zone", "west zone", "Multiplier=2", cwd=office.parent)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "Zone 'West Zone', Multiplier: 1 -> 2\n"
    assert changed_lines(before, office.read_bytes()) == ["-    1,                       !- Multiplier",
                                                          "+    2,                       !- Multiplier"]
    every = cli("set", office.name, "--idd", DATA / "test.idd", "Zone", "*", "Multiplier=3", "--where", "X Origin=6.0960",
                cwd=office.parent)
    assert every.stdout == "Zone 'EAST ZONE', Multiplier: 2 -> 3\n"
    same = cli("format", office.name, "--idd", DATA / "test.idd", "--keep-layout", cwd=office.parent)
    assert same.returncode == 0 and same.stdout.encode() == office.read_bytes()


@pytest.mark.parametrize(("words", "message"), [
    (["Zonee", "West Zone", "Multiplier=2"], "the schema has no class 'Zonee' Did you mean 'Zone'?"),
    (["Zone", "Wast Zone", "Multiplier=2"], "Zone 'Wast Zone' is not in the model Did you mean 'West Zone'"),
    (["Zone", "West Zone", "Multiplyer=2"], "Unknown field 'Multiplyer' for class 'Zone' Did you mean 'Multiplier'?"),
    (["Zone", "West Zone", "Multiplier=2", "Nmae=x"], "Unknown field 'Nmae' for class 'Zone' Did you mean 'Name'?"),
    (["Zone", "Multiplier=2"], "give MODEL... CLASS NAME FIELD=VALUE..."),
])
def test_set_refuses_and_changes_nothing(office, words, message):
    before = office.read_bytes()
    result = cli("set", office.name, "--idd", DATA / "test.idd", *words, cwd=office.parent)
    assert result.returncode == 2 and message in result.stderr
    assert office.read_bytes() == before
