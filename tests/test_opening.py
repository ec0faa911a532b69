"""Opening models without naming a schema, files of the wrong kind, a lenient load and
one-pass checks, and the closest names offered for misspelt ones."""

from __future__ import annotations

import io
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import quarvel
from quarvel import _registry, idd as idd_module
from quarvel.idd import IDD, SchemaNotFoundError, UnknownFieldError
from quarvel.idf import IDF, IDFParseError
from quarvel.opening import WrongFileKindError, check, load_lenient

from .realdata import REAL, REAL_DATASETS, needs_real_data

EXAMPLE = quarvel.EXAMPLE_IDF.read_text()
ENTRY = str(Path(sys.executable).with_name("quarvel"))


@pytest.fixture
def registry(tmp_path, monkeypatch):
    """An empty registry, restored afterwards; a folder holding the example schema as 9.1
    (its own version) and a copy of it stating 9.4, beside a JSON schema."""
    monkeypatch.setattr(_registry, "_registered", [])
    monkeypatch.setenv("QUARVEL_IDD_PATH", "")
    folder = tmp_path / "schemas"
    folder.mkdir()
    shutil.copy(quarvel.EXAMPLE_IDD, folder / "release-9.1.idd")
    text = quarvel.EXAMPLE_IDD.read_text().replace("!IDD_Version 9.1.0", "!IDD_Version 9.4.0")
    (folder / "release-9.4.idd").write_text(text)
    shutil.copy(quarvel.EXAMPLE_EPJSON, folder / "release-9.4.schema.epJSON")
    (folder / "notes.txt").write_text("not a schema")
    return folder


def test_schemas_are_found_by_version(registry, tmp_path, monkeypatch):
    with pytest.raises(SchemaNotFoundError, match=r"^no schema is known: register the folder"):
        idd_module.schema_for("9.1")
    assert idd_module.register(registry) == ["9.1", "9.4"]
    assert idd_module.known_versions() == {"9.1": registry / "release-9.1.idd", "9.4": registry / "release-9.4.idd"}
    schema = idd_module.schema_for("9.4.0")
    assert schema.version == "9.4.0" and idd_module.schema_for("9.4") is schema  # loaded once
    assert idd_module.schema_for(None).version == "9.4.0"  # the newest
    assert _registry.json_schema_beside(registry / "release-9.4.idd") == registry / "release-9.4.schema.epJSON"
    assert _registry.json_schema_beside(registry / "release-9.1.idd") is None
    with pytest.raises(SchemaNotFoundError) as missing:
        idd_module.schema_for("25.2")
    assert str(missing.value).startswith(f"no schema for version 25.2 is known; known: 9.1 ({registry / 'release-9.1.idd'}), "
                                         f"9.4 ({registry / 'release-9.4.idd'}). To add one, register")
    # A folder of the environment variable counts too; a registration wins over it.
    other = tmp_path / "other"
    other.mkdir()
    (other / "old.idd").write_text(quarvel.EXAMPLE_IDD.read_text().replace("!IDD_Version 9.1.0", "!IDD_Version 8.9"))
    monkeypatch.setenv("QUARVEL_IDD_PATH", f"{tmp_path / 'absent'}{os.pathsep}{other}")
    assert list(idd_module.known_versions()) == ["8.9", "9.1", "9.4"]
    with pytest.raises(FileNotFoundError):
        idd_module.register(tmp_path / "absent")
    with pytest.raises(ValueError, match="holds no IDD file with an !IDD_Version line"):
        idd_module.register(tmp_path)


@pytest.mark.parametrize(("version_text", "expected"), [
    ("Version,9.4;", "9.4.0"),
    ("  VERSION ,\n   ! the release\n   9.1 ;  !- Version Identifier", "9.1.0"),
    ("Version,\n    9.4.2;                   !- Version Identifier", "9.4.0"),
])
def test_open_picks_the_schema_of_the_models_version(registry, tmp_path, version_text, expected):
    idd_module.register(registry)
    path = tmp_path / "office.idf"
    path.write_text(EXAMPLE.replace("Version,9.1;", version_text))
    model = IDF.open(path)
    assert model.idd.version == expected and len(model["Zone"]) == 1
    with open(path, "rb") as stream:
        assert IDF.open(stream).idd.version == expected
    assert IDF.open(path, schema=quarvel.EXAMPLE_IDD).idd.version == "9.1.0"  # schema= wins
    given = IDD.from_file(quarvel.EXAMPLE_IDD)
    assert IDF.open(path, given).idd is given


