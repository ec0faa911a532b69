"""The engine's JSON form: both directions, round trips, errors with their JSON paths."""

from __future__ import annotations

import gc
import io
import json
import math
import pickle
import threading
import time

import pytest

import quarvel
from quarvel import epjson
from quarvel.epjson import EpJSONError, Mapping
from quarvel.idd import IDD
from quarvel.idf import IDF

from .realdata import REAL, REAL_MODELS, REAL_SCHEMA, needs_real_data
from .test_cli import quarvel as run_cli

REAL_MAPPING = REAL / "schema-25.2.epJSON"


@pytest.fixture(scope="module")
def example():
    schema = IDD.from_file(quarvel.EXAMPLE_IDD)
    return schema, Mapping.from_file(quarvel.EXAMPLE_EPJSON), IDF.from_file(schema, quarvel.EXAMPLE_IDF)


def same_values(a, b):
    """Every class, name and field value alike, numbers compared as numbers."""
    def close(x, y):
        sizing = {"AUTOSIZE", "AUTOCALCULATE"}
        if str(x).upper() in sizing and str(y).upper() in sizing:
            return True  # the form spells the word the field takes (AUTOCALCULATE -> Autosize)
        try:
            return math.isclose(float(x), float(y), rel_tol=1e-12)
        except (TypeError, ValueError):
            return False

    return [str(c) for c in a.diff(b) if c.kind != "changed" or not close(c.old, c.new)]


def round_trips(schema, mapping, model):
    document = model.to_epjson(mapping)
    back = IDF.from_epjson(schema, json.loads(json.dumps(document)), mapping)
    assert same_values(model, back) == []
    assert back.to_epjson(mapping) == document
    return document


def test_the_bundled_example_round_trips(example):
    round_trips(*example)


@needs_real_data
@pytest.mark.parametrize("path", REAL_MODELS, ids=lambda p: p.name)
def test_real_models_round_trip(path):
    schema = IDD.from_file(REAL_SCHEMA)
    round_trips(schema, Mapping.from_file(REAL_MAPPING), IDF.from_file(schema, path))


def test_objects_as_the_form_lays_them_out(example):
    schema, mapping, model = example
    document = model.to_epjson(mapping)
    assert list(document)[:3] == ["Version", "Timestep", "Building"]  # schema order
    assert document["Version"] == {"Version 1": {"version_identifier": "9.1"}}
    assert document["Zone"]["Office"] == {
        "direction_of_relative_north": 0, "x_origin": 0, "y_origin": 0, "z_origin": 0, "type": 1, "multiplier": 1,
        "ceiling_height": "Autocalculate", "volume": "Autocalculate"}  # written autocalculate
    wall = document["BuildingSurface:Detailed"]["Office Wall South"]
    assert "outside_boundary_condition_object" not in wall  # blank fields are left out
    assert wall["view_factor_to_ground"] == "Autocalculate" and wall["number_of_vertices"] == 4
    assert wall["vertices"] == [
        {"vertex_x_coordinate": 0, "vertex_y_coordinate": 0, "vertex_z_coordinate": 3},
        {"vertex_x_coordinate": 0, "vertex_y_coordinate": 0, "vertex_z_coordinate": 0},
        {"vertex_x_coordinate": 10, "vertex_y_coordinate": 0, "vertex_z_coordinate": 0},
        {"vertex_x_coordinate": 10, "vertex_y_coordinate": 0, "vertex_z_coordinate": 3}]
    assert document["Output:Variable"]["Output:Variable 3"] == {
        "key_value": "Office", "variable_name": "Zone People Occupant Count", "reporting_frequency": "Timestep",
        "schedule_name": "Occupancy"}
    people = IDF.from_string(schema, "People, Crowd, Office, Occupancy, people/area;")
    assert people.to_epjson(mapping)["People"]["Crowd"]["number_of_people_calculation_method"] == "People/Area"


def test_numbers_come_back_as_their_shortest_text(example):
    schema, mapping, _ = example
    document = {"Zone": {"Z": {"x_origin": 0.1, "y_origin": 1e22, "z_origin": -0.0, "multiplier": 3}}}
    assert IDF.from_epjson(schema, document, mapping)["Zone"][0].get_values()[:7] == ["Z", None, 0.1, 1e22, -0.0,
                                                                                      None, 3]
    text = IDF.from_epjson(schema, document, mapping).format(compact=True)
    assert "Zone,Z,,0.1,1e+22,-0,,3;" in text


