"""Setting the window-to-wall ratio of a building's facades."""

from __future__ import annotations

import math
from collections import Counter
from typing import TYPE_CHECKING, Any

from quarvel.geometry.editing import Edit, Edited, clean, known_fields, to_zone_frame
from quarvel.geometry.measure import ORIENTATIONS, SurfaceMeasure, frame_widths, measure, opening_area
from quarvel.geometry.polygons import Plane, contains, distance_to_edges
from quarvel.geometry.surfaces import Rules, _Reader, field_text
from quarvel.geometry.vectors import Vec

if TYPE_CHECKING:
    from quarvel.idf import IDF

# The least distance between a new window and its wall's edges.
MARGIN = 0.025


def set_window_to_wall(model: IDF, ratio: float, orientation: str | None = None, *, sill_height: float = 0.8,
                       construction: str | None = None, skip_small: bool = False) -> Edited:
    """Gives every exterior wall (of one facade: "north", "east", "south", "west") one
    centred window whose opening (frame included, as the engine counts it) is `ratio`
    times the wall's gross area, less the glass doors the wall keeps. The wall's windows
    go; its doors and glass doors stay. The new window has the name, construction and
    frame of the wall's first window, else `construction` (default: the model's most
    used window construction) and the name "<wall> Window". It keeps the wall's shape
    (its sides scaled alike) with its bottom at `sill_height` above the wall's foot,
    lowered to fit when it is too tall. The ratio is of each wall facing outdoors, so it
    is each facade's above-ground ratio. Refused, with nothing changed: a ratio outside
    (0, 1), a wall too small for the window above that sill (unless `skip_small`, which
    leaves such walls as they are), a window that would cover a door, and a removed
    window that another object still refers to."""
    if isinstance(ratio, bool) or not isinstance(ratio, (int, float)) or not 0 < ratio < 1:
        raise ValueError(f"ratio must lie between 0 and 1, not {ratio!r}")
    if orientation is not None and orientation not in ORIENTATIONS:
        raise ValueError(f"orientation must be one of {', '.join(ORIENTATIONS)}, not {orientation!r}")
    if isinstance(sill_height, bool) or not isinstance(sill_height, (int, float)) or not 0 <= sill_height < 1e3:
        raise ValueError(f"sill_height must be a number of metres from 0, not {sill_height!r}")
    measures = measure(model)
    reader = _Reader(model, true_north=False)
    frames = frame_widths(model)
    on_wall: dict[str, list[SurfaceMeasure]] = {}
    for m in measures.surfaces:
        if m.surface.is_subsurface:
            on_wall.setdefault((m.surface.base_surface or "").upper(), []).append(m)
    default_construction = construction or _most_used_construction(measures.surfaces)
    plans, skipped = [], []
    for wall in measures.surfaces:
        s = wall.surface
        if s.kind != "wall" or (s.outside or "").lower() != "outdoors" or s.zone is None:
            continue
        if orientation is not None and wall.orientation != orientation:
            continue
        subs = on_wall.get(s.name.upper(), [])
        windows = [m for m in subs if m.surface.kind == "window"]
        kept = [m for m in subs if m.surface.kind != "window"]
        try:
            plans.append(_plan(reader.rules, reader.zones.get(s.zone.upper()), wall, windows, kept, ratio,
                               sill_height, default_construction, frames))
        except _TooSmall as small:
            if not skip_small:
                raise ValueError(f"{small} (skip_small=True leaves such walls as they are)") from None
            skipped.append(str(small))
    with Edit(model) as edit:
        for windows, values in plans:
            first = windows[0].surface.object if windows else None
            values = known_fields(model, "FenestrationSurface:Detailed", values)
            if first is not None and first.class_name == "FenestrationSurface:Detailed":
                edit.set(first, values)
                gone = windows[1:]
            else:
                edit.add("FenestrationSurface:Detailed", values)
                gone = windows
            for w in gone:
                assert w.surface.object is not None
                edit.remove(w.surface.object)
    edit.result.skipped = skipped
    return edit.result


class _TooSmall(ValueError):
    pass


def _most_used_construction(surfaces: list[SurfaceMeasure]) -> str | None:
    used = Counter(field_text(m.surface.object, "Construction Name") for m in surfaces if m.surface.kind == "window")
    used.pop("", None)
    return used.most_common(1)[0][0] if used else None


