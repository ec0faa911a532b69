"""Reference queries, forward and backward, answered from the reference index."""

import pytest

from quarvel.idd import UnknownFieldError
from quarvel.idf import IDFObjectTuple

TEXT = """
Zone, Office;
Zone, Store;
ZoneList, All, office, STORE;
People, P1, OFFICE, Sched;
People, P2, All, Sched;
Lights, L1, Office, Sched;
Sizing:Zone, office;
Schedule:Constant, Sched, Fraction;
ScheduleTypeLimits, Fraction;
BuildingSurface:Detailed, W1, Wall, Ext, Office;
NodeList, Loop, n1;
"""


@pytest.fixture
def model(load):
    return load(TEXT)


def test_forward(model):
    office = model["Zone"][0]
    p1 = model["People"][0]
    assert p1.get_referenced_object("Zone or ZoneList Name") is office  # letter case differs
    assert p1.get_referenced_object(1) is office
    assert p1.get_referenced_object(key="zone or zonelist name") is office
    assert model["People"][1].get_referenced_object(1) is model["ZoneList"][0]
    schedule = p1.get_referenced_object("Number of People Schedule Name")
    assert schedule.class_name == "Schedule:Constant"
    assert schedule.get_referenced_object(1).class_name == "ScheduleTypeLimits"


def test_backward(model):
    office = model["Zone"][0]
    refs = office.get_referencing_objects("Name")
    assert type(refs) is IDFObjectTuple
    # from ZoneNames: ZoneList field, surface; from ZoneAndZoneListNames: People, Lights, Sizing
    classes = sorted(o.class_name for o in refs)
    assert classes == ["BuildingSurface:Detailed", "Lights", "People", "Sizing:Zone", "ZoneList"]
    assert model["Zone"][1].get_referencing_objects(0) == (model["ZoneList"][0],)


def test_an_object_listed_once_per_matching_field(load):
    model = load("Zone,Z;ZoneList,L,Z,z,Other;")
    assert model["Zone"][0].get_referencing_objects("Name") == (model["ZoneList"][0],) * 2


def test_self_reference(model):
    loop = model["NodeList"][0]
    assert loop.get_referenced_object("Name") is loop
    assert loop.get_referencing_objects("Name") == (loop,)


def test_nothing_to_follow(model, idd):
    from quarvel.idf import IDFObject

    p1 = model["People"][0]
    assert p1.get_referenced_object("Name") is None  # a field without object lists
    assert p1.get_referencing_objects("Zone or ZoneList Name") == ()  # without reference lists
    assert p1.get_referenced_object("Activity Level Schedule Name") is None  # beyond the stored values
    lights = model["Lights"][0]
    lights["Zone or ZoneList Name"] = ""
    assert lights.get_referenced_object(1) is None
    standalone = IDFObject(idd, "People")
    standalone[1] = "Office"
    assert standalone.get_referenced_object(1) is None
    assert standalone.get_referencing_objects(0) == ()


def test_removed_objects(model):
    office = model["Zone"][0]
    p1 = model["People"][0]
    model.remove_object(office)
    assert p1.get_referenced_object(1) is None
    assert p1[1] == "OFFICE"  # the referring text stays
    assert office.get_referencing_objects("Name") == ()  # detached
    assert office.get_referenced_object(0) is None
    new = model.add_object("Zone", {"Name": "Office"})
    assert p1.get_referenced_object(1) is new
    model.remove_object(p1)
    assert p1 not in new.get_referencing_objects("Name")


def test_first_declaration_wins(load):
    model = load("Zone,Z;ZoneList,Z;People,P,Z,S;")
    # ZoneAndZoneListNames is declared by the zone (first) and by the zone list
    assert model["People"][0].get_referenced_object(1) is model["Zone"][0]
    model.remove_object(model["Zone"][0])
    assert model["People"][0].get_referenced_object(1) is model["ZoneList"][0]


def test_argument_errors(model):
    p1 = model["People"][0]
    with pytest.raises(UnknownFieldError):
        p1.get_referenced_object("Nope")
    with pytest.raises(IndexError):
        p1.get_referencing_objects(99)
    with pytest.raises(TypeError, match=r"get_referenced_object\(\) takes exactly 1 positional argument \(0 given\)"):
        p1.get_referenced_object()
    with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(2 given\)"):
        p1.get_referencing_objects(0, 1)


def test_docstrings():
    from quarvel.idf import IDFObject

    assert IDFObject.get_referenced_object.__doc__.startswith("Return objects referenced by this object.")
    assert "key (int | str): field index or field name (case-insensitive)" in IDFObject.get_referencing_objects.__doc__


@pytest.mark.parametrize("count", [5, 300])  # short lists are searched, long ones use a position table
def test_withdrawals_keep_the_documented_order(load, count):
    """Each withdrawal moves the last location into the freed place, however long the list."""
    model = load("Zone, Z;\n" + "".join(f"People, P{i}, Z, Sched;\n" for i in range(count)))
    zone = model["Zone"][0]
    expected = list(model["People"])
    pick = 7
    for step in range(count * 2 // 3):
        pick = (pick * 31 + step) % len(expected)
        victim = expected[pick]
        if step % 3 == 0:
            model.remove_object(victim)
        else:
            victim[1] = "Elsewhere"  # re-pointing withdraws the location too
        expected[pick] = expected[-1]
        expected.pop()
        assert zone.get_referencing_objects("Name") == tuple(expected), step
    added = model.add_object("People", ["Late", "Z", "Sched"])
    assert zone.get_referencing_objects("Name") == (*expected, added)
