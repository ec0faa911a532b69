"""Pickling and copying schemas, models and objects."""

import copy
import hashlib
import multiprocessing
import pickle
from concurrent.futures import ProcessPoolExecutor

import pytest

from quarvel import idd as iddmod
from quarvel import idf as idfmod
from quarvel.idf import IDF, IDFObject

from .conftest import DATA, check_invariants, model_state, object_state

MODEL_SUM, OBJECT_SUM = 0xF3AC116, 0x562C8F1


def checksums(members: str):
    return [int(getattr(hashlib, h)(members.encode()).hexdigest()[:7], 16) for h in ("sha256", "sha1", "md5")]


def test_checksums_are_those_of_the_member_lists():
    assert checksums("idd objects objects_index_map referencers targets") == [MODEL_SUM, 0x53E964F, 0xE152989]
    assert checksums("c_class_name class_idx class_name idd obj_idx parent_idf values") == [
        OBJECT_SUM, 0xAFDE926, 0xD91AABF]


@pytest.fixture
def office(idd):
    return IDF.from_file(idd, DATA / "office.idf")


def answers(model):
    """Reference answers of every field of every object, as comparable text."""
    out = []
    for obj in model_state(model)["objects"]:
        if obj is None:
            continue
        for i in range(len(obj.get_values())):
            target = obj.get_referenced_object(i)
            out.append((repr(obj), i, repr(target), [repr(o) for o in obj.get_referencing_objects(i)]))
    return out


def test_model_round_trip(office):
    office["Zone"][0]["Name"] = "Renamed"
    office.remove_object(office["Lights"][0])
    office.add_object("Lights", ["L2", "All Zones", "Office Occupancy"])
    restored = pickle.loads(pickle.dumps(office))
    assert restored.format() == office.format()
    assert answers(restored) == answers(office)
    assert model_state(restored)["classes"] == model_state(office)["classes"]
    check_invariants(restored)
    for obj in model_state(restored)["objects"]:
        assert obj is None or obj.__reduce__()[2][5] is restored


def test_reduce_forms(office):
    fn, args, state = office.__reduce__()
    assert fn is idfmod.unpickle_IDF
    assert args == (IDF, MODEL_SUM, None)
    assert len(state) == 7 and isinstance(state[1], list)
    # beyond the five members: no instance dictionary, then what earlier readers ignore
    assert state[5] is None and set(state[6]) == {"lines"}
    # an object of a model pickles in the direct form: its model comes first
    obj = office["Zone"][0]
    fn, (cls, checksum, state) = obj.__reduce__()
    assert fn is idfmod.unpickle_IDFObject and (cls, checksum) == (IDFObject, OBJECT_SUM)
    assert state[:6] == (b"Zone", state[1], "Zone", office.__reduce__()[2][0], state[4], office)
    assert state[6][0] == b"West Zone"
    # a standalone one in the set-state form
    detached = copy.copy(obj)
    assert detached.__reduce__()[1] == (IDFObject, OBJECT_SUM, None)


def test_single_object_brings_its_model(office):
    people = office["People"][0]
    restored = pickle.loads(pickle.dumps(people))
    model = object_state(restored)["parent_idf"]
    assert isinstance(model, IDF)
    assert restored in model["People"]
    assert restored.get_referenced_object(1)["Name"] == "West Zone"
    check_invariants(model)


def test_bare_instances_use_the_direct_form():
    bare = IDF.__new__(IDF)
    fn, args = bare.__reduce__()
    assert args == (IDF, MODEL_SUM, (None, None, {}, {}, {}))
    again = pickle.loads(pickle.dumps(bare))
    assert again.__reduce__() == (fn, args)
    obj = IDFObject.__new__(IDFObject)
    assert obj.__reduce__()[1] == (IDFObject, OBJECT_SUM, (b"", 0, None, None, 0, None, []))
    assert pickle.loads(pickle.dumps(obj)).__reduce__() == obj.__reduce__()


class Tagged(IDF):
    pass


class TaggedObject(IDFObject):
    pass


def test_subclasses_keep_instance_attributes(idd):
    model = Tagged.from_string(idd, "Zone,Z;")
    model.note = {"run": 7}
    restored = pickle.loads(pickle.dumps(model))
    assert type(restored) is Tagged and restored.note == {"run": 7}
    assert model.__reduce__()[2][5] == {"note": {"run": 7}}  # then the lines, which earlier readers ignore
    obj = TaggedObject(idd, "Zone")
    obj.label = "mine"
    back = pickle.loads(pickle.dumps(obj))
    assert type(back) is TaggedObject and back.label == "mine" and back.class_name == "Zone"
    plain = Tagged.from_string(idd, "")
    assert len(plain.__reduce__()[2]) == 5  # an empty instance dictionary is left out


def test_copies(office):
    shallow = copy.copy(office)
    assert shallow.format() == office.format()
    deep = copy.deepcopy(office)
    deep["Zone"][0]["Name"] = "Elsewhere"
    deep.remove_all_objects("People")
    assert office["Zone"][0]["Name"] == "West Zone" and len(office["People"]) == 1
    check_invariants(deep)
    check_invariants(office)
    assert model_state(deep)["idd"] is model_state(office)["idd"]  # schemas are shared, not copied
    obj = copy.deepcopy(office["Zone"][0])
    assert obj.get_values() == office["Zone"][0].get_values() and obj is not office["Zone"][0]


