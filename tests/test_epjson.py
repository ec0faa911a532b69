"""The engine's JSON form: both directions, round trips, errors with their JSON paths."""

from __future__ import annotations

import io
import json
import math
import pickle

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
    ("{not json", "not JSON: "),
])
def test_bad_documents_are_refused_with_their_path(example, document, message):
    schema, mapping, _ = example
    source = io.StringIO(document) if isinstance(document, str) else document
    with pytest.raises(EpJSONError) as caught:
        IDF.from_epjson(schema, source, mapping)
    assert str(caught.value).startswith(message)


def test_models_that_the_form_cannot_hold(example):
    schema, mapping, _ = example
    twins = IDF.from_string(schema, "Zone, Office; Zone, OFFICE;")
    twins["Zone"][1][0] = "Office"
    with pytest.raises(EpJSONError, match=r'Zone\["Office"\]: two objects of this class have this name'):
        twins.to_epjson(mapping)
    with pytest.raises(EpJSONError, match=r"Zone #1: an object of this class needs a name"):
        IDF.from_string(schema, "Zone, ;").to_epjson(mapping)


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
