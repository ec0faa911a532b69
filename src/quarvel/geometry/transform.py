"""Moving, turning and scaling a whole building.

A transform works in the building's coordinates. Coordinates given relative to a zone
stay as they are (scaled with `scale`) and the zone's origin and relative north carry
them; coordinates given in the world's frame, shading of the building and daylighting
points in world coordinates are transformed themselves. Site shading (trees,
neighbours) stays where it is unless `site_shading=True`. Simple rectangles turn by
their azimuth; with `scale`, every length of a surface, window, overhang and fin scales,
and a zone's entered ceiling height, floor area and volume by the factor, its square and
its cube.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from quarvel.geometry.editing import Edit, Edited, clean, field_index, objects, vertex_start
from quarvel.geometry.surfaces import (DETAILED_BASE, NOT_SUPPORTED, SIMPLE_BASE, SIMPLE_SUB, Rules,
                                       building_north_axis)
from quarvel.geometry.vectors import Vec, add, rotate_z, scale as times, sub

if TYPE_CHECKING:
    from quarvel.idf import IDF, IDFObject

Point = Callable[[Vec], Vec]
ON_ZONE = (*DETAILED_BASE, "FenestrationSurface:Detailed", "Shading:Zone:Detailed")
DAYLIGHTING_POINTS = ("Daylighting:ReferencePoint",)
XYZ = ("X-Coordinate of Reference Point", "Y-Coordinate of Reference Point", "Z-Coordinate of Reference Point")
START = ("Starting X Coordinate", "Starting Y Coordinate", "Starting Z Coordinate")


def translate(model: IDF, dx: float, dy: float, dz: float = 0.0, *, site_shading: bool = False) -> Edited:
    """Moves the building by (dx, dy, dz) metres in its own coordinates."""
    d = (_finite(dx, "dx"), _finite(dy, "dy"), _finite(dz, "dz"))
    return _transform(model, lambda p: add(p, d), 0.0, 1.0, site_shading)


def rotate(model: IDF, degrees: float, origin: tuple[float, float] | None = None, *,
           site_shading: bool = False) -> Edited:
    """Turns the building about the vertical axis through `origin` (x, y; default 0, 0):
    positive degrees clockwise seen from above, as the Building's North Axis counts, so
    a facade facing south faces west after a turn by 90."""
    turn = _finite(degrees, "degrees")
    cx, cy = (0.0, 0.0) if origin is None else (_finite(origin[0], "origin x"), _finite(origin[1], "origin y"))
    centre = (cx, cy, 0.0)
    return _transform(model, lambda p: add(rotate_z(sub(p, centre), turn), centre), turn, 1.0, site_shading)


def scale(model: IDF, factor: float, origin: tuple[float, float, float] | None = None, *,
          site_shading: bool = False) -> Edited:
    """Scales the building by `factor` (> 0) about `origin` (default 0, 0, 0) in all three directions."""
    k = _finite(factor, "factor")
    if k <= 0:
        raise ValueError(f"factor must be greater than 0, not {factor!r}")
    centre = (0.0, 0.0, 0.0) if origin is None else tuple(_finite(c, "origin") for c in origin)
    if len(centre) != 3:
        raise ValueError("origin must be (x, y, z)")
    c: Vec = (centre[0], centre[1], centre[2])
    return _transform(model, lambda p: add(c, times(sub(p, c), k)), 0.0, k, site_shading)


def _finite(value: Any, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise ValueError(f"{name} must be a finite number, not {value!r}")
    return float(value)


def _transform(model: IDF, point: Point, turn: float, factor: float, site_shading: bool) -> Edited:
    rules = Rules.of(model)
    plan: list[tuple[IDFObject, dict[int, Any]]] = []
    for obj in objects(model, "Zone"):
        plan.append((obj, _zone(obj, point, turn, factor)))
    for class_name in ON_ZONE:
        for obj in objects(model, class_name):
            plan.append((obj, _vertices(obj, point, rules.relative, factor)))
    for class_name in SIMPLE_BASE:
        for obj in objects(model, class_name):
            plan.append((obj, _rectangle(obj, point, turn, factor, rules.rectangles_relative)))
    for class_name in SIMPLE_SUB:
        for obj in objects(model, class_name):
            plan.append((obj, _lengths(obj, ("Starting X Coordinate", "Starting Z Coordinate", "Length", "Height"),
                                       factor)))
    for obj in objects(model, "Shading:Building:Detailed"):
        plan.append((obj, _vertices(obj, point, False, factor)))
    for obj in objects(model, "Shading:Building"):
        plan.append((obj, _rectangle(obj, point, turn, factor, False)))
    if site_shading:
        north = building_north_axis(model)
        # In relative geometry site shading is given in true-north coordinates.
        site = (lambda p: rotate_z(point(rotate_z(p, -north)), north)) if rules.relative else point
        for obj in objects(model, "Shading:Site:Detailed"):
            plan.append((obj, _vertices(obj, site, False, factor)))
        for obj in objects(model, "Shading:Site"):
            plan.append((obj, _rectangle(obj, site, turn, factor, False)))
    for class_name in NOT_SUPPORTED:
        for obj in objects(model, class_name):
            plan.append((obj, _lengths(obj, _metre_fields(obj), factor)))
    for class_name in DAYLIGHTING_POINTS:
        for obj in objects(model, class_name):
            plan.append((obj, _point_fields(obj, XYZ, point, factor, rules.daylighting_relative)))
    with Edit(model) as edit:
        for obj, writes in plan:
            edit.set(obj, writes)
    return edit.result


def _number(obj: IDFObject, index: int | None) -> float | None:
    if index is None:
        return None
    value = obj[index]
    return float(value) if isinstance(value, (int, float)) and math.isfinite(value) else None


def _zone(obj: IDFObject, point: Point, turn: float, factor: float) -> dict[int, Any]:
    fields = [field_index(obj, n) for n in ("X Origin", "Y Origin", "Z Origin")]
    origin = tuple(_number(obj, i) or 0.0 for i in fields)
    moved = point((origin[0], origin[1], origin[2]))
    writes: dict[int, Any] = {i: clean(v) for i, v, old in zip(fields, moved, origin, strict=True)
                              if i is not None and clean(v) != old}
    north = field_index(obj, "Direction of Relative North")
    if turn and north is not None:
        writes[north] = clean(((_number(obj, north) or 0.0) + turn) % 360.0)
    if factor != 1:
        for name, power in (("Ceiling Height", 1), ("Floor Area", 2), ("Volume", 3)):
            index = field_index(obj, name)
            value = _number(obj, index)
            if index is not None and value is not None and value > 0:
                writes[index] = clean(value * factor ** power)
    return writes


def _vertices(obj: IDFObject, point: Point, relative: bool, factor: float) -> dict[int, Any]:
    """Vertices in a zone's frame scale about the zone's origin; others move with `point`."""
    if relative and factor == 1:
        return {}
    start = vertex_start(obj)
    values = obj.get_values()
    writes: dict[int, Any] = {}
    for i in range(start, len(values) - 2, 3):
        numbers = [float(v) for v in values[i:i + 3] if isinstance(v, (int, float))]
        if len(numbers) != 3:
            continue  # a vertex that is not three numbers stays for validation to report
        p = (numbers[0], numbers[1], numbers[2])
        moved = times(p, factor) if relative else point(p)
        writes.update({i + j: clean(v) for j, v in enumerate(moved)})
    return writes


def _rectangle(obj: IDFObject, point: Point, turn: float, factor: float, relative: bool) -> dict[int, Any]:
    writes = _point_fields(obj, START, point, factor, relative)
    azimuth = field_index(obj, "Azimuth Angle")
    value = _number(obj, azimuth)
    if turn and not relative and azimuth is not None and value is not None:
        writes[azimuth] = clean((value + turn) % 360.0)
    writes.update(_lengths(obj, ("Length", "Height", "Width"), factor))
    return writes


def _point_fields(obj: IDFObject, names: tuple[str, str, str], point: Point, factor: float,
                  relative: bool) -> dict[int, Any]:
    fields = [field_index(obj, n) for n in names]
    values = [_number(obj, i) for i in fields]
    if None in fields or None in values:
        return {}
    p = (values[0] or 0.0, values[1] or 0.0, values[2] or 0.0)
    moved = times(p, factor) if relative else point(p)
    return {i: clean(v) for i, v in zip(fields, moved, strict=True) if i is not None}


def _lengths(obj: IDFObject, names: tuple[str, ...], factor: float) -> dict[int, Any]:
    if factor == 1:
        return {}
    writes = {}
    for name in names:
        index = field_index(obj, name)
        value = _number(obj, index)
        if index is not None and value is not None:
            writes[index] = clean(value * factor)
    return writes


def _metre_fields(obj: IDFObject) -> tuple[str, ...]:
    idd = obj.idd
    assert idd is not None
    info = idd.class_info(obj.class_name)
    names = info["fields"] if info else []
    return tuple(n for i, n in enumerate(names) if (idd.field_info(obj.class_name, i) or {}).get("units") == "m")


__all__ = ["rotate", "scale", "translate"]
