"""One geometry edit as one all-or-nothing change of the model, and what it changed.

Every edit first works out all it will write, refusing bad input before the model is
touched; `Edit` then writes it, and puts every value back (and takes every added object
out) when anything fails on the way, so a failed edit leaves the model as it was.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from quarvel.geometry.surfaces import CORNERS, GeometryError, Rules, Zone
from quarvel.geometry.vectors import Vec, cross, dot, rotate_z, sub, unit

if TYPE_CHECKING:
    from collections.abc import Mapping, Sequence
    from types import TracebackType

    from quarvel.idf import IDF, IDFObject


@dataclass
class Edited:
    """What one edit changed: objects added, objects whose fields changed, and the
    class and name of every object removed."""

    added: list[IDFObject] = field(default_factory=list)
    changed: list[IDFObject] = field(default_factory=list)
    removed: list[tuple[str, str]] = field(default_factory=list)
    skipped: list[str] = field(default_factory=list)  # what the edit left alone, and why

    def __str__(self) -> str:
        text = f"{len(self.added)} added, {len(self.changed)} changed, {len(self.removed)} removed"
        return text + (f", {len(self.skipped)} skipped" if self.skipped else "")


class Edit:
    """Writes of one edit; used as `with Edit(model) as edit: ...` and rolled back on error."""

    def __init__(self, model: IDF) -> None:
        self.model = model
        self.result = Edited()
        self._before: dict[int, tuple[IDFObject, list[Any]]] = {}
        self._removals: list[IDFObject] = []

    def __enter__(self) -> Edit:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        if kind is None:
            for obj in self._removals:
                self.model.remove_object(obj)
            return
        self._roll_back()

    def set(self, obj: IDFObject, values: Mapping[Any, Any]) -> None:
        if not values:
            return
        if id(obj) not in self._before:
            self._before[id(obj)] = (obj, stored_texts(obj))
            self.result.changed.append(obj)
        obj.update(dict(values))

    def add(self, class_name: str, values: list[Any] | Mapping[Any, Any]) -> IDFObject:
        obj = self.model.add_object(class_name, values if isinstance(values, list) else dict(values))
        self.result.added.append(obj)
        return obj

    def remove(self, obj: IDFObject) -> None:
        """Removed when the edit ends well (removals cannot be undone, so they come last)."""
        self._removals.append(obj)
        self.result.removed.append((obj.class_name, str(obj[0])))

    def _roll_back(self) -> None:
        for obj in reversed(self.result.added):
            self.model.remove_object(obj)
        for obj, values in self._before.values():
            now = len(obj.get_values())
            obj.update({i: values[i] or None if i < len(values) else None for i in range(max(now, len(values)))})


def stored_texts(obj: IDFObject) -> list[str]:
    """The object's field texts as stored (so that a rollback writes "0" back, not 0.0):
    the text list of its pickled state."""
    state = obj.__reduce__()[1][2]
    stored = next(part for part in state if isinstance(part, list))
    return [text.decode("utf-8", "surrogateescape") for text in stored]


def vertex_start(obj: IDFObject) -> int:
    start = field_index(obj, "Vertex 1 X-coordinate")
    if start is None:
        raise GeometryError(f"{obj.class_name} has no vertex fields")
    return start


def vertex_values(obj: IDFObject, points: Sequence[Vec]) -> dict[int, Any]:
    """The field writes that give a detailed object these vertices (and no more): the
    vertex count too when the object gives one."""
    start = vertex_start(obj)
    writes: dict[int, Any] = {}
    for i, point in enumerate(points):
        for j, value in enumerate(point):
            writes[start + 3 * i + j] = clean(value)
    for i in range(start + 3 * len(points), len(obj.get_values())):
        writes[i] = None
    count = field_index(obj, "Number of Vertices")
    if count is not None and isinstance(obj[count], (int, float)):
        writes[count] = len(points)
    return writes


def known_fields(model: IDF, class_name: str, values: Mapping[Any, Any]) -> dict[Any, Any]:
    """The writes of fields the schema's class has (a trimmed schema may lack optional ones)."""
    idd = model.idd
    assert idd is not None
    kept = {}
    for key, value in values.items():
        if isinstance(key, str):
            try:
                idd.field_index(class_name, key)
            except LookupError:
                continue
        kept[key] = value
    return kept


def field_index(obj: IDFObject, name: str) -> int | None:
    """The position of a field of the object's class, None when the class has none of that name."""
    idd = obj.idd
    assert idd is not None
    try:
        return idd.field_index(obj.class_name, name)
    except LookupError:
        return None


def clean(value: float) -> float:
    """A coordinate as written: rounded to 1e-10 m, so that a turn by 90 degrees writes 0
    and not 6e-17."""
    rounded = round(value, 10)
    if not math.isfinite(rounded):
        raise GeometryError(f"a coordinate would be {value}, not a finite number")
    return rounded + 0.0


def to_zone_frame(point: Vec, zone: Zone | None, relative: bool) -> Vec:
    """From the building's coordinates back into the zone's own, when coordinates are relative."""
    if not relative or zone is None:
        return point
    return rotate_z(sub(point, zone.origin), -zone.north)


def from_declared_corner(points: Sequence[Vec], normal: Vec, rules: Rules) -> list[Vec]:
    """The polygon turned to start at the corner the rules declare (upper left and so
    on, seen from outside); a horizontal polygon stays as it is."""
    across = unit(cross((0.0, 0.0, 1.0), normal))
    if across == (0.0, 0.0, 0.0) or not points:
        return list(points)
    up = cross(normal, across)
    upper = rules.start in (CORNERS["upperleftcorner"], CORNERS["upperrightcorner"])
    left = rules.start in (CORNERS["upperleftcorner"], CORNERS["lowerleftcorner"])

    def rank(p: Vec) -> tuple[float, float]:
        return (round(dot(p, up) * (1 if upper else -1), 6), round(dot(p, across) * (-1 if left else 1), 6))

    start = max(range(len(points)), key=lambda i: rank(points[i]))
    return [*points[start:], *points[:start]]


def objects(model: IDF, class_name: str) -> tuple[IDFObject, ...]:
    return model[class_name] if class_name in model else ()

