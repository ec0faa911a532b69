"""Areas, volumes and window-to-wall ratios of a model's geometry, as the engine's own
report counts them:

- a window's (or glass door's) opening area is its glazing plus its frame
  (`WindowProperty:FrameAndDivider`: the frame lies outside the glazing, around it; the
  dividers lie inside it); its glass area is the glazing alone;
- a facade's gross wall area holds every wall facing outdoors or the ground (windows and
  doors included); its above-ground wall area only those facing outdoors; its window
  area the openings of windows in walls facing outdoors, times their multipliers;
- a zone's floor area and volume are the zone's entered `Floor Area` and `Volume` when
  they are positive; otherwise the floors' area, and the volume the zone's surfaces
  enclose. A surface whose outside boundary is `Zone` closes the zone it names too (the
  engine makes its partner there). A zone whose surfaces still do not close has its
  floor area times its ceiling height (entered, else the mean height of its ceilings
  above its floors, else its full height);
- figures of one zone leave out its multiplier; the building's count it.
"""

from __future__ import annotations

from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING

from quarvel.geometry.closure import open_edge
from quarvel.geometry.surfaces import Surface, field_text, placed
from quarvel.geometry.vectors import Vec, add, azimuth, centroid, dot, length, newell, scale, sub, tilt

if TYPE_CHECKING:
    from quarvel.idf import IDF, IDFObject

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
    floor_area: float = 0.0  # entered when positive, else measured_floor_area
    volume: float | None = None  # entered, enclosed, or floor area times ceiling height; None without any
    ceiling_height: float | None = None  # entered when positive, else from the surfaces
    exterior_wall_area: float = 0.0  # gross, facing outdoors: windows and doors included
    underground_wall_area: float = 0.0  # gross, facing the ground
    window_area: float = 0.0  # openings (frames included) in exterior walls, times their multipliers
    glass_area: float = 0.0  # the glazing of the same windows
    measured_floor_area: float = 0.0  # the floors' area
    measured_volume: float | None = None  # what the surfaces enclose; None when they do not close
    volume_source: str = "none"  # "entered", "surfaces", "floor area x ceiling height" or "none"


@dataclass(slots=True)
class Facade:
    wall_area: float = 0.0  # gross: facing outdoors or the ground
    window_area: float = 0.0
    above_ground_wall_area: float = 0.0

    @property
    def window_to_wall(self) -> float | None:
        """The gross ratio: of the walls facing outdoors and the ground."""
        return self.window_area / self.wall_area if self.wall_area > 0 else None

    @property
    def above_ground_window_to_wall(self) -> float | None:
        return self.window_area / self.above_ground_wall_area if self.above_ground_wall_area > 0 else None


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
    reader, every = placed(model)
    rules = reader.rules
    result = Measures(north_axis=reader.north_axis)
    for key, zone_def in reader.zones.items():
        result.zones[key] = ZoneMeasure(zone_def.name, zone_def.multiplier)
    by_name: dict[str, SurfaceMeasure] = {}
    for surface in every:
        if not surface.vertices:
            result.skipped.append(surface)
            continue
        vector = newell(surface.vertices)
        normal = rules.outward(surface.vertices)
        measured = SurfaceMeasure(surface, length(vector) / 2, normal, (azimuth(normal) + reader.north_axis) % 360.0,
                                  tilt(normal))
        result.surfaces.append(measured)
        by_name[surface.name.upper()] = measured

    frames = frame_widths(model)
    closure: dict[str, list[SurfaceMeasure]] = {}
    for m in result.surfaces:
        s = m.surface
        zone = result.zones.get((s.zone or "").upper())
        if zone is None or s.kind == "shading":
            continue
        if s.kind == "floor":
            zone.measured_floor_area += m.area
        outside = (s.outside or "").lower()
        if s.kind == "wall" and outside == "outdoors":
            zone.exterior_wall_area += m.area
            facade = result.facades[m.orientation]
            facade.wall_area += m.area * zone.multiplier
            facade.above_ground_wall_area += m.area * zone.multiplier
        elif s.kind == "wall" and outside.startswith("ground"):
            zone.underground_wall_area += m.area
            result.facades[m.orientation].wall_area += m.area * zone.multiplier
        if s.kind in ("window", "glass door") and outside == "outdoors":
            base = by_name.get((s.base_surface or "").upper())
            if base is not None and base.surface.kind == "wall":
                opening = opening_area(m, frames.get(field_text(s.object, "Frame and Divider Name").upper(), 0.0))
                zone.glass_area += m.area * s.multiplier
                zone.window_area += opening * s.multiplier
                result.facades[base.orientation].window_area += opening * s.multiplier * zone.multiplier
        if not s.is_subsurface:
            closure.setdefault(zone.name.upper(), []).append(m)
            partner = result.zones.get(field_text(s.object, "Outside Boundary Condition Object").upper())
            if outside == "zone" and partner is not None and partner is not zone:
                closure.setdefault(partner.name.upper(), []).append(_reversed(m))
    for key, zone in result.zones.items():
        _settle(zone, reader.zone_objects.get(key), closure.get(key, []))
    total = result.facades["total"]
    for orientation in ORIENTATIONS:
        f = result.facades[orientation]
        total.wall_area += f.wall_area
        total.window_area += f.window_area
        total.above_ground_wall_area += f.above_ground_wall_area
    return result


