"""Field access: reading converts by field type, writing keeps the indexes current."""

import math

import pytest

from quarvel.idd import UnknownFieldError
from quarvel.idf import IDF, IDFObject

from .conftest import check_invariants, model_state

INT, REAL, ALPHA, CHOICE, OBJLIST, NODE, EXTERNAL = range(7)
AUTOSIZE = "Autosize"


@pytest.fixture
def field_types(load):
    model = load("Field:Types;")
    return model, model["Field:Types"][0]


# Stored text, then the value read from an integer, real, alpha, choice, object-list,
# node and default-type field (the last three without autosizing).
CONVERSIONS = [
    ("", [None, None, "", "", "", "", ""]),
    ("autosize", [AUTOSIZE, AUTOSIZE, AUTOSIZE, "autosize", "autosize", "autosize", "autosize"]),
    ("AutoSize", [AUTOSIZE, AUTOSIZE, AUTOSIZE, "AutoSize", "AutoSize", "AutoSize", "AutoSize"]),
    (" autosize", [" autosize", " autosize", " autosize", " autosize", " autosize", " autosize", " autosize"]),
    ("autocalculate", ["Autocalculate", "autocalculate", "autocalculate"] + ["autocalculate"] * 4),
    ("42", [42, 42.0] + ["42"] * 5),
    ("-7", [-7, -7.0] + ["-7"] * 5),
    ("+5", [5, 5.0] + ["+5"] * 5),
    (" 12", [12, 12.0] + [" 12"] * 5),
    ("12 ", ["12 ", "12 "] + ["12 "] * 5),
    ("1.5", ["1.5", 1.5] + ["1.5"] * 5),
    ("1e3", ["1e3", 1000.0] + ["1e3"] * 5),
    ("3.0", ["3.0", 3.0] + ["3.0"] * 5),
    (".5", [".5", 0.5] + [".5"] * 5),
    ("0x1p3", ["0x1p3", 8.0] + ["0x1p3"] * 5),
    ("0x10", ["0x10", 16.0] + ["0x10"] * 5),
    ("1e999", ["1e999", math.inf] + ["1e999"] * 5),
    ("-Infinity", ["-Infinity", -math.inf] + ["-Infinity"] * 5),
    ("99999999999999999999", [2**63 - 1, 1e20] + ["99999999999999999999"] * 5),
    ("-99999999999999999999", [-(2**63), -1e20] + ["-99999999999999999999"] * 5),
    ("Yes", ["Yes"] * 7),
    ("Büro", ["Büro"] * 7),
]


def stored(obj, index, text):
    """`obj` holding `text` at `index`. Text with a blank at an end is refused by every
    write (a reader drops the blank) and can only come from a pickle of an older build:
    an unpickled detached copy is made to hold it."""
    if text == text.strip(" \t"):
        obj[index] = text
        return obj
    reconstruct, (cls, checksum, state) = obj.__reduce__()[:2]
    values = [v for v in state[6]] + [b""] * (index + 1 - len(state[6]))
    values[index] = text.encode()
    return reconstruct(cls, checksum, (*state[:5], None, values, *state[7:]))


@pytest.mark.parametrize(("text", "expected"), CONVERSIONS)
def test_conversion_table(field_types, text, expected):
    model, obj = field_types
    for index, value in enumerate(expected):
        got = stored(obj, index, text)[index]
        assert type(got) is type(value) and got == value, (index, text, got)
    check_invariants(model)


@pytest.mark.parametrize("text", ["nan", "NaN", "inf", "INF"])
def test_real_fields_read_nan_and_inf(field_types, text):
    _, obj = field_types
    obj["Real Value"] = text
    assert isinstance(obj["Real Value"], float)
    assert obj["Integer Value"] is None
    obj["Integer Value"] = text
    assert obj["Integer Value"] == text


def test_fields_without_a_definition_read_as_text(load):
    model = load("Sample:Object,a,b,1.5,2,p,extra 1,7;")
    assert model["Sample:Object"][0].get_values() == ["a", "b", 1.5, 2, "p", "extra 1", "7"]
    with pytest.raises(IndexError):
        model["Sample:Object"][0][6]


