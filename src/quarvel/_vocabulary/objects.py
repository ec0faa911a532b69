"""Members of the object wrapper ``IDFObject`` in the older vocabulary: fields by name
and position, the schema's record of a field, references, and a surface's measures.

Positions count as the vocabulary's ``obj`` list does: 0 is the class name, 1 the
first field. Field names may be given as the schema spells them ("Zone Name") or as
attributes spell them ("Zone_Name").
"""

from __future__ import annotations

import math
from typing import Any

from quarvel._vocabulary import _native
from quarvel._vocabulary._native import core_of, wrap


class RangeError(ValueError):
    """A field value outside the limits that the schema sets for it."""


def _field_name(self: Any, field: str) -> str:
    """The schema's name of a field given by either spelling."""
    obj = core_of(self)
    if not isinstance(field, str):
        raise TypeError(f"a field is named by a str, not {type(field).__name__}")
    resolved = _native.olvane._resolve_field_key_to_field_name(obj.class_name, field)
    return obj.idd.field_name(obj.class_name, resolved, False)


def _attribute_spelling(field_name: str) -> str:
    return field_name.replace(" ", "_").replace("-", "").replace("/", "").replace("*", "")


def _position(self: Any, index: int) -> int:
    """The core's field index of a position of obj (0 being the class name)."""
    length = len(core_of(self)) + 1
    if index < 0:
        index += length
    if not 0 <= index < length:
        raise IndexError(f"position {index} is outside the object's {length} (its class name and fields)")
    return index - 1


def __getitem__(self: Any, key: int | str) -> Any:
    """obj["Field Name"] (either spelling) or obj[position] (0 is the class name)."""
    obj = core_of(self)
    if isinstance(key, int):
        position = _position(self, key)
        return obj.class_name if position < 0 else obj[position]
    return obj[_field_name(self, key)]


def __setitem__(self: Any, key: int | str, value: Any) -> None:
    """Set a field by name or position; the class name (position 0) cannot be set."""
    obj = core_of(self)
    if isinstance(key, int):
        position = _position(self, key)
        if position < 0:
            raise TypeError("position 0 is the class name, which cannot be changed")
        obj[position] = value
        return
    obj[_field_name(self, key)] = value


def _key(self: Any) -> str:
    """The class name, as the schema spells it."""
    return core_of(self).class_name


def _obj(self: Any) -> list[Any]:
    """The class name, then the values the object holds."""
    obj = core_of(self)
    return [obj.class_name, *obj.get_values()]


def _span(obj: Any) -> int:
    return max(len(obj), len(obj.idd.class_info(obj.class_name)["fields"]))


def _fieldnames(self: Any) -> list[str]:
    """"key", then the attribute names of the class's fields: every field the schema
    lists and any further ones the object holds."""
    obj = core_of(self)
    idd = obj.idd
    return ["key", *(_attribute_spelling(idd.field_name(obj.class_name, i, False)) for i in range(_span(obj)))]


def _fieldvalues(self: Any) -> list[Any]:
    """The class name, then the value of each field that fieldnames lists (a field the
    object does not hold reads as the core reads it: its default, or empty)."""
    obj = core_of(self)
    return [obj.class_name, *(obj[i] for i in range(_span(obj)))]


def _info(self: Any, field: str) -> dict[str, Any]:
    obj = core_of(self)
    return dict(obj.idd.field_info(obj.class_name, _field_name(self, field)))


def getfieldidd(self: Any, field: str) -> dict[str, Any]:
    """The schema's record of a field (quarvel.idd's field_info: name, type, units,
    default, limits, choices, references and object lists, ...)."""
    return _info(self, field)


# The schema's own words for a field's properties, and where field_info keeps them.
_IDD_WORDS = {
    "field": "name", "type": "type", "default": "default", "units": "units", "ip-units": "ip_units",
    "key": "choices", "object-list": "object_lists", "reference": "references",
    "reference-class-name": "reference_class_names", "external-list": "external_lists",
    "required-field": "required", "autosizable": "autosizable", "autocalculatable": "autocalculatable",
    "retaincase": "retaincase", "deprecated": "deprecated", "begin-extensible": "begin_extensible",
}


