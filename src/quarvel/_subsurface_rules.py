"""Rules on windows and doors against their base surfaces: in its plane, inside it, and not
larger than it (the engine warns about the first two and refuses the third)."""

from __future__ import annotations

from collections import defaultdict
from collections.abc import Callable
from typing import TYPE_CHECKING

from quarvel.diagnostics import Diagnostic, Rule
from quarvel.geometry.polygons import contains, distance_to_edges
from quarvel.geometry.vectors import Vec, cross, dot, length, newell, sub, unit

if TYPE_CHECKING:
    from quarvel.geometry import Surface
    from quarvel.idf import IDF

OFF_PLANE = Rule("E401", "subsurface-off-plane", "error", "a window or door that does not lie in its base surface's plane")
OUTSIDE = Rule("W402", "subsurface-outside", "warning", "a window or door that reaches beyond its base surface")
TOO_LARGE = Rule("E403", "subsurface-too-large", "error",
                 "windows and doors larger than their base surface (one, or together)")
RULES = (OFF_PLANE, OUTSIDE, TOO_LARGE)

TOLERANCE = 0.01  # metres: what coordinates written to a centimetre may be off by
AREA_TOLERANCE = 1e-6  # relative

Make = Callable[[Rule, object, str], Diagnostic]


def _area(points: tuple[Vec, ...]) -> float:
    return length(newell(points)) / 2


def _plane_axes(base: tuple[Vec, ...]) -> tuple[Vec, Vec, Vec]:
    """The unit normal of a polygon and two unit axes in its plane."""
    normal = unit(newell(base))
    first = max((sub(p, base[0]) for p in base[1:]), key=length)
    across = unit(first)
    return normal, across, cross(normal, across)


def _metres(value: float) -> str:
    return f"{value:.2f} m"


def _square_metres(value: float) -> str:
    return f"{value:.2f} m²"


def findings(model: IDF, enabled: set[str], make: Make) -> list[Diagnostic]:
    if not enabled & {rule.code for rule in RULES}:
        return []
    from quarvel.geometry import GeometryError, surfaces
    from quarvel.geometry.surfaces import SIMPLE_SUB

    # Placing every surface costs a walk over the zones and surfaces in Python: only a model
    # with windows or doors pays for it.
    if not any(name in model for name in ("FenestrationSurface:Detailed", *SIMPLE_SUB)):
        return []

    try:
        every = surfaces(model)
    except GeometryError:
        return []  # the geometry cannot be placed at all: nothing here to compare
    bases = {s.name.upper(): s for s in every if not s.is_subsurface and s.vertices and s.kind != "shading"}
    out: list[Diagnostic] = []
    on_base: dict[str, list[Surface]] = defaultdict(list)
    for sub_surface in every:
        if not sub_surface.is_subsurface or not sub_surface.vertices or sub_surface.base_surface is None:
            continue
        base = bases.get(sub_surface.base_surface.upper())
        if base is None or len(base.vertices) < 3 or _area(base.vertices) == 0:
            continue
        on_base[base.name.upper()].append(sub_surface)
        out.extend(_placement(sub_surface, base, enabled, make))
    if TOO_LARGE.code in enabled:
        for key, placed in on_base.items():
            out.extend(_sizes(bases[key], placed, make))
    return out


def _placement(window: Surface, base: Surface, enabled: set[str], make: Make) -> list[Diagnostic]:
    normal, across, up = _plane_axes(base.vertices)
    origin = base.vertices[0]
    off = [abs(dot(sub(p, origin), normal)) for p in window.vertices]
    worst = max(range(len(off)), key=off.__getitem__)
    if off[worst] > TOLERANCE:
        if OFF_PLANE.code in enabled:
            return [make(OFF_PLANE, window.object, f"Its vertex {worst + 1} lies {_metres(off[worst])} off the plane "
                                                   f"of its base surface '{base.name}'.")]
        return []
    if OUTSIDE.code not in enabled:
        return []
    outline = [(dot(sub(p, origin), across), dot(sub(p, origin), up)) for p in base.vertices]
    for number, p in enumerate(window.vertices, 1):
        flat = (dot(sub(p, origin), across), dot(sub(p, origin), up))
        if contains(outline, flat):
            continue
        beyond = distance_to_edges(flat, outline)
        if beyond > TOLERANCE:
            return [make(OUTSIDE, window.object, f"Its vertex {number} lies {_metres(beyond)} outside its base "
                                                 f"surface '{base.name}'.")]
    return []


def _sizes(base: Surface, placed: list[Surface], make: Make) -> list[Diagnostic]:
    gross = _area(base.vertices)
    limit = gross * (1 + AREA_TOLERANCE)
    out = []
    total = 0.0
    for window in placed:
        area = _area(window.vertices)
        total += area * window.multiplier
        if area > limit:
            out.append(make(TOO_LARGE, window.object, f"Its area of {_square_metres(area)} is more than the "
                                                      f"{_square_metres(gross)} of its base surface '{base.name}'."))
    if not out and total > limit:
        out.append(make(TOO_LARGE, base.object, f"Its windows and doors cover {_square_metres(total)}, more than its "
                                                f"own {_square_metres(gross)}."))
    return out