def test_positions_beyond_the_stored_values(load):
    obj = load("Zone,Office;")["Zone"][0]
    assert obj["X Origin"] is None
    assert obj["Type"] is None
    assert obj["Name"] == "Office"
    assert load("Schedule:Compact,S;")["Schedule:Compact"][0]["Field 9"] == ""


@pytest.mark.parametrize(
    ("value", "stored"),
    [
        ("Room 1", "Room 1"),
        (True, "Yes"),
        (False, "No"),
        (3, "3"),
        (2.5, "2.5"),
        (1e-7, "1e-07"),
        ("autosize", "autosize"),
        ("AUTOSIZE", "AUTOSIZE"),
        (0, "0"),
        (0.0, "0.0"),
    ],
)
def test_writing_stores_text(load, value, stored):
    model = load("Sample:Object,a,b;")
    obj = model["Sample:Object"][0]
    obj["Kind"] = value
    assert model.format(compact=True) == f"Sample:Object,a,{stored};"


def test_writing_autosize_reads_back_normalized(load):
    obj = load("Sizing:Zone,Z;")["Sizing:Zone"][0]
    obj["Cooling Design Air Flow Rate"] = "AUTOSIZE"
    assert obj["Cooling Design Air Flow Rate"] == "Autosize"
    assert obj.get_values()[2] == "Autosize"


def test_none_and_empty_clear_and_trailing_empties_are_trimmed(load):
    model = load("Sample:Object,a,,c;")
    obj = model["Sample:Object"][0]
    obj["Length"] = None
    assert obj.get_values() == ["a"]
    obj[3] = 5
    assert obj.get_values() == ["a", "", None, 5]
    obj[3] = ""
    assert obj.get_values() == ["a"]


class EmptyLike:
    def __eq__(self, other):
        return other == ""

    __hash__ = None


def test_values_equal_to_the_empty_string_clear(load):
    obj = load("Sample:Object,a,b;")["Sample:Object"][0]
    obj[1] = EmptyLike()
    assert obj.get_values() == ["a"]


def test_growing_and_not_growing(load):
    model = load("Sample:Object,a,b;")
    obj = model["Sample:Object"][0]
    obj[4] = "p"
    assert obj.get_values() == ["a", "b", None, None, "p"]
    obj.update({4: None})
    obj[4] = ""
    assert obj.get_values() == ["a", "b"]
    check_invariants(model)


def test_writing_beyond_listed_groups(load):
    obj = load("BuildingSurface:Detailed,W;")["BuildingSurface:Detailed"][0]
    obj["Vertex 12 Z-coordinate"] = 3
    assert len(obj.get_values()) == 10 + 12 * 3
    assert obj[10 + 11 * 3 + 2] == 3.0
    assert obj.get_values()[-1] == 3.0


def test_failed_writes_change_nothing(load):
    model = load("Zone,Office,1;")
    obj = model["Zone"][0]
    before = model.format()

    class NoText:
        def __str__(self):
            raise RuntimeError("nope")

    with pytest.raises(RuntimeError, match="nope"):
        obj["Name"] = NoText()
    with pytest.raises(UnknownFieldError):
        obj["Nmae"] = "x"
    with pytest.raises(IndexError):
        obj[99] = "x"
    with pytest.raises(UnicodeEncodeError):
        obj["Name"] = "\ud800"
    assert model.format() == before
    check_invariants(model)


def test_deleting_a_field_is_not_supported(load):
    obj = load("Zone,Office;")["Zone"][0]
    with pytest.raises(NotImplementedError) as info:
        del obj["Name"]
    assert str(info.value) == "Subscript deletion not supported by quarvel.idf.IDFObject"
    with pytest.raises(NotImplementedError):
        del obj["no such field"]

    class Mine(IDFObject):
        pass

    with pytest.raises(NotImplementedError, match="Subscript deletion not supported by Mine"):
        del Mine.__new__(Mine)[0]


def test_class_name_is_read_only(load):
    obj = load("zone,Office;")["Zone"][0]
    assert obj.class_name == "Zone"
    with pytest.raises(AttributeError):
        obj.class_name = "Building"


def test_get_values(load):
    assert load("Lead Input;")["Lead Input"][0].get_values() == []
    obj = load("Zone,Office,,3,,,1,2,autocalculate;")["Zone"][0]
    assert obj.get_values() == ["Office", None, 3.0, None, None, 1, 2, "Autocalculate"]


