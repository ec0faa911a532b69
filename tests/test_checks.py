"""The rules on windows and doors, on output requests and on names, and renames that
carry output requests along; the short displays."""

from __future__ import annotations

import pytest

import quarvel
from quarvel.diagnostics import RULES
from quarvel.idd import IDD
from quarvel.idf import IDF

from .test_opening import EXAMPLE, edited

WINDOW = ("    4, 0, 2.4,               !- Vertex 1 {m}\n    4, 0, 0.9,               !- Vertex 2 {m}\n"
          "    6, 0, 0.9,               !- Vertex 3 {m}\n    6, 0, 2.4;               !- Vertex 4 {m}")


def window_at(*corners):
    return "\n".join(f"    {x}, {y}, {z}{';' if i == 3 else ','}" for i, (x, y, z) in enumerate(corners))


@pytest.fixture(scope="module")
def schema():
    return IDD.from_file(quarvel.EXAMPLE_IDD)


@pytest.mark.parametrize(("edit", "expected"), [
    ((WINDOW, window_at((4, 0.5, 2.4), (4, 0, 0.9), (6, 0, 0.9), (6, 0, 2.4))),
     ("E401", "Office Window South", "Its vertex 1 lies 0.50 m off the plane of its base surface 'Office Wall South'.")),
    ((WINDOW, window_at((4, 0, 2.4), (4, 0, 0.9), (11, 0, 0.9), (11, 0, 2.4))),
     ("W402", "Office Window South", "Its vertex 3 lies 1.00 m outside its base surface 'Office Wall South'.")),
    ((WINDOW, window_at((0, 0, 3.5), (0, 0, 0), (10.5, 0, 0), (10.5, 0, 3.5))),
     [("W402", "Office Window South", "Its vertex 1 lies 0.50 m outside its base surface 'Office Wall South'."),
      ("E403", "Office Window South", "Its area of 36.75 m² is more than the 30.00 m² of its base surface "
                                      "'Office Wall South'.")]),
    (("    1,                       !- Multiplier\n    4,", "    11,                      !- Multiplier\n    4,"),
     ("E403", "Office Wall South", "Its windows and doors cover 33.00 m², more than its own 30.00 m².")),
    ((WINDOW, window_at((4, 0.005, 2.4), (4, 0, 0.9), (6, 0, 0.9), (10.004, 0, 2.4))), None),  # within a centimetre is on
])
def test_windows_are_checked_against_their_walls(schema, edit, expected):
    findings = [(f.code, f.object_name, f.message) for f in IDF.from_string(schema, edited(EXAMPLE, edit)).validate()]
    assert findings == (expected if isinstance(expected, list) else [expected] if expected else [])


# A schema with what the output rules and renames read: zones, requests, meters.
OUTPUT_SCHEMA = IDD.from_string(r"""!IDD_Version 1.0.0
Version, \unique-object
  A1 ; \field Version Identifier
Zone,
  A1 ; \field Name
       \reference ZoneNames
Output:Variable,
  A1 , \field Key Value
  A2 ; \field Variable Name
Output:Meter,
  A1 ; \field Key Name
Output:Meter:MeterFileOnly,
  A1 , \field Key Name
       \reference MeterNames
  A2 ; \field Reporting Frequency
Node:List,
  A1 , \field Name
  A2 ; \field Node 1 Name
       \type node
""")
OUTPUTS = """Version, 1.0;
Zone, East;
Node:List, Supply Nodes, East Inlet;
Output:Variable, *, Zone Air Temperature;
Output:Variable, Environment, Site Outdoor Air Drybulb Temperature;
Output:Variable, EAST, Zone Air Temperature;
Output:Variable, East Inlet, System Node Temperature;
Output:Variable, East.*, Zone Air Temperature;
Output:Meter, Electricity:Zone:East;
Output:Meter:MeterFileOnly, Electricity:Facility, Hourly;
Output:Meter:MeterFileOnly, Electricity:Facility, Monthly;
"""


