"""Collection queries: objects of a class, objects by name, the classes present."""

import pytest

from quarvel.idf import IDF, IDFObjectTuple

from .conftest import check_invariants

TEXT = "Zone,West;Zone,East;zone,North;People,P1,West,S;ClassA,a;"


class StrSub(str):
    pass


def test_objects_of_a_class(load):
    model = load(TEXT)
    zones = model["Zone"]
    assert type(zones) is IDFObjectTuple
    assert [z["Name"] for z in zones] == ["West", "East", "North"]
    assert model["zone"] == model["ZONE"] == model.get_objects("Zone") == model.get_objects(class_name="zOnE")
    assert model["Nope"] == () and type(model["Nope"]) is IDFObjectTuple
    assert model["Building"] == ()


def test_results_are_snapshots_of_live_objects(load):
    model = load(TEXT)
    zones = model["Zone"]
    model.add_object("Zone", ["South"])
    model.remove_object(zones[0])
    assert len(zones) == 3
    assert [z["Name"] for z in model["Zone"]] == ["East", "North", "South"]
    model["Zone"][0]["Name"] = "Eastern"
    assert zones[1]["Name"] == "Eastern"


def test_argument_errors(load):
    model = load(TEXT)
    with pytest.raises(TypeError) as info:
        model[1]
    assert str(info.value) == "Argument 'class_name' has incorrect type (expected str, got int)"
    with pytest.raises(TypeError, match=r"expected str, got StrSub"):
        model.get_objects(StrSub("Zone"))
    with pytest.raises(AttributeError) as info:
        model[None]
    assert str(info.value) == "'NoneType' object has no attribute 'encode'"
    with pytest.raises(TypeError, match=r"get_objects\(\) takes exactly 1 positional argument \(0 given\)"):
        model.get_objects()
    with pytest.raises(TypeError, match=r"get_object_by_name\(\) takes exactly 2 positional arguments \(1 given\)"):
        model.get_object_by_name("Zone")
    with pytest.raises(TypeError, match=r"get_class_names\(\) takes exactly 0 positional arguments \(1 given\)"):
        model.get_class_names(1)
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        model.get_class_names(x=1)


def test_model_is_a_container_of_its_objects(load):
    model = load(TEXT)
    objects = list(model)
    assert len(model) == len(objects) == sum(len(model[name]) for name in model.get_class_names())
    assert [o.class_name for o in objects[:2]] == ["Zone", "Zone"]  # file order
    assert "zone" in model and "Lights" not in model and 3 not in model
    assert objects[0] in model
    model.remove_object(objects[0])
    assert objects[0] not in model and len(model) == len(objects) - 1
    empty = load("")
    assert len(empty) == 0 and list(empty) == [] and bool(empty)


def test_subclass_get_objects_is_used_by_subscript(idd):
    class Logged(IDF):
        def get_objects(self, class_name):
            return ("logged", class_name)

    model = Logged.from_string(idd, TEXT)
    assert model["Zone"] == ("logged", "Zone")


@pytest.mark.parametrize(
    ("name", "message"),
    [
        ("append", "This is a read-only tuple. To add new objects, use the idf.add_object() method."),
        ("extend", "This is a read-only tuple. To add new objects, use the idf.add_object() method."),
        ("insert", "This is a read-only tuple. To add new objects, use the idf.add_object() method."),
        ("remove", "This is a read-only tuple. To remove objects, use the idf.remove_object() or "
                   "idf.remove_all_objects() methods."),
        ("pop", "This is a read-only tuple. To remove objects, use the idf.remove_object() or "
                "idf.remove_all_objects() methods."),
        ("clear", "This is a read-only tuple. To remove objects, use the idf.remove_object() or "
                  "idf.remove_all_objects() methods."),
        ("sort", "'IDFObjectTuple' object has no attribute 'sort'"),
        ("foo", "'IDFObjectTuple' object has no attribute 'foo'"),
    ],
)
def test_read_only_tuple_messages(load, name, message):
    zones = load(TEXT)["Zone"]
    with pytest.raises(AttributeError) as info:
        getattr(zones, name)
    assert str(info.value) == message


def test_read_only_tuple_is_a_tuple(load):
    zones = load(TEXT)["Zone"]
    assert isinstance(zones, tuple)
    assert zones.count(zones[0]) == 1 and zones.index(zones[1]) == 1
    assert len(zones[1:]) == 2
    assert IDFObjectTuple.__doc__ == "tuple of IDFObjects with custom error messages"
    assert not hasattr(zones, "append")


def test_get_object_by_name(load):
    model = load("Zone,Big Office;Zone,Store;People,P,Store,S;Zone,big office;")
    model["Zone"][1]["Name"] = "Store 2"
    first = model["Zone"][0]
    assert model.get_object_by_name("zone", "big office") is first
    assert model.get_object_by_name("ZONE", "BIG OFFICE") is first
    assert model.get_object_by_name("Zone", "Store") is None  # whole names only
    assert model.get_object_by_name("Zone", "store 2") is model["Zone"][1]
    assert model.get_object_by_name("People", "Store") is None  # only the first field counts
    assert model.get_object_by_name("Lights", "P") is None
    assert model.get_object_by_name("Nope", "P") is None