@pytest.mark.parametrize(("content", "message"), [
    (quarvel.EXAMPLE_EPJSON.read_bytes(), "this is the engine's JSON schema, not a model: give it as --schema to quarvel convert"),
    (b'{"Version": {"Version 1": {"version_identifier": "9.1"}}}',
     "this is a model in epJSON form, not IDF text: open it with IDF.from_epjson, or make IDF text of it with quarvel convert"),
    (quarvel.EXAMPLE_IDD.read_bytes(), "this is a schema (IDD), not a model: give it with --idd (schema= in the API)"),
    (b"\x00\x01\x02binary", "not a model: the file holds binary data, not IDF text"),
])
def test_a_file_of_another_kind_is_named(registry, tmp_path, content, message):
    path = tmp_path / "given.idf"
    path.write_bytes(content)
    with pytest.raises(WrongFileKindError) as raised:
        IDF.open(path, quarvel.EXAMPLE_IDD)
    assert str(raised.value) == f"{path}: {message}"
    result = subprocess.run([ENTRY, "check", str(path), "--idd", str(quarvel.EXAMPLE_IDD)], capture_output=True, text=True)
    assert (result.returncode, result.stderr) == (2, f"quarvel: {path}: {message}\n")


@pytest.mark.parametrize(("schema", "message"), [
    (quarvel.EXAMPLE_EPJSON, "this is the engine's JSON schema, not an IDD: give the IDD with --idd "
                             "(the JSON schema goes to quarvel convert --schema)"),
    (quarvel.EXAMPLE_IDF, "this is an IDF model, not a schema (IDD): give it as MODEL and the schema with --idd"),
])
def test_a_schema_of_another_kind_is_named(schema, message):
    with pytest.raises(WrongFileKindError) as raised:
        IDF.open(quarvel.EXAMPLE_IDF, schema=schema)
    assert str(raised.value) == f"{schema}: {message}"


# ---- one pass over a file with many faults ------------------------------------------------------


def edited(text, *edits):
    for old, new in edits:
        assert text.count(old) == 1, old
        text = text.replace(old, new)
    return text


def line_of(text, snippet):
    return text[: text.index(snippet)].count("\n") + 1


FIVE_MISTAKES = [
    ("Timestep,4;", "Timestpe,4;"),
    ("    Office People,           !- Name", "    Office People            !- Name"),
    ("    Watts/Area,              !- Design", "    Watts/Aera,              !- Design"),
    ("    4, 0, 2.4,               !- Vertex 1 {m}", "    4, 0.5, 2.4,             !- Vertex 1 {m}"),
    ("Output:Variable,Office,", "Output:Variable,Ofice,"),
]


