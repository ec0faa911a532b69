"""The command line, run through the installed entry point."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from quarvel.idd import IDD
from quarvel.idf import IDF

from .conftest import DATA

SCHEMA = str(DATA / "test.idd")
OFFICE = str(DATA / "office.idf")
ENTRY = shutil.which("quarvel", path=str(Path(sys.executable).parent)) or "quarvel"


def quarvel(*args, cwd=None):
    return subprocess.run([ENTRY, *map(str, args)], capture_output=True, text=True, cwd=cwd)


@pytest.mark.parametrize("command", [[], ["info"], ["format"], ["check"], ["refs"]])
def test_help(command):
    result = quarvel(*command, "--help")
    assert result.returncode == 0 and result.stdout.startswith("usage: quarvel")


def test_module_and_script_agree():
    module = subprocess.run([sys.executable, "-m", "quarvel", "info", "--example"], capture_output=True, text=True)
    script = quarvel("info", "--example")
    drop_time = lambda text: [line for line in text.splitlines() if not line.startswith("loaded in")]  # noqa: E731
    assert module.returncode == script.returncode == 0
    assert drop_time(module.stdout) == drop_time(script.stdout)


def test_info():
    result = quarvel("info", OFFICE, "--idd", SCHEMA)
    assert result.returncode == 0
    lines = result.stdout.splitlines()
    assert lines[1] == f"schema:  {SCHEMA} (version 9.1.0)"
    model = IDF.from_file(IDD.from_file(SCHEMA), OFFICE)
    classes = model.get_class_names()
    assert lines[2] == f"objects: {sum(len(model[c]) for c in classes)} in {len(classes)} classes"
    counted = [line.split()[0] for line in lines[4:]]
    schema_order = [c for c in IDD.from_file(SCHEMA).class_names() if c in counted]
    assert counted == schema_order
    counts = dict(line.split() for line in lines[4:])
    assert counts["Zone"] == "2" and counts["BuildingSurface:Detailed"] == "3"


def test_several_models_in_parallel(tmp_path):
    for name in ("a.idf", "b.idf", "c.idf"):
        shutil.copy(OFFICE, tmp_path / name)
    (tmp_path / "notes.txt").write_text("not a model")
    result = quarvel("info", tmp_path, "--idd", SCHEMA, "--jobs", "2")
    assert result.returncode == 0
    assert [line for line in result.stdout.splitlines() if line.startswith("model:")] == [
        f"model:   {tmp_path / n}" for n in ("a.idf", "b.idf", "c.idf")]
    assert result.stderr == ""  # no progress bar when stderr is not a terminal


def test_format(tmp_path, idd):
    model = IDF.from_file(idd, OFFICE)
    result = quarvel("format", OFFICE, "--idd", SCHEMA, "--compact")
    assert result.returncode == 0 and result.stdout == model.format(compact=True) + "\n"
    out = tmp_path / "out.idf"
    assert quarvel("format", OFFICE, "--idd", SCHEMA, "-o", out, "--no-timestamp", "--field-size", "0").returncode == 0
    assert out.read_text().startswith("! Generated using Quarvel.py\n\n! ***")
    assert IDF.from_file(idd, out).format(field_size=0) == model.format(field_size=0)
    copy = tmp_path / "copy.idf"
    shutil.copy(OFFICE, copy)
    copy.chmod(0o640)
    result = quarvel("format", copy, "--idd", SCHEMA, "--in-place", "--preserve-order", "--no-timestamp")
    assert result.returncode == 0
    assert copy.read_text() == "! Generated using Quarvel.py\n\n" + model.format(preserve_order=True) + "\n"
    assert copy.stat().st_mode & 0o777 == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["copy.idf", "out.idf"]  # no temporary left


@pytest.mark.parametrize(
    "args",
    [
        ["--in-place", "-o", "x.idf"],
        ["--field-size", "-1"],
        [str(DATA / "old_mac.idf")],  # two models, no --in-place or -o DIR
    ],
)
def test_format_usage_errors(args):
    result = quarvel("format", OFFICE, *args, "--idd", SCHEMA)
    assert result.returncode == 2
    assert result.stderr.startswith("quarvel: ") and len(result.stderr.splitlines()) == 1


def test_format_into_a_missing_directory(tmp_path):
    target = tmp_path / "missing" / "out.idf"
    result = quarvel("format", OFFICE, "--idd", SCHEMA, "-o", target)
    assert result.returncode == 2
    assert result.stderr == f"quarvel: {target}: No such file or directory\n"


def test_check(tmp_path):
    model = tmp_path / "dangling.idf"
    model.write_text("Zone,Office;\nPeople,P1,Ofice,Busy;\nPeople,P2,office;\nZoneList,All,Office,Attic;\n")
    result = quarvel("check", model, "--idd", SCHEMA)
    assert result.returncode == 1
    assert result.stdout.splitlines() == [
        f"{model}: People 'P1': Zone or ZoneList Name = 'Ofice' names no object",
        f"{model}: People 'P1': Number of People Schedule Name = 'Busy' names no object",
        f"{model}: ZoneList 'All': Zone 2 Name = 'Attic' names no object",
    ]
    clean = quarvel("check", OFFICE, "--idd", SCHEMA)
    assert clean.returncode == 0 and clean.stdout == ""


def test_refs():
    result = quarvel("refs", OFFICE, "ZONE", "west zone", "--idd", SCHEMA)
    assert result.returncode == 0
    lines = result.stdout.splitlines()
    assert lines[0] == "Zone 'West Zone' is referred to by 5 objects"
    assert "  People 'West Zone People'" in lines
    people = quarvel("refs", OFFICE, "People", "West Zone People", "--idd", SCHEMA).stdout.splitlines()
    assert "  Zone or ZoneList Name = 'West Zone' -> Zone 'West Zone'" in people
    missing = quarvel("refs", OFFICE, "Zone", "Nowhere", "--idd", SCHEMA)
    assert missing.returncode == 2 and missing.stderr == f"quarvel: {OFFICE}: no Zone object named 'Nowhere'\n"


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("Zone,A;\nPeople,P\nA;\n", ":3: IDF parsing error (Line 3): missing delimiter before 'A'."),
        ("Zone,A;\n\n  Nope , x;\n", ":3: unknown class 'Nope'"),
        ("Zone,A", ":1: IDF parsing error (Line 1): unterminated object before EOF; missing ';'."),
    ],
)
def test_bad_models(tmp_path, text, message):
    path = tmp_path / "bad.idf"
    path.write_text(text)
    result = quarvel("info", path, "--idd", SCHEMA)
    assert result.returncode == 2
    assert result.stderr == f"quarvel: {path}{message}\n"
    assert "Traceback" not in result.stderr


def test_bad_schema_and_missing_files(tmp_path):
    schema = tmp_path / "bad.idd"
    schema.write_text("Zone,\n  A1, \\field Name\n")
    result = quarvel("check", OFFICE, "--idd", schema)
    assert result.returncode == 2
    assert result.stderr == (f"quarvel: {schema}:2: IDD parsing error (Line 2): class 'Zone' (line 1) is "
                             "missing its closing ';'\n")
    missing = quarvel("info", tmp_path / "none.idf", "--idd", SCHEMA)
    assert missing.returncode == 2 and missing.stderr == f"quarvel: {tmp_path / 'none.idf'}: No such file or directory\n"
    no_schema = quarvel("info", OFFICE)
    assert no_schema.returncode == 2 and no_schema.stderr == "quarvel: give the schema with --idd SCHEMA\n"
    assert quarvel("nope").returncode == 2


def test_debug_shows_the_traceback(tmp_path):
    result = quarvel("--debug", "info", tmp_path / "none.idf", "--idd", SCHEMA)
    assert result.returncode != 0 and "Traceback" in result.stderr
