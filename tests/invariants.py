"""The model invariant checker: the class and reference indexes recomputed from the
objects and compared with the model's own (read through its pickle state). Plain Python,
so that the fuzzers and the fault-injection sweep use it too."""

from __future__ import annotations

from collections import Counter

from quarvel.idf import IDF, IDFObject


def model_state(model: IDF) -> dict:
    """The model's members, read through its pickle state."""
    state = model.__reduce__()[2]
    idd, objects, classes, referencers, targets = state[:5]
    return {"idd": idd, "objects": objects, "classes": classes, "referencers": referencers, "targets": targets}


def object_state(obj: IDFObject) -> dict:
    reduced = obj.__reduce__()
    state = reduced[2] if len(reduced) > 2 else reduced[1][2]
    names = ("c_class_name", "class_idx", "class_name", "idd", "obj_idx", "parent_idf", "values")
    return dict(zip(names, state))


def expected_indexes(model: IDF) -> tuple[dict, dict, dict]:
    """The class and reference indexes recomputed from the objects themselves."""
    state = model_state(model)
    idd = state["idd"]
    classes: dict[bytes, list[int]] = {}
    targets: dict[bytes, dict[bytes, Counter]] = {}
    referencers: dict[bytes, dict[bytes, Counter]] = {}
    for pos, obj in enumerate(state["objects"]):
        if obj is None:
            continue
        s = object_state(obj)
        classes.setdefault(s["c_class_name"].upper(), []).append(pos)
        for i, value in enumerate(s["values"]):
            if not value:
                continue
            try:
                info = idd.field_info(s["class_name"], i)
            except IndexError:
                continue  # a value beyond the class's fields has no definition and no references
            upper = value.upper()  # ASCII-only folding, like the library
            for name in info["references"]:
                targets.setdefault(name.encode(), {}).setdefault(upper, Counter())[(pos, i)] += 1
            for name in info["object_lists"]:
                referencers.setdefault(name.encode(), {}).setdefault(upper, Counter())[(pos, i)] += 1
    return classes, targets, referencers


def as_counters(index: dict) -> dict:
    return {tag: {value: Counter(locs) for value, locs in values.items()} for tag, values in index.items()}


def check_invariants(model: IDF) -> None:
    """Every live object sits at its own position, and both indexes match the objects."""
    state = model_state(model)
    live = list(model)
    assert [object_state(obj)["obj_idx"] for obj in live] == [pos for pos, o in enumerate(state["objects"]) if o]
    assert all(object_state(obj)["parent_idf"] is model and obj in model for obj in live)
    classes, targets, referencers = expected_indexes(model)
    actual_classes = {k: v for k, v in state["classes"].items() if v}
    assert actual_classes == classes
    for tag, values in list(state["targets"].items()) + list(state["referencers"].items()):
        assert values, f"empty value map left under {tag!r}"
        for value, locs in values.items():
            assert locs, f"empty location list left under {tag!r}/{value!r}"
    assert as_counters(state["targets"]) == targets
    assert as_counters(state["referencers"]) == referencers
