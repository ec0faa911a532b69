"""Zones from a footprint: `add_block`."""

from __future__ import annotations

import math
from collections import Counter
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

from quarvel.geometry.constructions import mirror
from quarvel.geometry.editing import Edit, Edited, clean, known_fields, objects
from quarvel.geometry.polygons import area, crosses_itself, tidy
from quarvel.geometry.surfaces import DETAILED_BASE, Rules
from quarvel.geometry.vectors import Vec

if TYPE_CHECKING:
    from quarvel.idf import IDF

KINDS = ("wall", "floor", "ceiling", "roof")


def add_block(model: IDF, name: str, footprint: Sequence[tuple[float, float]], height: float, stories: int = 1, *,
              base_z: float = 0.0, constructions: Mapping[str, str] | None = None) -> Edited:
    """Adds `stories` zones stacked on a footprint polygon ((x, y) in the building's
    coordinates, in either turning), each `height` metres tall from `base_z`: a floor
    (on the ground for the lowest story), a wall per footprint edge facing outdoors,
    and a roof on top; the floor of each upper story and the ceiling below it are a
    matched interzone pair. Zones are named `name` (one story) or "<name> Story <n>";
    surfaces "<zone> Floor", "<zone> Wall <n>", "<zone> Ceiling", "<zone> Roof".
    `constructions` maps "wall", "floor", "ceiling" and "roof" to construction names;
    a kind not given takes the model's most used construction for that kind, and a
    ceiling the floor's construction with its layers reversed (the model's, or a new
    "<floor> Reversed"). Refused,
    with nothing changed: a footprint with fewer than 3 corners, no area or crossing
    edges, a height or story count that is not positive, a name already taken, and a
    kind without a construction."""
    if not isinstance(name, str) or not name.strip():
        raise ValueError(f"name must be a zone name, not {name!r}")
    if isinstance(height, bool) or not isinstance(height, (int, float)) or not 0 < height < 1e4:
        raise ValueError(f"height must be a positive number of metres, not {height!r}")
    if isinstance(stories, bool) or not isinstance(stories, int) or not 1 <= stories <= 1000:
        raise ValueError(f"stories must be a whole number from 1, not {stories!r}")
    if isinstance(base_z, bool) or not isinstance(base_z, (int, float)) or not math.isfinite(base_z):
        raise ValueError(f"base_z must be a finite number, not {base_z!r}")
    outline = _footprint(footprint)
    rules = Rules.of(model)
    mirrored: dict[str, list[Any]] = {}
    chosen = _constructions(model, constructions, stories, mirrored)
    zones = [name] if stories == 1 else [f"{name} Story {i + 1}" for i in range(stories)]
    _refuse_taken(model, zones, outline)
    plans: list[tuple[str, Any]] = []
    for story, zone in enumerate(zones):
        bottom, top = base_z + story * height, base_z + (story + 1) * height
        plans.append(("Zone", {"Name": zone}))
        below = f"{zones[story - 1]} Ceiling" if story > 0 else None
        floor = [(x, y, bottom) for x, y in reversed(outline)]  # seen from below
        plans.append(_surface(f"{zone} Floor", "Floor", chosen["floor"], zone, floor, rules,
                              "Surface" if below else "Ground", below))
        for i, (a, b) in enumerate(zip(outline, outline[1:] + outline[:1], strict=True)):
            corners = [(a[0], a[1], bottom), (b[0], b[1], bottom), (b[0], b[1], top), (a[0], a[1], top)]
            plans.append(_surface(f"{zone} Wall {i + 1}", "Wall", chosen["wall"], zone, corners, rules, "Outdoors"))
        roof = [(x, y, top) for x, y in outline]
        if story + 1 < stories:
            plans.append(_surface(f"{zone} Ceiling", "Ceiling", chosen["ceiling"], zone, roof, rules, "Surface",
                                  f"{zones[story + 1]} Floor"))
        else:
            plans.append(_surface(f"{zone} Roof", "Roof", chosen["roof"], zone, roof, rules, "Outdoors"))
    automatic = _autocalculatable(model, "BuildingSurface:Detailed", "View Factor to Ground")
    plans[:0] = [("Construction", [name, *layers]) for name, layers in mirrored.items()]
    with Edit(model) as edit:
        for class_name, values in plans:
            if isinstance(values, list):
                edit.add(class_name, values)
                continue
            if not automatic:
                values.pop("View Factor to Ground", None)
            edit.add(class_name, known_fields(model, class_name, values))
    return edit.result


