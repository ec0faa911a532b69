"""Validation against the schema, located errors, and no false alarms on real models."""

from __future__ import annotations

import collections

import pytest

import quarvel
from quarvel.diagnostics import RULES, Diagnostic
from quarvel.idd import IDD
from quarvel.idf import IDF, IDFParseError

from .conftest import DATA
from .realdata import REAL, needs_real_data

# A schema with one of each thing a rule reads.
SCHEMA_TEXT = r"""!IDD_Version 3.1.0
Version, \unique-object
  A1 ; \field Version Identifier
Building,
  \unique-object
  \required-object
  A1 ; \field Name
Zone,
  A1 , \field Name
       \required-field
       \reference ZoneNames
  N1 , \field Multiplier
       \type integer
       \minimum 1
       \maximum 10
  N2 , \field Volume
       \autocalculatable
  N3 , \field Fraction
       \minimum> 0
       \maximum< 1
  A2 ; \field Kind
       \type choice
       \key Office
       \key Store
Light,
  A1 , \field Name
       \reference LightNames
  A2 , \field Zone Name
       \type object-list
       \object-list ZoneNames
       \object-list ComponentTypes
  A3 ; \field Legacy Tag
       \deprecated
Polygon,
  A1 , \field Name
       \reference-class-name ComponentTypes
  N1 , \field Vertex 1 X
       \begin-extensible
       \required-field
  N2 , \field Vertex 1 Y
       \required-field
  A2 ; \field Vertex 1 Label
       \extensible:3
Retired, \obsolete => Polygon
  A1 ; \field Name
"""
MODEL_TEXT = """Version, 3.1;
Building, Home;
Zone, Hall, 2, autocalculate, 0.5, Office;
Light, Lamp, Hall;
Polygon, Shape, 0, 0, a, 1, 1, b;
"""


@pytest.fixture(scope="module")
def schema():
    return IDD.from_string(SCHEMA_TEXT)


def found(model, **options):
    return [(d.code, d.class_name, d.object_name, d.field_index, d.line) for d in model.validate(**options)]


def test_a_clean_model_has_no_findings(schema):
    assert IDF.from_string(schema, MODEL_TEXT).validate() == []


@pytest.mark.parametrize(("old", "new", "expected"), [
    ("Hall, 2,", "Hall, two,", ("E201", "Zone", "Hall", 1, 3)),
    ("2, autocalculate", "2, autosize", None),  # either word where one is allowed, as the engine takes them
    ("0.5, Office", "autosize, Office", ("E201", "Zone", "Hall", 3, 3)),
    ("0.5, Office", "0.5, Shop", ("E204", "Zone", "Hall", 4, 3)),
    ("Hall, 2,", "Hall, 2.5,", ("W202", "Zone", "Hall", 1, 3)),
    ("Hall, 2,", "Hall, 11,", ("E203", "Zone", "Hall", 1, 3)),
    ("0.5, Office", "1, Office", ("E203", "Zone", "Hall", 3, 3)),
    ("Light, Lamp, Hall;", "Light, Lamp, Hall;\nZone, , 1;", ("E205", "Zone", None, 0, 5)),
    ("Building, Home;", "Building, Home, Extra;", ("E206", "Building", "Home", 1, 2)),
    ("1, 1, b;", "1, 1;", ("W208", "Polygon", "Shape", 6, 5)),
    ("1, 1, b;", "1;", ("E207", "Polygon", "Shape", 5, 5)),
    ("Version, 3.1;", "Version, 3.1;\nVersion, 3.1;", ("E301", "Version", None, None, 2)),
    ("Building, Home;", "", ("E302", "Building", None, None, None)),
    ("Light, Lamp, Hall;", "Light, Lamp, Hall;\nLight, LAMP;", ("E303", "Light", "LAMP", 0, 5)),
    ("Light, Lamp, Hall;", "Light, Lamp, Hal;", ("E304", "Light", "Lamp", 1, 4)),
    ("Version, 3.1;", "Version, 3.4;", ("W305", "Version", None, 0, 1)),
    ("Light, Lamp, Hall;", "Light, Lamp, Hall, old;", ("W306", "Light", "Lamp", 2, 4)),
    ("Light, Lamp, Hall;", "Light, Lamp, Hall;\nRetired, R;", ("W306", "Retired", "R", None, 5)),
])
def test_each_rule_finds_its_fault(schema, old, new, expected):
    assert MODEL_TEXT.count(old) == 1
    model = IDF.from_string(schema, MODEL_TEXT.replace(old, new))
    assert found(model) == ([expected] if expected else [])


def test_a_reference_may_name_a_class_that_joins_its_list(schema):
    model = IDF.from_string(schema, MODEL_TEXT.replace("Lamp, Hall;", "Lamp, POLYGON;"))
    assert model.validate() == [] and model.find_dangling_references() == []


