"""Comparing models (diff) and renaming objects with their references."""

from __future__ import annotations

import json

import pytest

import quarvel
from quarvel.idd import IDD
from quarvel.idf import IDF, IDFObject

from .conftest import check_invariants
from .realdata import REAL_MODELS, REAL_SCHEMA, needs_real_data
from .test_cli import quarvel as run_cli

EXAMPLE = quarvel.EXAMPLE_IDF.read_text()
LAYOUTS = [{}, {"compact": True}, {"preserve_order": True}, {"class_indent_size": 2, "field_size": 0}]


@pytest.fixture(scope="module")
def schema():
    return IDD.from_file(quarvel.EXAMPLE_IDD)


def edited(old, new, count=1):
    def edit(text):
        assert text.count(old) == count, old
        return text.replace(old, new)

    return edit


# ---- diff --------------------------------------------------------------------------------


@pytest.mark.parametrize("layout", LAYOUTS, ids=str)
def test_a_model_and_its_rewritten_text_have_no_changes(schema, layout):
    model = IDF.from_string(schema, EXAMPLE)
    assert model.diff(IDF.from_string(schema, model.format(**layout))) == []


@needs_real_data
@pytest.mark.parametrize("path", REAL_MODELS, ids=lambda p: p.name)
def test_real_models_match_their_rewritten_text(path):
    schema = IDD.from_file(REAL_SCHEMA)
    model = IDF.from_file(schema, path)
    assert model.diff(IDF.from_string(schema, model.format(compact=True, preserve_order=True))) == []


@pytest.mark.parametrize(
    ("edit", "expected"),
    [
        # numbers as numbers, choices in any case, a blank trailing field as missing
        (edited("0.04,                    !- Loads", "0.040,                   !- Loads"), []),
        (edited("    1829;", "    1.829e3;"), []),
        (edited("Continuous;", "CONTINUOUS;"), []),
        (edited("Lighting,Fraction,0.9;", "Lighting,Fraction,0.9,;"), []),
        (edited("0.37,", "0.370000000001,"), []),
        # unnamed objects match by content whatever their order
        (edited("Output:Variable,*,Zone Mean Air Temperature,Hourly;\n", "", 1), [
            "Output:Variable [*, Zone Mean Air Temperature, Hourly]: removed"]),
        (lambda text: text + "Output:Variable,*,Zone Mean Air Temperature,Hourly;\n", [
            "Output:Variable [*, Zone Mean Air Temperature, Hourly]: added"]),
        (lambda text: text.replace("Output:Variable,*,Zone Mean Air Temperature,Hourly;\n", "") +
         "Output:Variable,*,Zone Mean Air Temperature,Hourly;\n", []),
        (edited("Timestep,4;", "Timestep,6;"), ["Timestep, Number of Timesteps per Hour: 4 -> 6"]),
        # named objects match by name in any letter case; other text compares exactly
        (edited("Office People,  ", "OFFICE PEOPLE,  "), ["People 'Office People', Name: Office People -> OFFICE PEOPLE"]),
        (edited("Office People,  ", "Office Staff,   "), ["People 'Office People': removed", "People 'Office Staff': added"]),
        (edited("    0.05,  ", "    0.06,  "), ["People 'Office People', People per Zone Floor Area: 0.05 -> 0.06"]),
        (edited("    0.3,   ", "    ,      "), ["People 'Office People', Fraction Radiant: 0.3 -> (blank)"]),
        (edited("Exterior Wall,           !- Name", "Outer Wall,              !- Name"),
         ["Construction 'Exterior Wall': removed", "Construction 'Outer Wall': added"]),
    ],
)
def test_diff_finds_what_changed(schema, edit, expected):
    old = IDF.from_string(schema, EXAMPLE)
    new = IDF.from_string(schema, edit(EXAMPLE))
    changes = quarvel.diff(old, new)
    assert [str(c) for c in changes] == expected
    back = [str(c) for c in new.diff(old)]
    assert len(back) == len(expected)


def test_a_change_carries_both_objects_and_plain_data(schema):
    old = IDF.from_string(schema, EXAMPLE)
    new = IDF.from_string(schema, EXAMPLE.replace("Timestep,4;", "Timestep,6;"))
    (change,) = old.diff(new)
    assert (change.old_object, change.new_object) == (old["Timestep"][0], new["Timestep"][0])
    assert change.to_dict() == {"kind": "changed", "class_name": "Timestep", "name": None, "field_index": 0,
                                "field_name": "Number of Timesteps per Hour", "old": "4", "new": "6",
                                "old_line": 6, "new_line": 6}


def test_tolerance(schema):
    old = IDF.from_string(schema, EXAMPLE)
    new = IDF.from_string(schema, EXAMPLE.replace("9.5,", "9.5001,"))
    assert len(old.diff(new)) == 1
    assert old.diff(new, rel_tol=1e-4) == []
    with pytest.raises(ValueError, match="rel_tol must be a finite number at least 0"):
        old.diff(new, rel_tol=-1)
    with pytest.raises(TypeError, match="diff\\(\\) compares two IDF models, not str"):
        old.diff(EXAMPLE)


