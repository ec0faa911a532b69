"""Areas, volumes and window-to-wall ratios of a model's geometry."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from quarvel.geometry.surfaces import Surface, _Reader
from quarvel.geometry.vectors import Vec, add, azimuth, centroid, dot, length, newell, scale, tilt

if TYPE_CHECKING:
    from quarvel.idf import IDF

ORIENTATIONS = ("north", "east", "south", "west")
# A zone's surfaces close when their area vectors sum to nearly nothing.
CLOSURE_TOLERANCE = 1e-3


@dataclass(frozen=True, slots=True)
class SurfaceMeasure:
    surface: Surface
    area: float  # one surface, without multipliers
    normal: Vec  # outward, unit length, in the building's coordinates
    azimuth: float  # the compass direction the surface faces, relative to true north
    tilt: float  # 0 facing up, 90 vertical, 180 facing down

    @property
    def orientation(self) -> str:
        """The facade it belongs to: 90-degree sectors centred on the compass points."""
        return ORIENTATIONS[int(((self.azimuth + 45.0) % 360.0) // 90.0)]


@dataclass(slots=True)
class ZoneMeasure:
    name: str
    multiplier: float = 1.0
    floor_area: float = 0.0
    volume: float | None = None  # None when its surfaces do not close
    exterior_wall_area: float = 0.0  # gross: windows and doors included
    window_area: float = 0.0  # windows and glass doors in exterior walls, times their multipliers


@dataclass(slots=True)
class Facade:
    wall_area: float = 0.0
    window_area: float = 0.0

    @property
    def window_to_wall(self) -> float | None:
        return self.window_area / self.wall_area if self.wall_area > 0 else None


@dataclass(slots=True)
class Measures:
    """The measures of a model. Zone figures are for one zone; building figures count
    each zone its multiplier times. Facades are the exterior walls by orientation,
    relative to true north (the building's North Axis applied)."""

    north_axis: float
    surfaces: list[SurfaceMeasure] = field(default_factory=list)
    zones: dict[str, ZoneMeasure] = field(default_factory=dict)
    facades: dict[str, Facade] = field(default_factory=lambda: {o: Facade() for o in (*ORIENTATIONS, "total")})
    skipped: list[Surface] = field(default_factory=list)

    @property
    def floor_area(self) -> float:
        return sum(z.floor_area * z.multiplier for z in self.zones.values())

    @property
    def volume(self) -> float | None:
        volumes = [z.volume * z.multiplier for z in self.zones.values() if z.volume is not None]
        return sum(volumes) if len(volumes) == len(self.zones) else None


def measure(model: IDF) -> Measures:
    """Areas and normals of every surface, each zone's floor area, volume, exterior wall
    and window areas, and the building's facades."""
    reader = _Reader(model, true_north=False)
    rules = reader.rules
    result = Measures(north_axis=reader.north_axis)
    for key, zone_def in reader.zones.items():
        result.zones[key] = ZoneMeasure(zone_def.name, zone_def.multiplier)
    by_name: dict[str, SurfaceMeasure] = {}
    for surface in reader.all():
        if not surface.vertices:
            result.skipped.append(surface)
            continue
        vector = newell(surface.vertices)
        normal = rules.outward(surface.vertices)
        measured = SurfaceMeasure(surface, length(vector) / 2, normal, (azimuth(normal) + reader.north_axis) % 360.0,
                                  tilt(normal))
        result.surfaces.append(measured)
        by_name[surface.name.upper()] = measured

    closure: dict[str, list[SurfaceMeasure]] = {}
    for m in result.surfaces:
        s = m.surface
        zone = result.zones.get((s.zone or "").upper())
        if zone is None or s.kind == "shading":
            continue
        if s.kind == "floor":
            zone.floor_area += m.area
        exterior = (s.outside or "").lower() == "outdoors"
        if s.kind == "wall" and exterior:
            zone.exterior_wall_area += m.area
            result.facades[m.orientation].wall_area += m.area * zone.multiplier
        if s.kind in ("window", "glass door") and exterior:
            base = by_name.get((s.base_surface or "").upper())
            if base is not None and base.surface.kind == "wall":
                zone.window_area += m.area * s.multiplier
                result.facades[base.orientation].window_area += m.area * s.multiplier * zone.multiplier
        if not s.is_subsurface:
            closure.setdefault(zone.name.upper(), []).append(m)
    for key, parts in closure.items():
        result.zones[key].volume = _volume(parts)
    total = result.facades["total"]
    for orientation in ORIENTATIONS:
        total.wall_area += result.facades[orientation].wall_area
        total.window_area += result.facades[orientation].window_area
    return result


def _volume(parts: list[SurfaceMeasure]) -> float | None:
    """The volume the surfaces enclose (divergence theorem), when they close."""
    total_area = sum(m.area for m in parts)
    balance: Vec = (0.0, 0.0, 0.0)
    volume = 0.0
    for m in parts:
        area_vector = scale(m.normal, m.area)
        balance = add(balance, area_vector)
        volume += dot(centroid(m.surface.vertices), area_vector) / 3.0
    if total_area == 0 or length(balance) > CLOSURE_TOLERANCE * total_area or volume <= 0:
        return None
    return volume