def test_check_lists_every_mistake_of_a_file_in_line_order(tmp_path):
    text = edited(EXAMPLE, *FIVE_MISTAKES)
    path = tmp_path / "office.idf"
    path.write_text(text)
    findings = check(path, quarvel.EXAMPLE_IDD)
    assert [(f.code, f.line, f.class_name, f.object_name) for f in findings] == [
        ("E102", line_of(text, "Timestpe"), "Timestpe", "4"),
        ("E401", line_of(text, "FenestrationSurface:Detailed"), "FenestrationSurface:Detailed", "Office Window South"),
        ("E101", line_of(text, "    Office,                  !- Zone or ZoneList Name\n    Occupancy"), "People",
         "Office People"),
        ("E204", line_of(text, "Lights,"), "Lights", "Office Lights"),
        ("W307", line_of(text, "Output:Variable,Ofice"), "Output:Variable", None),
    ]
    assert [f.message for f in findings] == [
        "The schema has no class 'Timestpe'; the object is left out. Did you mean 'Timestep'?",
        "Its vertex 1 lies 0.50 m off the plane of its base surface 'Office Wall South'.",
        "Missing delimiter before 'Office'. The object is left out.",
        "'Watts/Aera' is not one of the choices (LightingLevel, Watts/Area, Watts/Person). Did you mean 'Watts/Area'?",
        "The key 'Ofice' names nothing in the model; the request reports nothing.",
    ]
    assert [f.line for f in findings] == sorted(f.line for f in findings)
    model, problems = load_lenient(path, quarvel.EXAMPLE_IDD)
    assert [p.code for p in problems] == ["E102", "E101"] and "People" not in model and len(model["Zone"]) == 1
    assert [o.line for o in model["Lights"]] == [line_of(text, "Lights,")]  # every other object keeps its line
    result = subprocess.run([ENTRY, "check", str(path), "--idd", str(quarvel.EXAMPLE_IDD)], capture_output=True, text=True)
    assert result.returncode == 1
    assert result.stdout.splitlines() == [f.located(str(path)) for f in findings] + [f"{path}: 4 errors, 1 warning"]


def test_the_strict_load_names_the_closest_class():
    with pytest.raises(IDFParseError) as raised:
        IDF.from_string(IDD.from_file(quarvel.EXAMPLE_IDD), edited(EXAMPLE, FIVE_MISTAKES[0]))
    assert str(raised.value) == "IDF parsing error: Unknown class: 'Timestpe'"  # the message as it always was
    assert raised.value.suggestions == ("Timestep",) and raised.value.__notes__ == ["Did you mean 'Timestep'?"]


@pytest.mark.parametrize(("key", "suggestions"), [
    ("Nmae", ("Name",)),
    ("Multipler", ("Multiplier",)),
    ("X_Orign", ("X_Origin",)),  # an attribute name gets attribute names
    ("Celing Height", ("Ceiling Height",)),
    ("Wholly Different", ()),
])
def test_a_misspelt_field_gets_the_closest_names(key, suggestions):
    zone = IDF.from_file(IDD.from_file(quarvel.EXAMPLE_IDD), quarvel.EXAMPLE_IDF)["Zone"][0]
    with pytest.raises(UnknownFieldError) as raised:
        zone[key]
    assert str(raised.value) == f"Unknown field {key!r} for class 'Zone'"
    assert raised.value.suggestions == suggestions
    assert getattr(raised.value, "__notes__", []) == ([f"Did you mean '{suggestions[0]}'?"] if suggestions else [])


def test_a_strict_class_lookup_raises_where_the_mapping_stays_empty():
    model = IDF.from_file(IDD.from_file(quarvel.EXAMPLE_IDD), quarvel.EXAMPLE_IDF)
    assert model["Zonee"] == () and model.objects_of("zone") == model["Zone"]
    with pytest.raises(KeyError) as raised:
        model.objects_of("Zonee")
    assert raised.value.args == ("the schema has no class 'Zonee'",) and raised.value.__notes__ == ["Did you mean 'Zone'?"]
    with pytest.raises(ValueError) as rule:
        model.validate(select="invalid-choise")
    assert rule.value.__notes__ == ["Did you mean 'invalid-choice'?"]


@pytest.mark.parametrize("fragment", [None, True, False])
def test_required_objects_are_asked_of_whole_models_only(tmp_path, fragment):
    start = EXAMPLE.index("Building,")
    without_building = EXAMPLE[:start] + EXAMPLE[EXAMPLE.index(";", start) + 1:]
    whole = IDF.from_string(IDD.from_file(quarvel.EXAMPLE_IDD), without_building)
    library = IDF.from_string(whole.idd, without_building.replace("Version,9.1;", ""))
    required = lambda model: [f.class_name for f in model.validate(fragment=fragment) if f.code == "E302"]  # noqa: E731
    assert required(whole) == ([] if fragment else ["Building"])
    assert required(library) == (["Building"] if fragment is False else [])
    path = tmp_path / "library.idf"
    path.write_text(without_building)
    flags = ["--fragment"] if fragment else []
    result = subprocess.run([ENTRY, "check", str(path), "--idd", str(quarvel.EXAMPLE_IDD), *flags], capture_output=True, text=True)
    assert ("E302" in result.stdout) == (not fragment)


