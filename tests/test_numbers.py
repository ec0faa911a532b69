"""One rule for what a number is: what the engine reads as one. Checking, comparing and
converting a model all follow it; reading a field converts as strtod does (Part of the
field access rules), so inf, nan and hexadecimal read as floats but are not numbers to
the engine."""

from __future__ import annotations

import pytest

import quarvel
from quarvel.epjson import EpJSONError, Mapping
from quarvel.idd import IDD
from quarvel.idf import IDF

ENGINE_NUMBERS = ["0", "-7", "+5", "1.5", ".5", "5.", "1e3", "1E-3", "-2.5e+4", "00012"]
NOT_NUMBERS = ["inf", "-Infinity", "nan", "0x10", "0x1p3", "1e", "e3", ".", "+", "1.2.3", "1e3.5", "1 2", "--1", "1d3"]


@pytest.fixture(scope="module")
def example():
    schema = IDD.from_file(quarvel.EXAMPLE_IDD)
    return schema, Mapping.from_file(quarvel.EXAMPLE_EPJSON)


@pytest.mark.parametrize("text", ENGINE_NUMBERS + NOT_NUMBERS)
def test_check_diff_and_epjson_agree_on_what_a_number_is(example, text):
    schema, mapping = example
    model = IDF.from_string(schema, f"Zone, Office, 0, {text};")
    is_number = text in ENGINE_NUMBERS
    findings = [d for d in model.validate(select="invalid-number")]
    assert bool(findings) is not is_number
    if not is_number:
        assert findings[0].message == f"'{text}' is not a number."
    # diff compares numbers by value, anything else as text (in any letter case)
    same = IDF.from_string(schema, f"Zone, Office, 0, {text.upper()};")
    respelled = IDF.from_string(schema, f"Zone, Office, 0, {float(text) if is_number else text};")
    assert model.diff(same) == [] and model.diff(respelled) == []
    if is_number:
        assert model.to_epjson(mapping)["Zone"]["Office"]["x_origin"] == float(text)
    else:
        with pytest.raises(EpJSONError, match=r"x_origin: a number belongs here"):
            model.to_epjson(mapping)


def test_numbers_that_differ_only_in_spelling_are_the_same_change(example):
    schema, _ = example
    a = IDF.from_string(schema, "Zone, Office, 0, 0x10, 1000;")
    b = IDF.from_string(schema, "Zone, Office, 0, 16, 1e3;")
    assert [(c.field_name, c.old, c.new) for c in a.diff(b)] == [("X Origin", "0x10", "16")]
