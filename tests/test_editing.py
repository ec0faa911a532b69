"""Editing: standalone objects, bulk update, adding and removing objects."""

import pytest

from quarvel.idd import UnknownFieldError
from quarvel.idf import IDF, IDFObject

from .conftest import check_invariants, model_state, object_state

NOT_MEMBER = "Error: The object belongs to a different IDF model or is detached."


# ---- standalone objects ---------------------------------------------------------


def test_standalone_object(idd):
    obj = IDFObject(idd, "minimum:FIELDS")
    assert obj.class_name == "Minimum:Fields"
    assert obj.get_values() == ["", "", ""]  # min_fields, no defaults
    assert IDFObject(idd=idd, class_name="Zone").get_values() == []
    assert repr(obj) == (
        "Minimum:Fields,\n"
        "    ,                        !- Name\n"
        "    ,                        !- Second\n"
        "    ;                        !- Third\n"
    )


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        (("idd", "Nope"), ValueError, "Unknown class: 'Nope'"),
        ((None, "Zone"), TypeError, "Argument 'idd' has incorrect type (expected quarvel.idd.IDD, got NoneType)"),
        (("x", "Zone"), TypeError, "Argument 'idd' has incorrect type (expected quarvel.idd.IDD, got str)"),
        (("idd", 1), TypeError, "Argument 'class_name' has incorrect type (expected str, got int)"),
        (("idd", None), AttributeError, "'NoneType' object has no attribute 'encode'"),
        (("idd",), TypeError, "__init__() takes exactly 2 positional arguments (1 given)"),
    ],
)
def test_constructor_errors(idd, args, error, message):
    args = tuple(idd if a == "idd" else a for a in args)
    with pytest.raises(error) as info:
        IDFObject(*args)
    assert str(info.value) == message


def test_constructor_again(idd, load):
    obj = IDFObject(idd, "Zone")
    obj["Name"] = "Z"
    obj.__init__(idd, "ClassA")
    assert obj.class_name == "ClassA" and obj.get_values() == []

    model = load("Zone,Z;People,P,Z,S;")
    zone = model["Zone"][0]
    with pytest.raises(ValueError, match="cannot re-initialize an object that belongs to a model"):
        zone.__init__(idd, "ClassA")
    assert zone.class_name == "Zone" and zone["Name"] == "Z"
    assert model["People"][0].get_referenced_object(1) is zone
    check_invariants(model)


def test_subclasses(idd):
    class Mine(IDFObject):
        pass

    obj = Mine(idd, "Zone")
    assert type(obj) is Mine and obj.class_name == "Zone"


# ---- update ---------------------------------------------------------------------


@pytest.fixture
def sample(load):
    model = load("Sample:Object,a,b;")
    return model, model["Sample:Object"][0]


def test_update_none_changes_nothing(sample):
    _, obj = sample
    obj.update(["a", "b", "", ""], trim_empty_trails=False)
    obj.update(None)
    assert obj.get_values() == ["a", "b", None, None]


@pytest.mark.parametrize("empty", [[], {}])
def test_update_empty_trims(sample, empty):
    _, obj = sample
    obj.update({4: ""}, False)
    assert len(obj.get_values()) == 5
    obj.update(empty)
    assert obj.get_values() == ["a", "b"]


def test_update_forms(sample):
    model, obj = sample
    obj.update(["x", "y"])
    assert obj.get_values() == ["x", "y"]
    obj.update({"name": "n"})
    obj.update({1: "k"})
    assert obj.get_values() == ["n", "k"]
    obj.update({"NAME": "first", 0: "second"})  # the later pair wins
    assert obj["Name"] == "second"
    obj.update({4: "p"})
    assert obj.get_values() == ["second", "k", None, None, "p"]
    obj.update({4: None})
    assert obj.get_values() == ["second", "k"]
    obj.update(values={4: ""}, trim_empty_trails=False)
    assert obj.get_values() == ["second", "k", None, None, ""]
    check_invariants(model)


def test_update_subclasses_of_list_and_dict(sample):
    class MyList(list):
        pass

    class MyDict(dict):
        pass

    _, obj = sample
    obj.update(MyList(["l"]))
    obj.update(MyDict({"Kind": "d"}))
    assert obj.get_values() == ["l", "d"]


def test_update_resolves_every_key_first(sample):
    _, obj = sample
    with pytest.raises(IndexError):
        obj.update(["1", "2", "3", "4", "5", "6"])
    with pytest.raises(UnknownFieldError):
        obj.update({"Name": "changed", "Nope": 1})
    assert obj.get_values() == ["a", "b"]


def test_update_rejects_other_types(sample):
    _, obj = sample
    with pytest.raises(TypeError) as info:
        obj.update(("x",))
    assert str(info.value) == "Invalid values type: tuple. Expected list or dict"
    with pytest.raises(TypeError, match="Invalid values type: str. Expected list or dict"):
        obj.update("x")