def test_diagnostics_are_records_with_messages(schema):
    model = IDF.from_string(schema, MODEL_TEXT.replace("Hall, 2,", "Hall, 11,"))
    (finding,) = model.validate()
    assert isinstance(finding, Diagnostic) and finding.object is model["Zone"][0]
    assert (finding.rule, finding.severity, finding.field_name) == ("out-of-range", "error", "Multiplier")
    assert finding.message == "11 is above the maximum of 10."
    assert str(finding) == "3: E203 out-of-range: Zone 'Hall', Multiplier: 11 is above the maximum of 10."
    with pytest.raises(AttributeError):
        finding.code = "E000"


@pytest.mark.parametrize(("options", "codes"), [
    ({"select": "E201"}, ["E201"]),
    ({"select": ["out-of-range", "W202"]}, ["E203"]),
    ({"ignore": ("E201", "dangling-reference")}, ["E203"]),
    ({}, ["E201", "E203", "E304"]),
])
def test_select_and_ignore(schema, options, codes):
    text = MODEL_TEXT.replace("Hall, 2, autocalculate, 0.5", "Hall, x, autocalculate, 7").replace("Lamp, Hall", "Lamp, H")
    assert [d.code for d in IDF.from_string(schema, text).validate(**options)] == codes


def test_unknown_rule_names_are_refused(schema):
    model = IDF.from_string(schema, MODEL_TEXT)
    with pytest.raises(ValueError, match="select names no validation rule: 'E999'"):
        model.validate(select=["E999"])
    with pytest.raises(TypeError, match="ignore must hold rule names or codes"):
        model.validate(ignore=[201])
    assert {r.rule for r in RULES} >= {"invalid-number", "dangling-reference", "obsolete"}


def test_changes_wait_while_another_thread_validates(schema):
    # The scan runs without the interpreter lock; a change made meanwhile is refused, not raced.
    import threading

    model = IDF.from_string(schema, MODEL_TEXT * 1 + "".join(f"Zone, Z{i}, 1;\n" for i in range(200_000)))
    refused, done = [], threading.Event()

    def edit():
        while not done.is_set():
            try:
                model["Zone"][0]["Multiplier"] = 3
            except RuntimeError as error:
                refused.append(str(error))

    thread = threading.Thread(target=edit)
    thread.start()
    try:
        for _ in range(5):
            model.validate()
    finally:
        done.set()
        thread.join()
    assert all(r == "the model is being validated in another thread; change it when that is done" for r in refused)


# ---- located errors -------------------------------------------------------------------


def test_objects_know_their_line(idd):
    model = IDF.from_string(idd, "Zone, A;\n\n  Zone,\n    B;\nPeople,P,A,S;")
    assert [o.line for o in model] == [1, 3, 5]
    assert model.add_object("Zone", ["C"]).line is None


@pytest.mark.parametrize(("text", "lineno", "class_name"), [
    ("Zone,A;\nZone,B\nC;", 3, None),
    ("Zone,A;\n\nFoo,x;\nZone,Foo;", 3, "Foo"),
])
def test_parse_errors_carry_their_place(idd, tmp_path, text, lineno, class_name):
    path = tmp_path / "bad.idf"
    path.write_text(text)
    with pytest.raises(IDFParseError) as from_text:
        IDF.from_string(idd, text)
    with pytest.raises(quarvel.IDFParseError) as from_file:
        IDF.from_file(idd, path)
    for error, filename in ((from_text.value, None), (from_file.value, str(path))):
        assert isinstance(error, ValueError)
        assert (error.lineno, error.filename, error.class_name) == (lineno, filename, class_name)
    if class_name:
        assert str(from_text.value) == f"IDF parsing error: Unknown class: '{class_name}'"
    assert quarvel.UnknownFieldError is quarvel.idf.UnknownFieldError


# ---- the real models --------------------------------------------------------------------


@pytest.fixture(scope="module")
def real_schema():
    return IDD.from_file(REAL / "schema-25.2.idd")


@needs_real_data
@pytest.mark.parametrize("path", sorted((REAL / "models").glob("*.idf")), ids=lambda p: p.name)
def test_the_engines_own_models_have_no_findings(real_schema, path):
    assert IDF.from_file(real_schema, path).validate() == []


@needs_real_data
def test_library_files_miss_only_what_a_model_adds(real_schema):
    for path in sorted((REAL / "datasets").glob("*.idf")):
        model = IDF.from_file(real_schema, path)
        findings = model.validate()  # without a Version object: a fragment, which requires no object
        codes = collections.Counter(d.code for d in findings)
        whole = model.validate(fragment=False)
        assert {d.class_name for d in whole if d.code == "E302"} == {"Building", "GlobalGeometryRules"}, path.name
        assert codes["E302"] == 0, path.name
        duplicates = 569 if path.name == "RefrigerationCompressorCurves.idf" else 0
        assert codes["E303"] == duplicates, path.name
        assert set(codes) <= {"E302", "E303", "E304"}, path.name