@pytest.mark.parametrize(("document", "message"), [
    ({"Nowhere": {}}, 'Nowhere: the epJSON schema has no such class'),
    ({"Zone": {"Office": {"x_orign": 1}}}, 'Zone["Office"].x_orign: Zone has no such field'),
    ({"Zone": {"Office": {"x_origin": [1, 2]}}}, 'Zone["Office"].x_origin: an array where a number belongs'),
    ({"Zone": {"Office": {"x_origin": True}}}, 'Zone["Office"].x_origin: a number or text belongs here, not True'),
    ({"Zone": {"Office": {"ceiling_height": "tall"}}},
     "Zone[\"Office\"].ceiling_height: a number or 'Autocalculate' belongs here, not 'tall'"),
    ({"Zone": {"Office, 2": {}}}, "Zone[\"Office, 2\"]: ',' cannot stand in IDF text, which has no way to write it"),
    ({"BuildingSurface:Detailed": {"W": {"vertices": [{"vertex_x_coordinate": 1, "vertex_w": 2}]}}},
     'BuildingSurface:Detailed["W"].vertices[0].vertex_w: the groups of BuildingSurface:Detailed have no such field'),
    ({"BuildingSurface:Detailed": {"W": {"vertices": {"vertex_x_coordinate": 1}}}},
     'BuildingSurface:Detailed["W"].vertices: the repeating group belongs in an array'),
    ('{"Zone": {"Office": {}, "Office": {}}}', 'Zone["Office"]: the name appears twice'),
    ('{"Zone": {}, "Zone": {}}', "Zone: the class appears twice"),
    ({"Zone": {}, "ZONE": {}}, "ZONE: the class appears twice (as Zone too)"),
    ("{not json", "not JSON: "),
    ('{"Zone": ' + "[" * 100_000 + "]" * 100_000 + "}", "not JSON this reader can take: it is nested too deeply"),
    ([{"Zone": {}}], "an epJSON document is a JSON object of classes"),
    ({5: {}}, "5: a class name is text"),
    ({"Zone": {7: {}}}, "Zone[7]: an object's name is text"),
    ({"Zone": {"\ud800": {}}}, "Zone['\\ud800']: it holds text that UTF-8 cannot encode (a lone surrogate)"),
    ({"Zone": {"Office ": {}}},
     'Zone["Office "]: a value cannot begin or end with a blank or a tab, which IDF text drops when it is read'),
    ({"Zone": {"Office": {"x_origin": "0x10"}}}, "Zone[\"Office\"].x_origin: a number belongs here, not '0x10'"),
    ({"Zone": {"Office": {"x_origin": math.inf}}}, 'Zone["Office"].x_origin: inf is not a number IDF text can hold'),
])
def test_bad_documents_are_refused_with_their_path(example, document, message):
    schema, mapping, _ = example
    source = io.StringIO(document) if isinstance(document, str) else document
    with pytest.raises(EpJSONError) as caught:
        IDF.from_epjson(schema, source, mapping)
    assert str(caught.value).startswith(message)


@pytest.mark.parametrize(("text", "message"), [
    # the engine tells names apart in no letter case
    ("Zone, Office; Zone, OFFICE;", 'Zone["OFFICE"]: two objects of this class have this name'),
    ("Zone, ;", "Zone #1: an object of this class needs a name: epJSON keys objects by name"),
    ("Zone, Office, 0, nan;", "Zone[\"Office\"].x_origin: a number belongs here, not 'nan'"),
    ("Zone, Office, 0, 0x10;", "Zone[\"Office\"].x_origin: a number belongs here, not '0x10'"),
    ("Zone, Office, 0, 1e999;", "Zone[\"Office\"].x_origin: '1e999' is beyond the range of a number"),
    ("Zone, Office, 0,0,0,0,1, tall;",
     "Zone[\"Office\"].multiplier: a number belongs here, not 'tall'"),
    ("BuildingSurface:Detailed, W,,,,,,,,,, 1,2,x;",
     "BuildingSurface:Detailed[\"W\"].vertices[0].vertex_z_coordinate: a number belongs here, not 'x'"),
])
def test_models_that_the_form_cannot_hold(example, text, message):
    # What from_epjson would refuse, to_epjson refuses too: a document always reads back.
    schema, mapping, _ = example
    with pytest.raises(EpJSONError) as caught:
        IDF.from_string(schema, text).to_epjson(mapping)
    assert str(caught.value) == message


def test_sizing_words_are_spelled_as_the_field_takes_them(example):
    # As the engine's own converter writes them: AUTOSIZE in an autocalculatable field
    # is "Autocalculate", both ways.
    schema, mapping, _ = example
    model = IDF.from_string(schema, "Zone, Office, 0,0,0,0,1,1, AUTOSIZE, autocalculate;")
    assert model.to_epjson(mapping)["Zone"]["Office"]["ceiling_height"] == "Autocalculate"
    back = IDF.from_epjson(schema, {"Zone": {"Office": {"ceiling_height": "AutoSize"}}}, mapping)
    assert back["Zone"][0]["Ceiling Height"] == "Autocalculate"


def layout(definition):
    return {"properties": {"Zone": definition}}