def getfieldidd_item(self: Any, field: str, iddkey: str) -> list[Any]:
    """One property of a field as a list, the schema's word for it naming it ("type",
    "default", "units", "minimum", "minimum>", "maximum", "maximum<", "key" for the
    choices, "object-list", "reference", "required-field", ...; field_info's own keys
    are taken too): ["alpha"], ["Autocalculate"], [0.0]; [] when the field has none."""
    info = _info(self, field)
    word = str(iddkey).lower()
    limits = {"minimum": ("minimum", False), "minimum>": ("minimum", True),
              "maximum": ("maximum", False), "maximum<": ("maximum", True)}
    if word in limits:
        name, exclusive = limits[word]
        value = info[name]
        return [value] if value is not None and info[f"{name}_exclusive"] == exclusive else []
    value = info.get(_IDD_WORDS.get(word, word))
    if isinstance(value, list):
        return list(value)
    return [] if value in (None, "", False) else [value]


def getrange(self: Any, field: str) -> dict[str, Any]:
    """The schema's limits of a field: {"maximum", "minimum"} (inclusive), {"maximum<",
    "minimum>"} (exclusive), each None when not set, and "type" ("real", "integer", ...)."""
    info = _info(self, field)
    return {
        "maximum": info["maximum"] if not info["maximum_exclusive"] else None,
        "minimum": info["minimum"] if not info["minimum_exclusive"] else None,
        "maximum<": info["maximum"] if info["maximum_exclusive"] else None,
        "minimum>": info["minimum"] if info["minimum_exclusive"] else None,
        "type": info["type"],
    }


def checkrange(self: Any, field: str) -> Any:
    """The field's value when it lies within the schema's limits; RangeError otherwise.
    Words the schema allows in a number field (autosize, autocalculate) and empty
    fields have no range and pass."""
    value = self[field]
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return value
    limits = getrange(self, field)
    broken = ((limits["minimum"] is not None and value < limits["minimum"], "below the minimum", limits["minimum"]),
              (limits["minimum>"] is not None and value <= limits["minimum>"], "not above", limits["minimum>"]),
              (limits["maximum"] is not None and value > limits["maximum"], "above the maximum", limits["maximum"]),
              (limits["maximum<"] is not None and value >= limits["maximum<"], "not below", limits["maximum<"]))
    for failed, words, limit in broken:
        if failed:
            obj = core_of(self)
            raise RangeError(f"{obj.class_name} '{obj[0]}', {_field_name(self, field)}: {value} is {words} {limit}")
    return value


def get_retaincase(self: Any, field: str) -> bool:
    """Whether the schema keeps the letter case of this field's value (\\retaincase)."""
    return bool(_info(self, field)["retaincase"])


def isequal(self: Any, field: str, value: Any, places: int = 7) -> bool:
    """Whether the field holds `value`: numbers equal when rounded to `places` decimals,
    text equal in any letter case (exactly, for a field that retains its case)."""
    current = self[field]
    number = _as_number(value)
    if isinstance(current, (int, float)) and not isinstance(current, bool) and number is not None:
        return round(abs(current - number), places) == 0
    if get_retaincase(self, field):
        return str(current if current is not None else "") == str(value)
    return str(current if current is not None else "").upper() == str(value).upper()


def _as_number(value: Any) -> float | None:
    if isinstance(value, bool):
        return None
    try:
        number = float(value)
    except (TypeError, ValueError):
        return None
    return number if math.isfinite(number) else None


def getreferingobjs(self: Any, iddgroups: Any = None, fields: Any = None) -> list[Any]:
    """The objects whose fields refer to this object's name; with `iddgroups` only those
    whose class is in one of these schema groups, with `fields` only those that refer
    to it in one of these fields (either spelling)."""
    obj = core_of(self)
    found = list(obj.get_referencing_objects(0))
    if iddgroups is not None:
        groups = {str(g).upper() for g in ([iddgroups] if isinstance(iddgroups, str) else iddgroups)}
        found = [o for o in found if o.idd.class_info(o.class_name)["group"].upper() in groups]
    if fields is not None:
        wanted = [fields] if isinstance(fields, str) else list(fields)
        name = str(obj[0]).upper()
        found = [o for o in found if any(_refers_in(o, f, name) for f in wanted)]
    return [wrap(o) for o in found]


