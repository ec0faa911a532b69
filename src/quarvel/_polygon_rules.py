"""Rules on the polygons of surfaces and on zones: a polygon with no area, one that is not
planar, one whose edges cross, and a zone whose surfaces do not enclose a volume (after
the partner the engine makes for a surface facing a zone). A polygon without area or
with crossing edges describes no surface at all (errors); a slightly bent polygon and an
open zone can still be simulated, the open zone with floor area times ceiling height as
its volume (warnings)."""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING

from quarvel.diagnostics import Diagnostic, Rule

if TYPE_CHECKING:
    from quarvel.geometry import Surface
    from quarvel.geometry.measure import Measures
    from quarvel.idf import IDF

ZERO_AREA = Rule("E404", "polygon-zero-area", "error", "a surface whose polygon has no area")
NOT_PLANAR = Rule("W405", "polygon-not-planar", "warning", "a surface whose vertices do not lie in one plane")
CROSSING = Rule("E406", "polygon-crosses-itself", "error", "a surface whose edges cross each other")
NOT_ENCLOSED = Rule("W407", "zone-not-enclosed", "warning", "a zone whose surfaces do not enclose a volume")
RULES = (ZERO_AREA, NOT_PLANAR, CROSSING, NOT_ENCLOSED)

PLANE_TOLERANCE = 0.01  # metres: what coordinates written to a centimetre may be off by
NO_AREA = 1e-6  # square metres

Make = Callable[[Rule, object, str], Diagnostic]


def findings(model: IDF, enabled: set[str], make: Make) -> list[Diagnostic]:
    if not enabled & {rule.code for rule in RULES}:
        return []
    from quarvel.geometry import GeometryError, measure
    from quarvel.geometry.surfaces import DETAILED_BASE, SIMPLE_BASE

    if not any(name in model for name in (*DETAILED_BASE, *SIMPLE_BASE)):
        return []
    try:
        measures = measure(model)
    except GeometryError:
        return []
    out = [f for m in measures.surfaces for f in _polygon(m.surface, m.area, enabled, make)]
    if NOT_ENCLOSED.code in enabled:
        out.extend(_zones(model, measures, make))
    return out


def _polygon(surface: Surface, area: float, enabled: set[str], make: Make) -> list[Diagnostic]:
    from quarvel.geometry.polygons import Plane, crosses_itself
    from quarvel.geometry.vectors import centroid, newell

    vertices, obj = surface.vertices, surface.object
    if area <= NO_AREA:
        return [make(ZERO_AREA, obj, f"Its {len(vertices)} vertices enclose no area.")] if ZERO_AREA.code in enabled else []
    plane = Plane(centroid(vertices), newell(vertices))
    off = [abs(plane.distance(p)) for p in vertices]
    worst = max(range(len(off)), key=off.__getitem__)
    # A window or door off its wall's plane is E401's finding, bent or not.
    if off[worst] > PLANE_TOLERANCE and not surface.is_subsurface:
        if NOT_PLANAR.code in enabled:
            return [make(NOT_PLANAR, obj, f"Its vertex {worst + 1} lies {off[worst]:.2f} m off the plane of the others.")]
        return []
    if CROSSING.code in enabled and len(vertices) > 3 and crosses_itself([plane.flat(p) for p in vertices]):
        return [make(CROSSING, obj, "Its edges cross each other: its vertices are not in order around it.")]
    return []


def _zones(model: IDF, measures: Measures, make: Make) -> list[Diagnostic]:
    from quarvel.geometry.surfaces import field_text

    # A zone with a surface that could not be placed has that surface's finding already.
    unplaced = {field_text(s.object, "Zone Name").upper() for s in measures.skipped}
    out = []
    for zone in measures.zones.values():
        if zone.measured_volume is not None or zone.name.upper() in unplaced:
            continue
        parts = [m for m in measures.surfaces if (m.surface.zone or "").upper() == zone.name.upper()
                 and not m.surface.is_subsurface and m.surface.kind != "shading"]
        if not parts:
            continue
        obj = model.get_object_by_name("Zone", zone.name)
        if obj is not None:
            out.append(make(NOT_ENCLOSED, obj, f"Its {len(parts)} surfaces do not enclose a volume; the engine takes "
                                               f"its volume as floor area times ceiling height."))
    return out

