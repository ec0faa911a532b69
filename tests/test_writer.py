"""Writing models back: layouts, the worked examples, save, and round trips."""

import os
import re
import stat
from pathlib import Path

import pytest

from quarvel.idf import IDF

from .conftest import DATA

SAMPLE = "Sample:Object,Alpha,,12.5,,;"
SAMPLE_LINES = (
    "Sample:Object,\n"
    "    Alpha,                   !- Name\n"
    "    ,                        !- Kind\n"
    "    12.5;                    !- Length {m}\n"
)
TWO_GROUPS = "ClassB,b;\nClassA,a;"
TIMESTAMP = re.compile(r"! Saved at: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\n")


def test_worked_example_object(load):
    model = load(SAMPLE)
    obj = model["Sample:Object"][0]
    assert repr(obj) == str(obj) == SAMPLE_LINES
    assert model.format() == "! ***EXAMPLES***\n\n" + SAMPLE_LINES.rstrip("\n")
    assert model.format(compact=True) == "Sample:Object,Alpha,,12.5;"
    assert repr(model) == "\n! ***EXAMPLES***\n\n" + SAMPLE_LINES


def test_worked_example_save(load, tmp_path):
    path = tmp_path / "out.idf"
    load(SAMPLE).save(path)
    text = path.read_text()
    header, stamp, rest = text.split("\n", 2)
    assert header == "! Generated using Quarvel.py"
    assert TIMESTAMP.fullmatch(stamp + "\n")
    assert rest == "\n! ***EXAMPLES***\n\n" + SAMPLE_LINES


def test_groups_and_blank_lines(load, tmp_path):
    model = load(TWO_GROUPS)
    path = tmp_path / "out.idf"
    model.save(path, include_timestamp=False)
    assert path.read_text() == (
        "! Generated using Quarvel.py\n"
        "\n! ***G1***\n\n"
        "ClassA,\n    a;                       !- Name\n"
        "\n! ***G2***\n\n"
        "ClassB,\n    b;                       !- Name\n"
    )
    model.save(path, compact=True, include_timestamp=False)
    assert path.read_text() == "! Generated using Quarvel.py\n\nClassA,a;\n\nClassB,b;\n"
    model.save(path, preserve_order=True, include_timestamp=False)
    assert path.read_text() == (
        "! Generated using Quarvel.py\n"
        "\nClassB,\n    b;                       !- Name\n"
        "\nClassA,\n    a;                       !- Name\n"
    )
    model.save(path, compact=True, preserve_order=True, include_timestamp=False)
    assert path.read_bytes() == b"! Generated using Quarvel.py\n\nClassB,b;\nClassA,a;"


def test_a_group_that_returns_gets_its_banner_again(idd):
    model = IDF.from_string(idd, "ClassA,a;ClassB,b;")
    model.add_object("Zone", ["z"])  # group Thermal Zones..., which comes earlier
    text = model.format()
    assert text.index("THERMAL ZONES") < text.index("G1") < text.index("G2")


@pytest.mark.parametrize(
    ("text", "kwargs", "expected"),
    [
        # an object without values whose class needs none: name and ';' on one line
        ("Lead Input;", {}, "Lead Input;"),
        ("ClassA,,;", {}, "! ***G1***\n\nClassA;"),
        # fewer stored values than min_fields: written up to min_fields
        ("Minimum:Fields,a;", {"compact": True}, "Minimum:Fields,a,,;"),
        ("Minimum:Fields;", {"compact": True}, "Minimum:Fields,,,;"),
        # trailing empties beyond min_fields dropped; inner empties kept
        ("Sample:Object,,b,,,;", {"compact": True}, "Sample:Object,,b;"),
        # a value of exactly field_size bytes gets no space, one byte more gets two
        ("ClassA," + "x" * 24 + ";", {}, "! ***G1***\n\nClassA,\n    " + "x" * 24 + ";!- Name"),
        ("ClassA," + "x" * 25 + ";", {}, "! ***G1***\n\nClassA,\n    " + "x" * 25 + ";  !- Name"),
        ("ClassA,a;", {"field_size": 0}, "! ***G1***\n\nClassA,\n    a;!- Name"),
        ("ClassA,a;", {"class_indent_size": 2, "field_indent_size": 1, "field_size": 3},
         "! ***G1***\n\n  ClassA,\n a;  !- Name"),
        ("ClassA,a;", {"compact": True, "class_indent_size": 9, "field_size": 1}, "ClassA,a;"),
        ("Sample:Object,Ünïcode;", {"compact": True}, "Sample:Object,Ünïcode;"),
        ("", {}, ""),
    ],
)
def test_layouts(load, text, kwargs, expected):
    assert load(text).format(**kwargs) == expected


def test_schema_order_whatever_the_input_order(load):
    model = load("Output:Variable,*,X;ClassA,a;Zone,z1;Version,9.1;Zone,z2;")
    compact = model.format(compact=True)
    assert compact == "Version,9.1;\n\nZone,z1;\nZone,z2;\n\nClassA,a;\n\nOutput:Variable,*,X;"