def _refers_in(obj: Any, field: str, name: str) -> bool:
    resolved = _native.olvane._resolve_field_key_to_field_name(obj.class_name, field)
    try:
        return str(obj[resolved] or "").upper() == name
    except (KeyError, IndexError):
        return False


def get_referenced_object(self: Any, field: str) -> Any:
    """The object that a reference field names, or None."""
    found = core_of(self).get_referenced_object(_field_name(self, field))
    return None if found is None else wrap(found)


# ---- a surface's measures, in the building's coordinates ----


def _placed(self: Any) -> Any:
    """(surface, outward unit normal) of this object, or None when its class is no
    surface class."""
    from quarvel.geometry.surfaces import Rules, surface_of

    model = _native.olvane._model_of(self)
    if model is None:
        obj = core_of(self)  # a wrapper of nothing says so
        raise ValueError(f"{obj.class_name} '{obj[0]}' belongs to no model: its place is not known")
    surface = surface_of(model, core_of(self))
    if surface is None:
        return None
    if not surface.vertices:
        raise ValueError(f"{surface.class_name} '{surface.name}': {surface.problem}")
    return surface, Rules.of(model).outward(surface.vertices)


def _geometric(name: str, measure: Any, doc: str) -> property:
    """A surface measure; on an object that is no surface, the field of that name."""

    def read(self: Any) -> Any:
        placed = _placed(self)
        if placed is None:
            return self.__getattr__(name)
        return measure(*placed)

    read.__doc__ = doc
    return property(read)


def _area(surface: Any, normal: Any) -> float:
    from quarvel.geometry.vectors import length, newell

    return length(newell(surface.vertices)) / 2


def _extents(surface: Any, normal: Any) -> tuple[float, float]:
    """Width along the surface's horizontal in-plane axis (east for a horizontal
    surface) and height along the in-plane axis at right angles to it."""
    from quarvel.geometry.vectors import cross, dot, unit

    across = unit(cross((0.0, 0.0, 1.0), normal))
    if across == (0.0, 0.0, 0.0):
        across = (1.0, 0.0, 0.0)
    up = cross(normal, across)
    along = [dot(p, across) for p in surface.vertices]
    upward = [dot(p, up) for p in surface.vertices]
    return max(along) - min(along), max(upward) - min(upward)


def _azimuth(surface: Any, normal: Any) -> float:
    from quarvel.geometry.vectors import azimuth

    return azimuth(normal)


def _tilt(surface: Any, normal: Any) -> float:
    from quarvel.geometry.vectors import tilt

    return tilt(normal)


MEMBERS: dict[str, Any] = {
    "__getitem__": __getitem__,
    "__setitem__": __setitem__,
    "key": property(_key),
    "obj": property(_obj),
    "fieldnames": property(_fieldnames),
    "fieldvalues": property(_fieldvalues),
    "getfieldidd": getfieldidd,
    "getfieldidd_item": getfieldidd_item,
    "getrange": getrange,
    "checkrange": checkrange,
    "get_retaincase": get_retaincase,
    "isequal": isequal,
    "getreferingobjs": getreferingobjs,
    "get_referenced_object": get_referenced_object,
    "area": _geometric("area", _area, "The surface's area (m2), in the building's coordinates."),
    "width": _geometric("width", lambda s, n: _extents(s, n)[0],
                        "The surface's extent along its horizontal edge (east-west for a horizontal one), m."),
    "height": _geometric("height", lambda s, n: _extents(s, n)[1],
                         "The surface's extent at right angles to its width, in its plane (m): a wall's height."),
    "azimuth": _geometric("azimuth", _azimuth,
                          "The direction the surface faces in the building's coordinates (degrees from "
                          "the building's north, clockwise; North Axis not applied)."),
    "tilt": _geometric("tilt", _tilt, "The surface's tilt (degrees): 0 facing up, 90 vertical, 180 facing down."),
    "coords": _geometric("coords", lambda s, n: list(s.vertices),
                         "The vertices as (x, y, z) tuples in the building's coordinates (zone origins applied)."),
}
