"""A class's objects as records, frames and printed tables."""

from __future__ import annotations

import csv
import io
import json
import os
import sys

import pytest

import quarvel
from quarvel.idd import IDD
from quarvel.idf import IDF

from .realdata import REAL_MODELS, REAL_SCHEMA, needs_real_data
from .test_cli import quarvel as run_cli

# CI installs the extras; there a missing one is a failure, not a skip.
REQUIRE_EXTRAS = os.environ.get("QUARVEL_REQUIRE_EXTRAS") == "1"


def need_pandas():
    if REQUIRE_EXTRAS:
        import pandas
    else:
        pandas = pytest.importorskip("pandas")
    return pandas


@pytest.fixture(scope="module")
def model():
    return IDF.from_file(IDD.from_file(quarvel.EXAMPLE_IDD), quarvel.EXAMPLE_IDF)


def test_records_hold_converted_values_by_field_name(model):
    assert model.to_records("zone") == [{
        "Name": "Office", "Direction of Relative North": 0.0, "X Origin": 0.0, "Y Origin": 0.0, "Z Origin": 0.0,
        "Type": 1, "Multiplier": 1, "Ceiling Height": "Autocalculate", "Volume": "Autocalculate"}]
    people = model.to_records("People")[0]
    assert (people["Number of People"], people["People per Zone Floor Area"]) == (None, 0.05)


def test_repeating_groups_extend_to_the_longest_object():
    schema = IDD.from_file(quarvel.EXAMPLE_IDD)
    model = IDF.from_file(schema, quarvel.EXAMPLE_IDF)
    model["BuildingSurface:Detailed"][0].update({"Vertex 5 X-coordinate": 1, "Vertex 5 Y-coordinate": 2,
                                                 "Vertex 5 Z-coordinate": 3})
    records = model.to_records("BuildingSurface:Detailed")
    assert all(len(r) == 10 + 5 * 3 for r in records)
    assert [r["Vertex 5 Z-coordinate"] for r in records[:2]] == [3.0, None]


@pytest.mark.parametrize(("class_name", "expected"), [("Output:Variable", 3), ("Nope", KeyError)])
def test_classes_without_objects_or_unknown(model, class_name, expected):
    if expected is KeyError:
        with pytest.raises(KeyError, match="Unknown class: 'Nope'"):
            model.to_records(class_name)
    else:
        assert len(model.to_records(class_name)) == expected
    schema = model.idd
    empty = IDF.from_string(schema, "Version,9.1;")
    assert empty.to_records("Zone") == []


def test_frame_indexed_by_name(model):
    pandas = need_pandas()
    frame = model.to_frame("BuildingSurface:Detailed")
    assert frame.index.name == "Name" and list(frame.index)[:2] == ["Office Wall South", "Office Wall East"]
    assert frame.loc["Office Roof", "Vertex 1 Z-coordinate"] == 3.0
    assert pandas.api.types.is_float_dtype(frame["Vertex 1 X-coordinate"])
    unnamed = model.to_frame("Output:Variable")
    assert list(unnamed.index) == [0, 1, 2] and unnamed.iloc[2]["Schedule Name"] == "Occupancy"
    assert list(model.to_frame("Site:Location").columns)[:1] == ["Latitude"]


def test_frame_without_pandas_says_what_to_install(model, monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match=r"to_frame needs pandas: install it with pip install 'quarvel\[pandas\]'"):
        model.to_frame("Zone")


def test_cli_table(tmp_path):
    as_csv = run_cli("table", "--example", "Zone", "--csv")
    rows = list(csv.reader(io.StringIO(as_csv.stdout)))
    assert rows[0][:2] == ["Name", "Direction of Relative North {deg}"] and rows[0][7] == "Ceiling Height {m}"
    assert rows[1][:3] == ["Office", "0.0", "0.0"] and len(rows) == 2
    as_json = run_cli("table", quarvel.EXAMPLE_IDF, "People", "--idd", quarvel.EXAMPLE_IDD, "--json")
    assert json.loads(as_json.stdout)[0]["Name"] == "Office People"
    text = run_cli("table", "--example", "Schedule:Constant")
    assert text.stdout.splitlines()[1].split() == ["Occupancy", "Fraction", "0.8"]
    unknown = run_cli("table", "--example", "Nope")
    assert (unknown.returncode, unknown.stderr) == (2, "quarvel: the schema has no class 'Nope'\n")


@needs_real_data
def test_every_class_of_a_real_model_tabulates():
    schema = IDD.from_file(REAL_SCHEMA)
    model = IDF.from_file(schema, next(p for p in REAL_MODELS if p.name == "LgOffVAV.idf"))
    for class_name in model.get_class_names():
        records = model.to_records(class_name)
        assert len(records) == len(model[class_name])
        for record, obj in zip(records, model[class_name]):
            assert [v for v in record.values() if v not in (None, "")] == [
                v for v in obj.get_values() if v not in (None, "")], class_name