def _plan(rules: Rules, zone: Any, wall: SurfaceMeasure, windows: list[SurfaceMeasure],
          kept: list[SurfaceMeasure], ratio: float, sill: float, construction: str | None,
          frames: dict[str, float]) -> tuple[list[SurfaceMeasure], dict[int | str, Any]]:
    s = wall.surface
    where = f"wall '{s.name}'"
    first = windows[0].surface.object if windows else None
    for other in windows[1:]:  # the first one's name goes to the new window
        referrers = other.surface.object.get_referencing_objects(0) if other.surface.object is not None else ()
        if referrers:
            names = ", ".join(f"{r.class_name} '{r[0]}'" for r in referrers)
            raise ValueError(f"{where}: its window '{other.surface.name}' would go, but {names} refers to it")
    name = windows[0].surface.name if windows else f"{s.name} Window"
    chosen = field_text(first, "Construction Name") or construction
    if not chosen:
        raise ValueError(f"{where} has no window to take a construction from: give construction=")
    frame_name = field_text(first, "Frame and Divider Name")
    frame = frames.get(frame_name.upper(), 0.0)
    glass_doors = sum(opening_area(m, frames.get(field_text(m.surface.object, "Frame and Divider Name").upper(), 0.0))
                      * m.surface.multiplier for m in kept if m.surface.kind == "glass door")
    target = ratio * wall.area - glass_doors
    if target <= 0:
        raise ValueError(f"{where}: its glass doors already make a ratio of {glass_doors / wall.area:.3f}")

    # The wall in its own plane: u along it (to the right seen from outside), v up it.
    plane = Plane(s.vertices[0], wall.normal)
    flat = [plane.flat(p) for p in s.vertices]
    u0, u1 = min(p[0] for p in flat), max(p[0] for p in flat)
    v0, v1 = min(p[1] for p in flat), max(p[1] for p in flat)
    width, height = u1 - u0, v1 - v0
    # The glazing whose opening (glazing grown by the frame) is the target, in the wall's proportions.
    k = _solve(lambda k: (k * width + 2 * frame) * (k * height + 2 * frame) - target)
    w, h = k * width, k * height
    room = height - sill - 2 * MARGIN - 2 * frame
    if h > room:
        h = room
        w = target / (h + 2 * frame) - 2 * frame if h > 0 else math.inf
    if h <= 0 or w + 2 * frame > width - 2 * MARGIN:
        raise _TooSmall(f"{where} is too small for a window of ratio {ratio:g} above a sill of {sill:g} m")
    bottom = v0 + sill + MARGIN + frame
    doors = [[plane.flat(p) for p in door.surface.vertices] for door in kept]
    rectangle = None
    for left in _lefts(u0, u1, w, frame, doors):
        candidate = [(left, bottom), (left + w, bottom), (left + w, bottom + h), (left, bottom + h)]
        if not all(contains(flat, p) and distance_to_edges(p, flat) >= frame + MARGIN - 1e-9 for p in candidate):
            raise _TooSmall(f"{where} does not hold a window of ratio {ratio:g} above a sill of {sill:g} m")
        if not any(_overlap(candidate, door, frame + MARGIN) for door in doors):
            rectangle = candidate
            break
    if rectangle is None:
        raise ValueError(f"{where}: a window of ratio {ratio:g} does not fit beside its doors")
    corners: list[Vec] = [plane.lift(p) for p in rectangle]
    points = [to_zone_frame(p, zone, rules.relative) for p in rules.order(corners)]
    values: dict[int | str, Any] = {"Name": name, "Surface Type": "Window", "Construction Name": chosen,
                                    "Building Surface Name": s.name, "Frame and Divider Name": frame_name or None,
                                    "Multiplier": 1, "Number of Vertices": 4}
    for i, point in enumerate(points):
        for axis, value in zip("XYZ", point, strict=True):
            values[f"Vertex {i + 1} {axis}-coordinate"] = clean(value)
    return windows, values


def _lefts(u0: float, u1: float, w: float, frame: float, doors: list[list[tuple[float, float]]]) -> list[float]:
    """Where the window's left edge may go: centred on the wall, else centred in each
    stretch of the wall beside its doors that is wide enough, the widest first."""
    lefts = [u0 + (u1 - u0 - w) / 2]
    edges = sorted((min(p[0] for p in d), max(p[0] for p in d)) for d in doors)
    stretches, start = [], u0
    for a, b in edges:
        stretches.append((start, a))
        start = max(start, b)
    stretches.append((start, u1))
    need = w + 2 * (frame + MARGIN)
    for a, b in sorted(stretches, key=lambda ab: ab[0] - ab[1]):
        if b - a >= need + 1e-9:
            lefts.append(a + (b - a - w) / 2)
    return lefts


def _solve(f: Any) -> float:
    """The root in (0, 1e6) of an increasing function (bisection)."""
    low, high = 0.0, 1.0
    while f(high) < 0 and high < 1e6:
        high *= 2
    for _ in range(100):
        middle = (low + high) / 2
        if f(middle) < 0:
            low = middle
        else:
            high = middle
    return high


def _overlap(rectangle: list[tuple[float, float]], other: list[tuple[float, float]], grow: float) -> bool:
    """Whether two shapes' bounding boxes (the first grown by `grow`) overlap."""
    return (min(p[0] for p in rectangle) - grow < max(p[0] for p in other)
            and min(p[0] for p in other) < max(p[0] for p in rectangle) + grow
            and min(p[1] for p in rectangle) - grow < max(p[1] for p in other)
            and min(p[1] for p in other) < max(p[1] for p in rectangle) + grow)