FIVE_ZONE = REAL / "models" / "5ZoneAirCooled.idf"


def without_building(text):
    start = text.index("  Building,\n    Building,")
    end = text.index("!- Minimum Number of Warmup Days\n", start) + len("!- Minimum Number of Warmup Days\n")
    return text[:start] + text[end:]


def replace_once(old, new):
    def edit(text):
        assert text.count(old) == 1, old
        return text.replace(old, new)

    return edit


EQUIPMENT_TAIL = ("    1,                       !- Zone Equipment 1 Heating or No-Load Sequence\n"
                  "    ,                        !- Zone Equipment 1 Sequential Cooling Fraction Schedule Name\n"
                  "    ;                        !- Zone Equipment 1 Sequential Heating Fraction Schedule Name\n\n"
                  "  ZoneHVAC:EquipmentList,\n    SPACE2-1 Eq")


@needs_real_data
@pytest.mark.parametrize(("edit", "expected"), [
    (replace_once("  Timestep,4;", "  Timestep,banana;"), ("E201", "Timestep", None, 0, 115)),
    (replace_once("  Timestep,4;", "  Timestep,4.5;"), ("W202", "Timestep", None, 0, 115)),
    (replace_once("    41.78,  ", "    999,  "), ("E203", "Site:Location", "CHICAGO_IL_USA TMY2-94846", 1, 177)),
    (replace_once("    City,                    !- Terrain", "    Lakeside,"), ("E204", "Building", "Building", 2, 105)),
    (replace_once("    WD10,                    !- Name\n    MediumSmooth,", "    WD10,\n    ,"),
     ("E205", "Material", "WD10", 1, 255)),
    (replace_once("  Timestep,4;", "  Timestep,4,5;"), ("E206", "Timestep", None, 1, 115)),
    (replace_once("    30.5,0.0,3.0;  !- X,Y,Z ==> Vertex 4 {m}\n\n  BuildingSurface:Detailed,\n    WALL-1PR",
                  "    30.5,0.0;\n\n  BuildingSurface:Detailed,\n    WALL-1PR"),
     ("E207", "BuildingSurface:Detailed", "WALL-1PF", 22, 555)),
    (replace_once(EQUIPMENT_TAIL, "    1,\n    ;\n\n  ZoneHVAC:EquipmentList,\n    SPACE2-1 Eq"),
     ("W208", "ZoneHVAC:EquipmentList", "SPACE1-1 Eq", 7, 2230)),
    (replace_once("  Timestep,4;", "  Timestep,4;\n  Timestep,6;"), ("E301", "Timestep", None, None, 116)),
    (without_building, ("E302", "Building", None, None, None)),
    (replace_once("  Material,\n    WD10,", "  Material,\n    WD10,\n    Smooth, 0.1, 0.1, 100, 1000;\n"
                                              "  Material,\n    WD10,"), ("E303", "Material", "WD10", 0, 258)),
    (replace_once("    SPACE1-1 People 1,       !- Name\n    SPACE1-1,", "    SPACE1-1 People 1,\n    Nowhere,"),
     ("E304", "People", "SPACE1-1 People 1", 1, 750)),
    (replace_once("  Version,25.2;", "  Version,9.4;"), ("W305", "Version", None, 0, 103)),
], ids=lambda v: v[0] if isinstance(v, tuple) else "")
def test_a_fault_injected_into_a_real_model_is_found_once(real_schema, edit, expected):
    # The real schema marks no class obsolete and no field deprecated: W306 is covered above.
    model = IDF.from_string(real_schema, edit(FIVE_ZONE.read_text(encoding="latin-1")))
    assert found(model) == [expected]


def test_the_rules_of_one_check_place_the_surfaces_once(monkeypatch):
    import importlib

    from quarvel import geometry

    placing = importlib.import_module("quarvel.geometry.surfaces")  # the module, not the function

    model = IDF.from_file(IDD.from_file(quarvel.EXAMPLE_IDD), quarvel.EXAMPLE_IDF)
    calls = []
    original = placing._Reader.all
    monkeypatch.setattr(placing._Reader, "all", lambda self: calls.append(1) or original(self))
    model.validate()
    assert len(calls) == 1  # the window rules and the polygon rules share one placement
    wall = model["BuildingSurface:Detailed"][0]
    before = geometry.measure(model).surfaces[0].area
    wall["Vertex 1 Z-coordinate"] = float(wall["Vertex 1 Z-coordinate"]) + 1
    assert geometry.measure(model).surfaces[0].area != before  # outside a check nothing is kept
    assert len(calls) == 3