def test_cli_diff(tmp_path):
    old, new = tmp_path / "old.idf", tmp_path / "new.idf"
    old.write_text(EXAMPLE)
    new.write_text(EXAMPLE.replace("Timestep,4;", "Timestep,6;").replace("Office Lights", "Desk Lights"))
    schema = quarvel.EXAMPLE_IDD
    same = run_cli("diff", old, old, "--idd", schema)
    assert (same.returncode, same.stdout, same.stderr) == (0, "", "")
    text = run_cli("diff", old, new, "--idd", schema)
    assert text.returncode == 1
    assert text.stdout.splitlines() == [
        "Timestep, Number of Timesteps per Hour: 4 -> 6",
        "Lights 'Office Lights': removed",
        "Lights 'Desk Lights': added",
        "1 object removed, 1 added, 1 field changed",
    ]
    as_json = run_cli("diff", old, new, "--idd", schema, "--format", "json", "--rel-tol", "0.1")
    assert [(c["kind"], c["class_name"], c["name"]) for c in json.loads(as_json.stdout)] == [
        ("changed", "Timestep", None), ("removed", "Lights", "Office Lights"), ("added", "Lights", "Desk Lights")]
    missing = run_cli("diff", old, tmp_path / "none.idf", "--idd", schema)
    assert missing.returncode == 2 and missing.stderr.count("\n") == 1


# ---- rename ------------------------------------------------------------------------------


def test_rename_rewrites_every_reference(schema):
    model = IDF.from_string(schema, EXAMPLE)
    zone = model.get_object_by_name("Zone", "Office")
    before = model.validate()
    assert zone.rename("Annex") == 8
    assert zone["Name"] == "Annex"
    assert len(zone.get_referencing_objects("Name")) == 8
    # The output request keyed by the old name is text, not a reference: left stale, and said so.
    assert [(d.code, d.object[0]) for d in model.validate() if d not in before] == [("W307", "Office")]
    assert model.find_dangling_references() == []
    assert model.get_object_by_name("Zone", "annex") is zone and model.get_object_by_name("Zone", "Office") is None
    assert {s["Zone Name"] for s in model["BuildingSurface:Detailed"]} == {"Annex"}
    check_invariants(model)


@pytest.mark.parametrize(
    ("target", "new_name", "error", "message"),
    [
        (("Zone", "Office"), "", ValueError, "a new name cannot be blank"),
        (("Zone", "Office"), "Annex, Level 2", ValueError, "Zone field 'Name' cannot hold ','"),
        (("Schedule:Constant", "Occupancy"), "Lighting", ValueError,
         "cannot rename Schedule:Constant 'Occupancy' to 'Lighting': Schedule:Constant 'Lighting' has that name"),
        (("Zone", "Office"), 7, TypeError, "Argument 'new_name' has incorrect type"),
        (("Timestep", None), "Fast", TypeError, "Timestep objects have no name to rename"),
    ],
)
def test_a_refused_rename_changes_nothing(schema, target, new_name, error, message):
    model = IDF.from_string(schema, EXAMPLE)
    class_name, name = target
    obj = model.get_object_by_name(class_name, name) if name else model[class_name][0]
    text = model.format()
    with pytest.raises(error, match=message.replace("(", "\\(").replace(")", "\\)")):
        obj.rename(new_name)
    assert model.format() == text
    check_invariants(model)


def test_a_name_two_objects_share_keeps_its_references():
    # Two classes share a reference list: a field naming "Shared" may mean either one.
    schema = IDD.from_string("""
Thing,
  A1, \\field Name
      \\reference Things
  A2; \\field Other
Gizmo,
  A1, \\field Name
      \\reference Things
      \\reference Gizmos
  A2; \\field Other
User,
  A1, \\field Name
  A2, \\field Thing
      \\object-list Things
  A3; \\field Gizmo
      \\object-list Gizmos
""")
    model = IDF.from_string(schema, "Thing,Shared;\nGizmo,Shared;\nUser,u,Shared,shared;\n")
    gizmo = model["Gizmo"][0]
    assert gizmo.rename("Renamed") == 1  # the field only Gizmos can mean
    assert model["User"][0].get_values() == ["u", "Shared", "Renamed"]
    check_invariants(model)


def test_rename_of_a_detached_object():
    schema = IDD.from_file(quarvel.EXAMPLE_IDD)
    zone = IDFObject(schema, "Zone")
    assert zone.rename("Solo") == 0 and zone["Name"] == "Solo"


@needs_real_data
def test_rename_in_a_real_model():
    schema = IDD.from_file(REAL_SCHEMA)
    model = IDF.from_file(schema, next(p for p in REAL_MODELS if p.name == "5ZoneAirCooled.idf"))
    zone = model["Zone"][1]
    referrers = len(zone.get_referencing_objects("Name"))
    assert zone.rename("Renamed Space") >= referrers > 10
    assert model.validate() == [] and model.find_dangling_references() == []
    check_invariants(model)