def test_stored_text_that_is_not_utf8_raises_on_read(idd):
    obj = IDFObject(idd, "Sample:Object")
    state = list(obj.__reduce__()[2])
    state[6] = [b"\xffbad", b"ok"]
    obj.__setstate__(tuple(state))
    with pytest.raises(UnicodeDecodeError):
        obj["Name"]
    with pytest.raises(UnicodeDecodeError):
        obj.get_values()
    with pytest.raises(UnicodeDecodeError):
        repr(obj)
    assert obj["Kind"] == "ok"


def test_sequence_protocol(load):
    zone = load("Zone,Office,0;")["Zone"][0]
    assert list(zone) == ["Office", 0.0] + [None] * 7
    assert "Office" in zone
    surface = load("BuildingSurface:Detailed,W" + ",1" * 30 + ";")["BuildingSurface:Detailed"][0]
    assert len(list(surface)) == 31  # iteration of a repeating class stops after the stored values
    zone[1] = 5
    assert zone["Direction of Relative North"] == 5.0
    with pytest.raises(NotImplementedError):
        del zone[1]


def test_bare_objects_refuse_field_access():
    bare = IDFObject.__new__(IDFObject)
    assert bare.class_name is None
    for action in (lambda: bare[0], lambda: bare.get_values(), lambda: bare.__setitem__(0, "x"), lambda: repr(bare)):
        with pytest.raises(ValueError, match="IDFObject has no schema"):
            action()


def test_keys_in_any_letter_case(load):
    obj = load("Zone,Office,1,2,3;")["Zone"][0]
    assert obj["x ORIGIN"] == obj["X Origin"] == obj[2] == 2.0


def test_docstrings():
    assert IDFObject.get_values.__doc__.startswith("Get all field values as list")
    assert "list[str | int | float | None]: list of field values based on field_types" in IDFObject.get_values.__doc__


# ---- the reference index follows every write ----------------------------------


def test_rename_moves_registrations(load):
    model = load("Zone,Office;People,P,Office,S;People,Q,Store,S;")
    zone = model["Zone"][0]
    p, q = model["People"]
    assert p.get_referenced_object("Zone or ZoneList Name") is zone
    zone["Name"] = "Store"
    check_invariants(model)
    assert p.get_referenced_object("Zone or ZoneList Name") is None
    assert q.get_referenced_object("Zone or ZoneList Name") is zone
    assert list(zone.get_referencing_objects("Name")) == [q]
    assert model_state(model)["targets"][b"ZoneNames"] == {b"STORE": [(0, 0)]}


def test_setting_the_same_text_touches_nothing(load):
    model = load("Zone,Z;People,A,Z,S;People,B,Z,S;People,C,Z,S;")
    before = model_state(model)["referencers"]
    assert before[b"ZoneAndZoneListNames"][b"Z"] == [(1, 1), (2, 1), (3, 1)]
    model["People"][0]["Zone or ZoneList Name"] = "Z"
    model["People"][1].update({1: "Z"})
    # a withdraw-and-register would have reordered the list
    assert model_state(model)["referencers"] == before


def test_a_different_case_is_a_change(load):
    model = load("Zone,Z;People,A,Z,S;People,B,Z,S;")
    model["People"][0][1] = "z"
    assert model_state(model)["referencers"][b"ZoneAndZoneListNames"][b"Z"] == [(2, 1), (1, 1)]
    check_invariants(model)


def test_clearing_a_reference_unregisters_it(load):
    model = load("Zone,Z;People,A,Z,S;")
    model["People"][0][1] = None
    assert b"ZoneAndZoneListNames" not in model_state(model)["referencers"]
    check_invariants(model)


def test_detached_objects_are_written_without_index_updates(idd):
    obj = IDFObject(idd, "People")
    obj["Zone or ZoneList Name"] = "Z"
    assert obj.get_values() == ["", "Z"]


def test_item_docstrings():
    assert IDFObject.__getitem__.__doc__.startswith("Get field value by key")
    assert "str | int | float | None: field value based on field_type" in IDFObject.__getitem__.__doc__
    assert IDFObject.__setitem__.__doc__.startswith("Set field value by key")
    assert "(bool | int | float | str | None)" in IDFObject.__setitem__.__doc__
    assert IDF.__getitem__.__doc__.startswith("Get tuple of IDFObjects from class name")