@pytest.mark.parametrize(
    ("fn", "accepted"),
    [(idfmod.unpickle_IDF, [MODEL_SUM, 0x53E964F, 0xE152989]),
     (idfmod.unpickle_IDFObject, [OBJECT_SUM, 0xAFDE926, 0xD91AABF])],
)
def test_checksums_accepted_and_refused(fn, accepted):
    cls = IDF if fn is idfmod.unpickle_IDF else IDFObject
    for value in accepted:
        assert type(fn(cls, value, None)) is cls
    with pytest.raises(pickle.PickleError) as info:
        fn(cls, 0x123, None)
    members = ("idd, objects, objects_index_map, referencers, targets" if cls is IDF else
               "c_class_name, class_idx, class_name, idd, obj_idx, parent_idf, values")
    assert str(info.value) == (f"Incompatible checksums (0x123 vs ({hex(accepted[0])}, {hex(accepted[1])}, "
                               f"{hex(accepted[2])}) = ({members}))")


def test_reconstructor_arguments():
    with pytest.raises(TypeError, match=r"unpickle_IDF\(\) takes exactly 3 positional arguments \(2 given\)"):
        idfmod.unpickle_IDF(IDF, MODEL_SUM)
    with pytest.raises(TypeError) as info:
        idfmod.unpickle_IDF(IDF, MODEL_SUM, [])
    assert str(info.value) == "Argument 'state' has incorrect type (expected tuple, got list)"
    with pytest.raises(TypeError):
        idfmod.unpickle_IDF(IDFObject, MODEL_SUM, None)


def model_state_tuple(office):
    return office.__reduce__()[2]


@pytest.mark.parametrize(
    ("change", "error", "message"),
    [
        (lambda s: s[:3], ValueError, "IDF state needs 5 members"),
        (lambda s: ("idd",) + s[1:], TypeError, "Cannot convert str to quarvel.idd.IDD"),
        (lambda s: s[:1] + ((),) + s[2:], TypeError, "Expected list, got tuple"),
        (lambda s: s[:2] + (None,) + s[3:], AttributeError, "'NoneType' object has no attribute 'items'"),
        (lambda s: s[:2] + ({"ZONE": [0]},) + s[3:], TypeError, "expected bytes, str found"),
        (lambda s: s[:2] + ({b"ZONE": [-1]},) + s[3:], OverflowError, "can't convert negative value to size_t"),
        (lambda s: s[:3] + ({b"L": {b"V": [(0,)]}},) + s[4:], ValueError, "pair"),
        (lambda s: s[:4] + ({b"L": {b"V": [(0, 2**40)]}},), OverflowError, "value too large to convert to int"),
    ],
)
def test_bad_model_states(office, change, error, message):
    state = change(model_state_tuple(office))
    fresh = IDF.__new__(IDF)
    with pytest.raises(error, match=message):
        fresh.__setstate__(state)
    with pytest.raises(error, match=message):
        idfmod.unpickle_IDF(IDF, MODEL_SUM, state)


def test_mappings_other_than_dict(office):
    class Items:
        def __init__(self, d):
            self.d = d

        def items(self):
            return self.d.items()

    state = list(model_state_tuple(office))
    state[2] = Items(state[2])
    fresh = IDF.__new__(IDF)
    fresh.__setstate__(tuple(state))
    assert model_state(fresh)["classes"] == model_state(office)["classes"]


@pytest.mark.parametrize(
    ("index", "value", "error", "message"),
    [
        (0, "Zone", TypeError, "expected bytes, str found"),
        (1, -1, OverflowError, "can't convert negative value to size_t"),
        (1, 10**6, ValueError, "Class index out of bounds: 1000000"),
        (2, b"Zone", TypeError, "Expected str, got bytes"),
        (3, 1, TypeError, "Cannot convert int to quarvel.idd.IDD"),
        (5, "model", TypeError, "Cannot convert str to quarvel.idf.IDF"),
        (6, ["x"], TypeError, "expected bytes, str found"),
        (6, 3, TypeError, "not iterable"),
    ],
)
def test_bad_object_states(office, index, value, error, message):
    state = list(object_state(office["Zone"][0]).values())
    state[index] = value
    with pytest.raises(error, match=message):
        IDFObject.__new__(IDFObject).__setstate__(tuple(state))


def test_setstate_arguments(office):
    obj = IDFObject.__new__(IDFObject)
    with pytest.raises(TypeError, match=r"Expected tuple, got list"):
        obj.__setstate__([])
    with pytest.raises(TypeError, match=r"__setstate__\(\) takes exactly 1 positional argument \(0 given\)"):
        obj.__setstate__()
    with pytest.raises(ValueError, match="IDFObject state needs 7 members"):
        obj.__setstate__(())
    with pytest.raises(AttributeError):
        obj.__setstate__((b"", 0, None, None, 0, None, [], {"x": 1}))  # no instance dictionary


def test_schema_travels_once_and_is_reused(idd):
    models = [IDF.from_string(idd, f"Zone,Z{i};") for i in range(5)]
    blobs = [pickle.dumps(m) for m in models]
    iddmod.clear_schema_cache()
    restored = [pickle.loads(b) for b in blobs]
    schemas = {id(model_state(m)["idd"]) for m in restored}
    assert len(schemas) == 1
    assert [m["Zone"][0]["Name"] for m in restored] == [f"Z{i}" for i in range(5)]


def edit_in_worker(model):
    model["Zone"][0]["Name"] = "Edited Elsewhere"
    model.add_object("Zone", ["Added Elsewhere"])
    return model


def test_models_travel_to_worker_processes(office):
    with ProcessPoolExecutor(max_workers=1, mp_context=multiprocessing.get_context("spawn")) as pool:
        back = pool.submit(edit_in_worker, office).result(timeout=120)
    assert [z["Name"] for z in back["Zone"]] == ["Edited Elsewhere", "EAST ZONE", "Added Elsewhere"]
    assert back["People"][0].get_referenced_object(1) is None  # the zone it named was renamed
    check_invariants(back)
    assert office["Zone"][0]["Name"] == "West Zone"