# ---- the shared models -----------------------------------------------------------------------


@needs_real_data
def test_the_shared_models_open_and_check_without_naming_their_schema(monkeypatch, tmp_path):
    monkeypatch.setattr(_registry, "_registered", [])
    monkeypatch.setenv("QUARVEL_IDD_PATH", str(REAL))
    for path in sorted((REAL / "models").glob("*.idf")):
        assert IDF.open(path).idd.version == "25.2.0"
    for path in REAL_DATASETS:  # library files: no Version object, no required objects asked
        assert not [f for f in check(path) if f.code in ("E302", "E101", "E102")], path.name
    broken = tmp_path / "5ZoneAirCooled.idf"
    broken.write_bytes(edited((REAL / "models" / "5ZoneAirCooled.idf").read_text(encoding="latin-1"),
                              ("  Timestep,4;", "  Timestpe,4;"),
                              ("    City,                    !- Terrain", "    Citty,                   !- Terrain"),
                              ("    3.0,0.0,2.1,  !- X,Y,Z ==> Vertex 1 {m}", "    3.0,0.5,2.1,  !- X,Y,Z ==> Vertex 1 {m}"),
                              ("  Output:Variable,*,Zone Air Temperature,hourly;",
                               "  Output:Variable,SPACE9-1,Zone Air Temperature,hourly;"),
                              ("    WD10,                    !- Name\n", "    WD10                     !- Name\n"),
                              ).encode("latin-1"))
    env = {**os.environ, "QUARVEL_IDD_PATH": str(REAL)}
    result = subprocess.run([ENTRY, "check", str(broken)], capture_output=True, text=True, env=env)
    assert result.returncode == 1
    assert [line.split(": ")[1].split()[0] for line in result.stdout.splitlines()[:-1]] == [
        "E204", "E102", "E101", "E401", "W307"]
    assert "Did you mean 'City'?" in result.stdout and "Did you mean 'Timestep'?" in result.stdout


def test_a_model_given_as_bytes_in_a_file_object_opens(registry):
    idd_module.register(registry)
    assert len(IDF.open(io.BytesIO(EXAMPLE.encode()))) == len(IDF.from_file(IDD.from_file(quarvel.EXAMPLE_IDD),
                                                                          quarvel.EXAMPLE_IDF))


@pytest.mark.parametrize(("text", "names", "found"), [
    (b"Zone, A;\nZone, B, 0", ["A"], [("E101", 2, "Unterminated object before EOF; missing ';'. The object is left out.")]),
    (b"Zone, A;\r\nZonee, X;\r\nZone, B\r\n0;\r\nZone, C;", ["A", "C"], [
        ("E102", 2, "The schema has no class 'Zonee'; the object is left out. Did you mean 'Zone'?"),
        ("E101", 4, "Missing delimiter before '0'. The object is left out.")]),
    (b"Zone, A; Zonee, X;\rZone, C;", ["A", "C"], [
        ("E102", 1, "The schema has no class 'Zonee'; the object is left out. Did you mean 'Zone'?")]),
    (b"Zone, A;;\nZone, B;", ["A", "B"], [("E101", 1, "A ';' with no class name before it; it is left out.")]),
    (b"", [], []),
])
def test_a_lenient_load_keeps_every_object_it_can(text, names, found):
    model, problems = load_lenient(io.BytesIO(text), quarvel.EXAMPLE_IDD)
    assert [zone[0] for zone in model["Zone"]] == names
    assert [(p.code, p.line, p.message) for p in problems] == found


def test_a_lenient_load_of_many_faults_stays_linear():
    # One fault in every other object of 60,000: each block of objects is parsed a few times.
    text = b"Zone, A\n0;\nZone, B;\n" * 30_000
    model, problems = load_lenient(io.BytesIO(text), quarvel.EXAMPLE_IDD)
    assert len(problems) == 30_000 and len(model) == 30_000