def test_update_stops_at_a_failed_conversion(sample):
    class Bad:
        def __str__(self):
            raise RuntimeError("bad value")

    _, obj = sample
    with pytest.raises(RuntimeError, match="bad value"):
        obj.update({0: "kept", 1: Bad(), 4: ""})
    assert obj.get_values() == ["a", "b"]  # all of an update or none of it


def test_update_moves_references(load):
    model = load("Zone,Old;People,P,Old,S;Zone,Other;")
    people = model["People"][0]
    model["Zone"][0].update({"Name": "New"})
    assert people.get_referenced_object(1) is None
    model["Zone"][1].update({"Name": "old"})
    assert people.get_referenced_object(1) is model["Zone"][1]
    check_invariants(model)


# ---- add_object ---------------------------------------------------------------


def test_add_object_with_defaults(load):
    model = load("")
    zone = model.add_object("zone")
    assert zone.class_name == "Zone"
    assert zone.get_values() == ["", 0.0, 0.0, 0.0, 0.0, 1, 1, "Autocalculate", "Autocalculate"]
    minimum = model.add_object("Minimum:Fields")
    assert minimum.get_values() == ["", "", "", "Extra"]  # a default beyond min_fields
    check_invariants(model)


def test_add_object_without_defaults(load):
    model = load("")
    assert model.add_object("Minimum:Fields", default_values=False).get_values() == ["", "", ""]
    assert model.add_object("Minimum:Fields", [], False).get_values() == []
    assert model.add_object("Minimum:Fields", {}, default_values=0).get_values() == []
    assert model.add_object("Minimum:Fields", []).get_values() == ["", "", "", "Extra"]


def test_add_object_initial_values(load):
    model = load("")
    zone = model.add_object("Zone", {"NAME": "Z", "multiplier": 3, "Volume": None})
    assert zone.get_values() == ["Z", 0.0, 0.0, 0.0, 0.0, 1, 3, "Autocalculate"]
    people = model.add_object("People", ["P", "z", "S"], default_values=False)
    assert people.get_values() == ["P", "z", "S"]
    assert people.get_referenced_object(1) is zone
    assert model.add_object(class_name="ClassA", initial_values=["a"]).get_values() == ["a"]
    check_invariants(model)


def test_add_object_errors(load):
    model = load("Zone,Z;")
    before = model_state(model)
    with pytest.raises(ValueError) as info:
        model.add_object("nope")
    assert str(info.value) == "Unknown class: 'nope'"
    with pytest.raises(TypeError, match="Argument 'class_name' has incorrect type"):
        model.add_object(1)
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'encode'"):
        model.add_object(None)
    # a bad initial value adds nothing
    with pytest.raises(TypeError, match="Invalid values type: tuple"):
        model.add_object("Zone", ("x",))
    with pytest.raises(UnknownFieldError):
        model.add_object("Zone", {"Nmae": "x"})
    assert len(model_state(model)["objects"]) == len(before["objects"]) == len(model) == 1
    check_invariants(model)


def test_positions_are_never_reused(load):
    model = load("Zone,A;Zone,B;")
    c = model.add_object("Zone", ["C"])
    model.remove_object(c)
    d = model.add_object("Zone", ["D"])
    state = model_state(model)
    assert state["objects"][2] is None and object_state(d)["obj_idx"] == 3
    assert state["classes"][b"ZONE"] == [0, 1, 3]
    check_invariants(model)


# ---- removal --------------------------------------------------------------------


def test_remove_object(load, idd):
    model = load("Zone,A;People,P,A,S;Zone,B;")
    a = model["Zone"][0]
    assert model.remove_object(a) is None
    assert model["Zone"] == (model["Zone"][0],) and model["Zone"][0]["Name"] == "B"
    assert a["Name"] == "A"  # a removed object keeps its values and can be changed
    a["Name"] = "A2"
    assert model.get_object_by_name("Zone", "A2") is None
    check_invariants(model)
    with pytest.raises(ValueError) as info:
        model.remove_object(a)
    assert str(info.value) == NOT_MEMBER
    other = load("Zone,A;")
    for stranger in (other["Zone"][0], IDFObject(idd, "Zone"), None):
        with pytest.raises(ValueError, match="belongs to a different IDF model or is detached"):
            model.remove_object(stranger)
    with pytest.raises(TypeError) as info:
        model.remove_object(1)
    assert str(info.value) == "Argument 'obj' has incorrect type (expected quarvel.idf.IDFObject, got int)"
    check_invariants(model)
    check_invariants(other)


def test_remove_all_objects(load):
    model = load("Zone,A;Zone,B;People,P,A,S;Zone,C;")
    assert model.remove_all_objects("ZONE") == 3
    assert model.remove_all_objects("Zone") == 0
    assert model.remove_all_objects("Nope") == 0
    assert b"ZONE" not in model_state(model)["classes"]
    assert model["People"][0].get_referenced_object(1) is None
    check_invariants(model)
    with pytest.raises(TypeError, match="Argument 'class_name' has incorrect type"):
        model.remove_all_objects(b"Zone")
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'encode'"):
        model.remove_all_objects(None)