@pytest.mark.parametrize(("old", "new", "expected"), [
    (None, None, []),
    ("EAST, Zone", "West, Zone", [("W307", 6, "The key 'West' names nothing in the model; the request reports nothing.")]),
    ("East Inlet, System", "West Inlet, System",
     [("W307", 7, "The key 'West Inlet' names nothing in the model; the request reports nothing.")]),
    ("Zone:East;", "Zone:West;", [("W307", 9, "The meter is for zone 'West', which the model does not have.")]),
])
def test_output_requests_must_name_something(old, new, expected):
    # The two MeterFileOnly requests of one meter (once per frequency) are no duplicates.
    model = IDF.from_string(OUTPUT_SCHEMA, OUTPUTS if old is None else edited(OUTPUTS, (old, new)))
    assert [(f.code, f.line, f.message) for f in model.validate()] == expected


@pytest.mark.parametrize(("outputs", "keys", "findings"), [
    (False, ["*", "Environment", "EAST", "East Inlet", "East.*", "Electricity:Zone:East"], ["W307", "W307"]),
    (True, ["*", "Environment", "North", "East Inlet", "East.*", "Electricity:Zone:North"], []),
])
def test_a_rename_carries_output_requests_along_when_asked(outputs, keys, findings):
    model = IDF.from_string(OUTPUT_SCHEMA, OUTPUTS)
    zone = model["Zone"][0]
    assert zone.rename("North", outputs=outputs) == (2 if outputs else 0)
    assert [str(o[0]) for o in (*model["Output:Variable"], *model["Output:Meter"])] == keys
    assert [f.code for f in model.validate()] == findings


def test_every_rule_has_a_code_name_and_summary_once():
    codes = [rule.code for rule in RULES]
    assert codes == sorted(codes, key=lambda code: code[1:]) and len(set(codes)) == len(codes)
    assert {"E101", "E102", "W307", "E401", "W402", "E403"} <= set(codes)
    model = IDF.from_file(IDD.from_file(quarvel.EXAMPLE_IDD), quarvel.EXAMPLE_IDF)
    for rule in RULES:
        assert model.validate(select=rule.rule) == [] and model.validate(ignore=rule.code) == []


# ---- displays --------------------------------------------------------------------------------


class Printer:
    def __init__(self):
        self.parts = []

    def text(self, text):
        self.parts.append(text)


def shown(value):
    printer = Printer()
    value._repr_pretty_(printer, False)
    return "".join(printer.parts)


def test_ipython_shows_a_summary_not_the_text(monkeypatch, tmp_path):
    from quarvel import _registry, idd as idd_module

    monkeypatch.setattr(_registry, "_registered", [])
    idd_module.register(quarvel.EXAMPLE_IDD)
    model = IDF.open(quarvel.EXAMPLE_IDF)
    text = shown(model)
    lines = text.splitlines()
    assert lines[:3] == ["IDF model: 29 objects in 15 classes, version 9.1; schema 9.1.0",
                         f"  file: {quarvel.EXAMPLE_IDF}", "  Version                       1"]
    assert "BuildingSurface:Detailed      6" in lines[12] and len(lines) == 17
    assert shown(model["BuildingSurface:Detailed"]) == (
        "6 BuildingSurface:Detailed objects: 'Office Wall South', 'Office Wall East', 'Office Wall North', "
        "'Office Wall West', 'Office Floor', ...")
    assert shown(model["Zonee"]) == "0 objects"
    assert "Office Wall South" in repr(model)  # repr keeps the whole text


def test_html_tables_label_columns_by_field_name(schema):
    model = IDF.from_file(schema, quarvel.EXAMPLE_IDF)
    html = model["Zone"]._repr_html_()
    assert "<th>Name</th><th>Direction of Relative North {deg}</th><th>X Origin {m}</th>" in html