def test_get_object_by_name_follows_edits(load):
    model = load("Zone,A;Zone,B;Zone,A;")
    a1, b, a2 = model["Zone"]
    assert model.get_object_by_name("Zone", "a") is a1
    a1["Name"] = "C"
    assert model.get_object_by_name("Zone", "A") is a2
    assert model.get_object_by_name("Zone", "c") is a1
    model.remove_object(a2)
    assert model.get_object_by_name("Zone", "A") is None
    new = model.add_object("Zone", ["A"])
    assert model.get_object_by_name("Zone", "A") is new
    a1.update({"Name": "A"})
    assert model.get_object_by_name("Zone", "A") is a1  # the earlier object comes first
    model.remove_all_objects("Zone")
    assert model.get_object_by_name("Zone", "A") is None
    check_invariants(model)


@pytest.mark.parametrize("edit", ["add", "rename", "remove", "remove_all", "none"])
def test_lookups_in_one_class_miss_no_edit_of_another(load, edit):
    # Each class joins the lookup table on its first lookup: edits made to a class before
    # that, and after another class joined, must show in its first lookup.
    model = load("Zone,A;Zone,B;Schedule:Constant,S1;Schedule:Constant,a;Zone,a;")
    zone_a = model["Zone"][0]
    assert model.get_object_by_name("Zone", "a") is zone_a
    schedules = model["Schedule:Constant"]
    if edit == "add":
        added = model.add_object("Schedule:Constant", ["A"])
        model.add_object("Zone", ["A"])
        expected = [schedules[1], added]
    elif edit == "rename":
        schedules[0]["Name"] = "A"
        zone_a["Name"] = "Z"
        expected = [schedules[0], schedules[1]]
    elif edit == "remove":
        model.remove_object(schedules[1])
        expected = [None]
    elif edit == "remove_all":
        model.remove_all_objects("Schedule:Constant")
        expected = [None]
    else:
        expected = [schedules[1]]
    assert model.get_object_by_name("SCHEDULE:CONSTANT", "A") is expected[0]
    if len(expected) > 1:
        model.remove_object(expected[0])
        assert model.get_object_by_name("Schedule:Constant", "a") is expected[1]
    first_a = next((z for z in model["Zone"] if str(z[0]).upper() == "A"), None)
    assert model.get_object_by_name("zone", "A") is first_a
    check_invariants(model)


def test_get_object_by_name_with_an_empty_name(load):
    model = load("Sample:Object,,x;Sample:Object,a;")
    assert model.get_object_by_name("Sample:Object", "") is model["Sample:Object"][0]
    assert load("Lead Input;").get_object_by_name("Lead Input", "") is None


def test_get_object_by_name_argument_errors(load):
    model = load(TEXT)
    with pytest.raises(TypeError, match="Argument 'obj_name' has incorrect type"):
        model.get_object_by_name("Zone", 1)
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'encode'"):
        model.get_object_by_name("Zone", None)
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'encode'"):
        model.get_object_by_name(None, "West")


def test_get_class_names(load):
    model = load(TEXT)
    assert sorted(model.get_class_names()) == ["ClassA", "People", "Zone"]
    model.remove_object(model["ClassA"][0])
    assert sorted(model.get_class_names()) == ["People", "Zone"]
    model.remove_all_objects("zone")
    assert model.get_class_names() == ["People"]
    assert load("").get_class_names() == []


def test_a_summary_and_html_for_notebooks(load):
    model = load("Version,9.1;" + TEXT)
    assert model.summary().splitlines() == ["IDF model: 6 objects in 4 classes, version 9.1", "  Version  1",
                                            "  Zone     3", "  People   1", "  ClassA   1"]
    assert "<td>Zone</td><td style='text-align:right'>3</td>" in model._repr_html_()
    zone = model["Zone"][0]
    zone["Name"] = "<West & Co>"
    assert "<td>Name</td><td>&lt;West &amp; Co&gt;</td>" in zone._repr_html_()
    assert model["Zone"]._repr_html_().startswith("<table><caption>3 objects</caption>")
    assert len(zone) == len(zone.get_values()) == 1 and bool(model.add_object("Lead Input")) and len(load("")) == 0


@pytest.mark.parametrize("mode", ["rb", "r"])
def test_models_and_schemas_read_from_open_files(idd, mode):
    from quarvel.idd import IDD

    from .conftest import DATA

    with open(DATA / "office.idf", mode) as stream:
        model = IDF.from_file(idd, stream)
    with open(DATA / "test.idd", mode) as stream:
        schema = IDD.from_file(stream)
    assert model.format() == IDF.from_file(idd, DATA / "office.idf").format()
    assert schema.class_names() == idd.class_names()