def test_fields_of_repeated_groups_are_named(load):
    model = load("Schedule:Compact,S,,a,b,c,d,e;")
    assert model.format().splitlines()[-1] == "    e;                       !- Field 5"


def test_size_arguments(load):
    model = load("ClassA,a;")
    assert model.format(0, 4, 24.9) == model.format()
    assert model.format(True, field_size=3) == model.format(1, 4, 3)
    with pytest.raises(TypeError, match="an integer is required"):
        model.format("1")
    with pytest.raises(OverflowError, match="value too large to convert to int"):
        model.format(2**31)
    with pytest.raises(ValueError, match="field_size must not be negative, got -1"):
        model.format(field_size=-1)
    with pytest.raises(TypeError, match=r"format\(\) takes at most 3 positional arguments \(4 given\)"):
        model.format(0, 4, 24, True)
    with pytest.raises(TypeError, match=r"save\(\) takes at least 1 positional argument \(0 given\)"):
        model.save()
    with pytest.raises(TypeError, match="unexpected keyword argument 'indent'"):
        model.format(indent=1)


def test_save_accepts_str_bytes_and_paths(load, tmp_path):
    model = load("ClassA,a;")
    for path in (tmp_path / "a.idf", str(tmp_path / "b.idf"), os.fsencode(tmp_path / "c.idf")):
        model.save(path, include_timestamp=False)
    assert (tmp_path / "a.idf").read_bytes() == (tmp_path / "b.idf").read_bytes() == (tmp_path / "c.idf").read_bytes()


def test_save_never_leaves_a_truncated_file(load, tmp_path):
    model = load("ClassA,a;")
    target = tmp_path / "keep.idf"
    target.write_text("precious")
    with pytest.raises(ValueError, match="field_size must not be negative"):
        model.save(target, field_size=-5)
    assert target.read_text() == "precious"
    with pytest.raises(FileNotFoundError):
        model.save(tmp_path / "missing" / "out.idf")
    with pytest.raises(NotADirectoryError):
        model.save(target / "out.idf")
    locked = tmp_path / "locked"
    locked.mkdir()
    locked.chmod(stat.S_IRUSR | stat.S_IXUSR)
    try:
        if os.access(locked, os.W_OK):
            pytest.skip("running with privileges that ignore directory permissions")
        with pytest.raises(PermissionError):
            model.save(locked / "out.idf")
    finally:
        locked.chmod(stat.S_IRWXU)


def test_a_failure_while_building_the_text_writes_nothing(idd, load, tmp_path):
    model = load("Zone,z;")
    target = tmp_path / "keep.idf"
    target.write_text("precious")
    # A model whose object list holds something that is not an object.
    model.__setstate__((idd, [123], {b"ZONE": [0]}, {}, {}))
    with pytest.raises(TypeError, match="Cannot convert int to quarvel.idf.IDFObject"):
        model.save(target)
    assert target.read_text() == "precious"
    with pytest.raises(TypeError):
        model.format()


def test_empty_model(load, tmp_path):
    model = load("")
    assert model.format() == "" and repr(model) == ""
    path = tmp_path / "empty.idf"
    model.save(path)
    assert TIMESTAMP.fullmatch(path.read_text().split("\n", 1)[1])
    model.save(path, include_timestamp=False)
    assert path.read_text() == "! Generated using Quarvel.py\n"


def test_bare_models_and_objects_refuse_to_write(tmp_path):
    from quarvel.idf import IDFObject

    bare = IDF.__new__(IDF)
    for call in (bare.format, lambda: bare.save(tmp_path / "x.idf"), lambda: repr(bare)):
        with pytest.raises(ValueError, match="IDF model is not loaded"):
            call()
    assert not (tmp_path / "x.idf").exists()
    with pytest.raises(ValueError, match="IDFObject has no schema"):
        repr(IDFObject.__new__(IDFObject))


ROUND_TRIP_FILES = sorted(p.name for p in DATA.glob("*.idf"))


@pytest.mark.parametrize("name", ROUND_TRIP_FILES)
@pytest.mark.parametrize("kwargs", [{}, {"compact": True}, {"preserve_order": True}, {"field_size": 0}])
def test_round_trip_is_stable(idd, name, kwargs):
    first = IDF.from_file(idd, DATA / name).format(**kwargs)
    second = IDF.from_string(idd, first).format(**kwargs)
    assert first == second
    assert IDF.from_string(idd, first).format() == IDF.from_file(idd, DATA / name).format()


@pytest.mark.parametrize("name", ROUND_TRIP_FILES)
def test_save_and_reload(idd, name, tmp_path):
    model = IDF.from_file(idd, DATA / name)
    out = tmp_path / name
    model.save(out)
    assert IDF.from_file(idd, out).format() == model.format()


def test_round_trip_keeps_values(idd):
    model = IDF.from_file(idd, DATA / "office.idf")
    again = IDF.from_string(idd, model.format())
    for cls in model.get_class_names():
        assert [o.get_values() for o in model[cls]] == [o.get_values() for o in again[cls]]