def _autocalculatable(model: IDF, class_name: str, field_name: str) -> bool:
    idd = model.idd
    assert idd is not None
    try:
        info = idd.field_info(class_name, idd.field_index(class_name, field_name))
    except LookupError:
        return False
    return bool(info and info.get("autocalculatable"))


def _footprint(footprint: Sequence[tuple[float, float]]) -> list[tuple[float, float]]:
    try:
        points = [(float(x), float(y)) for x, y in footprint]
    except (TypeError, ValueError):
        raise ValueError("footprint must be a sequence of (x, y) numbers") from None
    if not all(math.isfinite(c) and abs(c) < 1e9 for p in points for c in p):
        raise ValueError("footprint coordinates must be finite numbers")
    if len(points) >= 4 and crosses_itself(points):
        raise ValueError("footprint edges cross each other")
    outline = tidy(points)
    if len(outline) < 3:
        raise ValueError("footprint must have at least 3 corners that enclose an area")
    return outline if area(outline) > 0 else list(reversed(outline))


def _constructions(model: IDF, given: Mapping[str, str] | None, stories: int,
                   new: dict[str, list[Any]]) -> dict[str, str]:
    given = dict(given or {})
    unknown = set(given) - set(KINDS)
    if unknown:
        raise ValueError(f"constructions are for {', '.join(KINDS)}, not {', '.join(sorted(unknown))}")
    used: dict[str, Counter[str]] = {kind: Counter() for kind in KINDS}
    for class_name in DETAILED_BASE:
        for obj in objects(model, class_name):
            kind = str(obj["Surface Type"]).lower() if class_name == "BuildingSurface:Detailed" else ""
            if kind in used and obj["Construction Name"]:
                used[kind][str(obj["Construction Name"])] += 1
    chosen = {}
    for kind in ("wall", "floor", "roof"):
        if kind in given:
            chosen[kind] = given[kind]
        elif used[kind]:
            chosen[kind] = used[kind].most_common(1)[0][0]
        else:
            raise ValueError(f"the model has no {kind} to take a construction from: give constructions={{'{kind}': ...}}")
    if "ceiling" in given:
        chosen["ceiling"] = given["ceiling"]
    elif stories > 1:
        # The ceiling below a floor: the floor's construction seen from below.
        chosen["ceiling"] = mirror(model, chosen["floor"], {}, new)
    return chosen


def _refuse_taken(model: IDF, zones: list[str], outline: list[tuple[float, float]]) -> None:
    for zone in zones:
        if "Zone" in model and model.get_object_by_name("Zone", zone) is not None:
            raise ValueError(f"the model already has a zone '{zone}'")
    taken = {str(o[0]).upper() for c in DETAILED_BASE for o in objects(model, c)}
    for zone in zones:
        for surface in (f"{zone} Floor", f"{zone} Ceiling", f"{zone} Roof",
                        *(f"{zone} Wall {i + 1}" for i in range(len(outline)))):
            if surface.upper() in taken:
                raise ValueError(f"the model already has a surface '{surface}'")


def _surface(name: str, kind: str, construction: str, zone: str, corners: list[Vec], rules: Rules, outside: str,
             partner: str | None = None) -> tuple[str, dict[str, Any]]:
    """A BuildingSurface:Detailed; `corners` go around counterclockwise seen from
    outside, from the lower left for a wall, and are written in the declared order."""
    points = list(rules.order(corners)) if len(corners) == 4 and kind == "Wall" else _declared(corners, rules)
    exposed = outside == "Outdoors"
    values: dict[str, Any] = {"Name": name, "Surface Type": kind, "Construction Name": construction or None,
                              "Zone Name": zone, "Outside Boundary Condition": outside,
                              "Outside Boundary Condition Object": partner,
                              "Sun Exposure": "SunExposed" if exposed else "NoSun",
                              "Wind Exposure": "WindExposed" if exposed else "NoWind",
                              "View Factor to Ground": "autocalculate", "Number of Vertices": len(points)}
    for i, point in enumerate(points):
        for axis, value in zip("XYZ", point, strict=True):
            values[f"Vertex {i + 1} {axis}-coordinate"] = clean(value)
    return "BuildingSurface:Detailed", values


def _declared(corners: list[Vec], rules: Rules) -> list[Vec]:
    return list(reversed(corners)) if rules.clockwise else corners
