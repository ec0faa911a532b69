"""Module functions of the older vocabulary: zone measures, opening a model with the
schema of its version, and the parametric update by dotted keys."""

from __future__ import annotations

import os
from typing import Any

from quarvel._vocabulary import _native
from quarvel._vocabulary._native import core_of

__all__ = ["easyopen", "updateidf", "zonearea", "zoneheight", "zonevolume"]


def _core_model(model: Any) -> Any:
    return core_of(model) if isinstance(model, _native.olvane.IDF) else model


def _zone(model: Any, zonename: str) -> tuple[Any, Any]:
    from quarvel.geometry import measure

    core = _core_model(model)
    measures = measure(core)
    zone = measures.zones.get(str(zonename).upper())
    if zone is None:
        raise KeyError(f"the model has no zone '{zonename}'")
    return measures, zone


def zonearea(model: Any, zonename: str) -> float:
    """The floor area of a zone (m2): the sum of its floors' areas, as one zone (its
    multiplier not applied)."""
    return _zone(model, zonename)[1].measured_floor_area


def _height(measures: Any, zone: Any) -> float:
    heights = [p[2] for m in measures.surfaces if (m.surface.zone or "").upper() == zone.name.upper()
               for p in m.surface.vertices]
    return max(heights) - min(heights) if heights else 0.0


def zoneheight(model: Any, zonename: str) -> float:
    """The height of a zone (m): from the lowest to the highest point of its surfaces."""
    return _height(*_zone(model, zonename))


def zonevolume(model: Any, zonename: str) -> float:
    """The volume of a zone (m3): what its surfaces enclose, or its floor area times its
    height when they do not close."""
    measures, zone = _zone(model, zonename)
    if zone.measured_volume is not None:
        return zone.measured_volume
    return zone.measured_floor_area * _height(measures, zone)


def easyopen(idfname: Any, idd: Any = None) -> Any:
    """Open a model without naming its schema first: the schema is `idd` when given,
    else the one already set when its version is the model's, else the registered
    schema of the model's Version (quarvel.idd.register, QUARVEL_IDD_PATH)."""
    import io

    from quarvel._registry import major_minor, schema_path_for
    from quarvel._sniff import model_version
    from quarvel.opening import _read

    facade = _native.olvane.IDF
    if idd is not None:
        facade.setiddname(idd)
        return facade(idfname)
    data, _ = _read(idfname)
    version = model_version(data)
    current = _native.olvane.shared_idd
    if current is None or (version and major_minor(current.version or "") != major_minor(version)):
        facade.setiddname(schema_path_for(version))
    return facade(idfname if isinstance(idfname, (str, bytes, os.PathLike)) else io.BytesIO(data))


def _split_key(key: str) -> tuple[str, str, str]:
    """"idf.CLASS.NAME.FIELD" into its parts; the object name may hold dots."""
    parts = str(key).split(".")
    if len(parts) < 4 or parts[0].lower() != "idf":
        raise KeyError(f"{key!r} is not of the form 'idf.CLASS.NAME.FIELD'")
    return parts[1], ".".join(parts[2:-1]), parts[-1]


def updateidf(model: Any, changes: dict[str, Any]) -> None:
    """Apply a parametric update: each key "idf.CLASS.NAME.FIELD" sets FIELD (either
    spelling) of the object NAME of CLASS to the value. An empty NAME means the class's
    first object; a NAME that no object of the class has makes a new object of that name.
    All or nothing: every key and value is checked on copies before the model changes,
    so when one is refused the model is left exactly as it was."""
    import copy

    core = _core_model(model)
    plan: list[tuple[tuple[str, str], Any, int, Any]] = []
    trial: dict[tuple[str, str], Any] = {}
    for key, value in changes.items():
        class_name, name, field = _split_key(key)
        target = _existing(core, class_name, name)
        where = (class_name.upper(), name.upper())
        if where not in trial:
            trial[where] = copy.copy(target) if target is not None else _detached(core, class_name, name)
        scratch = trial[where]
        resolved = _native.olvane._resolve_field_key_to_field_name(scratch.class_name, field)
        index = scratch.idd.field_index(scratch.class_name, resolved)
        scratch[index] = value
        plan.append((where, target, index, value))
    made: dict[tuple[str, str], Any] = {}
    for where, target, index, value in plan:
        if target is None:
            if where not in made:
                made[where] = core.add_object(trial[where].class_name, initial_values=_name_only(trial[where]))
            target = made[where]
        target[index] = value


def _existing(core: Any, class_name: str, name: str) -> Any:
    """The object a key names, or None when it is to be made."""
    if not name:
        objects = core.objects_of(class_name)  # an unknown class says so, with its suggestions
        return objects[0] if objects else None
    found = core.get_object_by_name(class_name, name)
    if found is None:
        core.objects_of(class_name)
    return found


def _detached(core: Any, class_name: str, name: str) -> Any:
    from quarvel.idf import IDFObject

    canonical = core.idd.class_info(class_name)["name"]
    scratch = IDFObject(core.idd, canonical)
    if name:
        scratch[0] = name
    return scratch


def _name_only(scratch: Any) -> dict[int, Any]:
    return {0: scratch[0]} if len(scratch) and scratch[0] else {}