def opening_area(window: SurfaceMeasure, frame_width: float) -> float:
    """The area of a window's opening: its glazing and the frame of `frame_width` around
    it (exact for a rectangle: the glazing grown by the frame on every side)."""
    if frame_width <= 0:
        return window.area
    points = window.surface.vertices
    perimeter = sum(length(sub(points[(i + 1) % len(points)], points[i])) for i in range(len(points)))
    return window.area + perimeter * frame_width + 4 * frame_width * frame_width


def frame_widths(model: IDF) -> dict[str, float]:
    """The frame width of each `WindowProperty:FrameAndDivider`, by its name in capitals."""
    if "WindowProperty:FrameAndDivider" not in model:
        return {}
    widths = {}
    for obj in model["WindowProperty:FrameAndDivider"]:
        value = obj["Frame Width"]
        if isinstance(value, (int, float)) and 0 < value < 1e3:
            widths[str(obj[0]).upper()] = float(value)
    return widths


def _entered(obj: IDFObject | None, field_name: str) -> float | None:
    """A zone's figure as entered: a positive number, else None (blank, autocalculate, 0)."""
    if obj is None:
        return None
    try:
        value = obj[field_name]
    except (KeyError, AttributeError):
        return None
    return float(value) if isinstance(value, (int, float)) and 0 < value < 1e18 else None


def _reversed(m: SurfaceMeasure) -> SurfaceMeasure:
    """The partner the engine makes for a surface facing another zone: the same polygon
    facing the other way."""
    flipped = replace(m.surface, base_surface=None, vertices=tuple(reversed(m.surface.vertices)), multiplier=1.0,
                      problem=None, object=None)
    return SurfaceMeasure(flipped, m.area, scale(m.normal, -1.0), (m.azimuth + 180.0) % 360.0, 180.0 - m.tilt)


def _settle(zone: ZoneMeasure, obj: IDFObject | None, parts: list[SurfaceMeasure]) -> None:
    """A zone's floor area, ceiling height and volume from what was entered and measured."""
    zone.measured_volume = _volume(parts) if parts else None
    entered_area = _entered(obj, "Floor Area")
    zone.floor_area = zone.measured_floor_area if entered_area is None else entered_area
    zone.ceiling_height = _entered(obj, "Ceiling Height") or _ceiling_height(parts)
    entered_volume = _entered(obj, "Volume")
    if entered_volume is not None:
        zone.volume, zone.volume_source = entered_volume, "entered"
    elif zone.measured_volume is not None:
        zone.volume, zone.volume_source = zone.measured_volume, "surfaces"
    elif zone.floor_area > 0 and zone.ceiling_height:
        zone.volume, zone.volume_source = zone.floor_area * zone.ceiling_height, "floor area x ceiling height"


def _ceiling_height(parts: list[SurfaceMeasure]) -> float | None:
    """The area-weighted mean height of the zone's ceilings and roofs above its floors;
    without both, from its lowest to its highest point."""
    def mean_height(kinds: tuple[str, ...]) -> float | None:
        chosen = [m for m in parts if m.surface.kind in kinds and m.area > 0]
        area = sum(m.area for m in chosen)
        return sum(centroid(m.surface.vertices)[2] * m.area for m in chosen) / area if area > 0 else None

    top, bottom = mean_height(("ceiling", "roof")), mean_height(("floor",))
    if top is not None and bottom is not None and top > bottom:
        return top - bottom
    heights = [p[2] for m in parts for p in m.surface.vertices]
    return max(heights) - min(heights) if heights and max(heights) > min(heights) else None


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
    if open_edge([m.surface.vertices for m in parts]) is not None:
        return None
    return volume