@pytest.mark.parametrize(("schema", "message"), [
    ([1, 2], "not an epJSON schema: it has no 'properties'"),
    ({"properties": [1]}, "not an epJSON schema: it has no 'properties'"),
    (layout(5), "the epJSON schema's Zone is not laid out as the engine's: its definition is not a JSON object"),
    (layout({"legacy_idd": {"fields": 5}}), "legacy_idd.fields is not a list of names"),
    (layout({"legacy_idd": {"fields": ["name", 1]}}), "legacy_idd.fields is not a list of names"),
    (layout({"legacy_idd": {"fields": ["x", "x"]}}), "legacy_idd.fields lists 'x' twice"),
    (layout({"legacy_idd": {"fields": ["x"]}, "patternProperties": [1]}), "'patternProperties' is not a JSON object"),
    (layout({"legacy_idd": {"fields": ["x"]}, "patternProperties": {".*": {"properties": {"x": {"anyOf": 5}}}}}),
     "Zone.x is not laid out as the engine's: 'anyOf' is not a list of JSON objects"),
    (layout({"legacy_idd": {"fields": ["x"]}, "patternProperties": {".*": {"properties": {"x": {"enum": 5}}}}}),
     "'enum' is not a list"),
    (layout({"legacy_idd": {"fields": ["x"], "extension": 3}}), "legacy_idd.extension is not a name"),
    # a JSON schema of another release: its fields would land in the wrong places
    (layout({"name": {}, "legacy_idd": {"fields": ["name", "x_origin"]}}),
     "Zone: the epJSON schema lists 2 fields for this class and the IDD 9: the two schemas are not of one release"),
])
def test_hostile_json_schemas_are_refused_clearly(example, schema, message):
    idd, _, model = example
    with pytest.raises(ValueError) as caught:
        IDF.from_string(idd, "Zone, Office, 0, 1;").to_epjson(Mapping(schema))
    assert message in str(caught.value)
    with pytest.raises(ValueError) as caught:
        IDF.from_epjson(idd, {"Zone": {"Office": {}}}, Mapping(schema))
    assert message in str(caught.value)


def test_converting_while_another_thread_edits(example):
    # The conversion copies what it reads: the cyclic collector's finalizers, run while
    # it makes dicts, may hand the interpreter to a thread that edits the objects.
    schema, mapping, _ = example
    model = IDF.from_string(schema, "".join(f"! zone {i}\nZone, Z{i}, 0, 0, 0, 0, 1;\n" for i in range(400)))
    finalized = []

    class Yields:
        def __del__(self):
            finalized.append(1)
            time.sleep(0)

    stop = threading.Event()

    def edit():
        step = 0
        while not stop.is_set():
            for zone in model["Zone"]:
                zone.update([zone[0], step % 7, 1, 2, 3, 4, 5, 6] if step % 2 else [zone[0]])
                zone.comments = ["edited"] * (step % 3)
                step += 1

    old = gc.get_threshold()
    gc.set_threshold(10, 1, 1)
    editor = threading.Thread(target=edit)
    editor.start()
    try:
        for _ in range(20):
            for _ in range(30):
                cycle = Yields()
                cycle.me = cycle
            assert len(model.to_epjson(mapping)["Zone"]) == 400
            assert model.format(comments=True).count("Zone,") == 400
    finally:
        stop.set()
        editor.join()
        gc.set_threshold(*old)
    assert finalized  # the collector did run finalizers meanwhile


def test_files_and_pickles(example, tmp_path):
    schema, mapping, model = example
    path = tmp_path / "example.epJSON"
    with open(path, "w") as out:
        epjson.dump(model, mapping, out)
    with open(path, "rb") as binary:
        assert same_values(model, epjson.load(binary, schema, mapping)) == []
    assert same_values(model, IDF.from_epjson(schema, str(path), mapping)) == []
    copy = pickle.loads(pickle.dumps(mapping))
    assert copy is mapping  # a process shares one mapping per schema
    assert copy.digest == Mapping.from_file(quarvel.EXAMPLE_EPJSON).digest


def test_cli_convert_both_ways(tmp_path):
    for name in ("one", "two"):
        (tmp_path / f"{name}.idf").write_text(quarvel.EXAMPLE_IDF.read_text())
    schema = ["--idd", quarvel.EXAMPLE_IDD, "--schema", quarvel.EXAMPLE_EPJSON]
    out = tmp_path / "out"
    out.mkdir()
    there = run_cli("convert", tmp_path / "one.idf", tmp_path / "two.idf", "-o", f"{out}/", "--jobs", "2", *schema)
    assert there.returncode == 0, there.stderr
    document = json.loads((out / "one.epJSON").read_text())
    assert document["Zone"]["Office"]["ceiling_height"] == "Autocalculate"
    back = run_cli("convert", out / "one.epJSON", "-o", tmp_path / "back.idf", *schema)
    assert back.returncode == 0 and run_cli("diff", tmp_path / "one.idf", tmp_path / "back.idf",
                                            "--idd", quarvel.EXAMPLE_IDD).returncode == 0
    (tmp_path / "bad.epJSON").write_text('{"Zone": {"Office": {"x_orign": 1}}}')
    bad = run_cli("convert", tmp_path / "bad.epJSON", *schema)
    assert bad.returncode == 2 and bad.stderr.endswith('Zone["Office"].x_orign: Zone has no such field\n')
    assert not (tmp_path / "bad.idf").exists()  # nothing written