def test_remove_all_after_single_removals(load):
    model = load("Zone,A;")
    zone = model["Zone"][0]
    model.remove_object(zone)
    assert model.remove_all_objects("Zone") == 0
    assert model_state(model)["classes"][b"ZONE"] == []  # the emptied entry stays
    with pytest.raises(ValueError, match="detached"):
        model.remove_object(zone)
    model2 = load("Zone,A;")
    zone2 = model2["Zone"][0]
    model2.remove_all_objects("Zone")
    with pytest.raises(ValueError, match="detached"):
        model2.remove_object(zone2)


def test_references_are_satisfied_again(load):
    model = load("Zone,Office;People,P,office,S;Lights,L,Office,S;")
    model.remove_object(model["Zone"][0])
    people = model["People"][0]
    assert people.get_referenced_object(1) is None
    again = model.add_object("Zone", ["OFFICE"])
    assert people.get_referenced_object(1) is again
    assert set(again.get_referencing_objects(0)) == {people, model["Lights"][0]}
    model.remove_object(people)
    assert again.get_referencing_objects(0) == (model["Lights"][0],)
    check_invariants(model)


def test_removal_leaves_referring_text(load):
    model = load("Zone,Office;People,P,Office,S;")
    model.remove_all_objects("Zone")
    assert model.format(compact=True) == "People,P,Office,S,,,,,,,;"  # written up to min_fields


def test_docstrings():
    assert IDF.add_object.__doc__.splitlines()[0] == "Add object to IDF"
    assert "Number of objects removed. 0 if class was not found." in IDF.remove_all_objects.__doc__
    assert IDFObject.update.__doc__.splitlines()[0] == "Update multiple field values"
    assert IDFObject.__init__.__doc__.splitlines()[0] == "Python-level initialization"


@pytest.mark.parametrize("order", ["shuffled", "middle-out", "alternate"])
def test_removal_in_any_order_keeps_the_class_lists(load, order):
    import pickle
    import random

    model = load("".join(f"Zone,Z{i};People,P{i},Z{i},S;" for i in range(200)))
    zones = list(model["Zone"])
    if order == "shuffled":
        random.Random(7).shuffle(zones)
    elif order == "middle-out":
        zones.sort(key=lambda z: abs(int(z["Name"][1:]) - 100))
    else:
        zones = zones[::2] + zones[1::2]
    kept = list(model["Zone"])
    for k, zone in enumerate(zones):
        model.remove_object(zone)
        kept.remove(zone)
        if k % 37 == 0:  # reads between removals see exactly the objects left, in order
            assert list(model["Zone"]) == kept and len(model) == len(kept) + 200
            assert model.get_object_by_name("Zone", zone["Name"]) is None
            if kept:
                assert model.get_object_by_name("Zone", kept[-1]["Name"]) is kept[-1]
        if k == 120:
            added = model.add_object("Zone", ["Late"])
            kept.append(added)
            check_invariants(model)
            again = pickle.loads(pickle.dumps(model))
            assert [z["Name"] for z in again["Zone"]] == [z["Name"] for z in kept]
    assert [z["Name"] for z in model["Zone"]] == ["Late"] and "Zone" in model
    check_invariants(model)


MEMO_EDITS = {
    "field": lambda m: m["Zone"][0].__setitem__("Multiplier", 3),
    "update": lambda m: m["Zone"][0].update({"Name": "Other"}),
    "add": lambda m: m.add_object("Zone", ["New"]),
    "remove": lambda m: m.remove_object(m["Zone"][0]),
    "remove_all": lambda m: m.remove_all_objects("Zone"),
    "rename": lambda m: m["Zone"][0].rename("Renamed"),
    "setstate": lambda m: m.__setstate__(IDF.from_string(m.idd, "Zone,Z;").__reduce__()[2]),
}


@pytest.mark.parametrize("edit", MEMO_EDITS, ids=list(MEMO_EDITS))
def test_every_change_drops_what_was_derived_from_the_model(load, edit):
    import copy
    import gc
    import weakref

    model = load("Zone,A;Zone,B;People,P,A,S;")
    memo = model._memo()
    memo["derived"] = tuple(model["Zone"])  # holds the model's own objects: a cycle the collector breaks
    model.get_object_by_name("Zone", "B")
    model.format()
    assert model._memo() is memo and "derived" in memo  # reading keeps it
    assert copy.copy(model)._memo() == {}
    MEMO_EDITS[edit](model)
    assert "derived" not in model._memo()
    model._memo()["again"] = model
    gone = weakref.ref(model)
    del model, memo
    gc.collect()
    assert gone() is None
