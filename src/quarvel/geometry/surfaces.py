"""A model's surfaces as polygons in one coordinate system.

Detailed surfaces give their vertices; the simple forms give a starting corner, an
azimuth, a tilt and two lengths, and sub-surfaces of the simple form a position on their
base surface. Everything ends in the building's coordinate system (x east, y north, z
up, metres), or in true-north coordinates when asked.
"""

from __future__ import annotations

import math
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from quarvel._check_memo import shared
from quarvel.geometry.vectors import Vec, add, cross, dot, newell, rotate_z, scale, sub, unit

if TYPE_CHECKING:
    from quarvel.idf import IDF, IDFObject

DETAILED_BASE = {
    "BuildingSurface:Detailed": None,  # the kind is the Surface Type field
    "Wall:Detailed": "wall",
    "RoofCeiling:Detailed": None,  # roof when outdoors, else ceiling
    "Floor:Detailed": "floor",
}
# Simple rectangles: kind, outside boundary, and the name of the second length field.
SIMPLE_BASE = {
    "Wall:Exterior": ("wall", "Outdoors", "Height"),
    "Wall:Adiabatic": ("wall", "Adiabatic", "Height"),
    "Wall:Underground": ("wall", "Ground", "Height"),
    "Wall:Interzone": ("wall", "Zone", "Height"),
    "Roof": ("roof", "Outdoors", "Width"),
    "Ceiling:Adiabatic": ("ceiling", "Adiabatic", "Width"),
    "Ceiling:Interzone": ("ceiling", "Zone", "Width"),
    "Floor:GroundContact": ("floor", "Ground", "Width"),
    "Floor:Adiabatic": ("floor", "Adiabatic", "Width"),
    "Floor:Interzone": ("floor", "Zone", "Width"),
}
SIMPLE_SUB = {
    "Window": "window", "Door": "door", "GlazedDoor": "glass door",
    "Window:Interzone": "window", "Door:Interzone": "door", "GlazedDoor:Interzone": "glass door",
}
FENESTRATION_KINDS = {"window": "window", "door": "door", "glassdoor": "glass door",
                      "tubulardaylightdome": "window", "tubulardaylightdiffuser": "window"}
SHADING_DETAILED = ("Shading:Site:Detailed", "Shading:Building:Detailed", "Shading:Zone:Detailed")
SHADING_SIMPLE = ("Shading:Site", "Shading:Building")
# Shading that hangs off a window or door: its geometry is not worked out here.
NOT_SUPPORTED = ("Shading:Overhang", "Shading:Overhang:Projection", "Shading:Fin", "Shading:Fin:Projection")
CORNERS = {"lowerleftcorner": 0, "lowerrightcorner": 1, "upperrightcorner": 2, "upperleftcorner": 3}
# Farther than this from the origin (a million kilometres) a coordinate is a mistake, and
# areas and volumes of such points would overflow.
FARTHEST = 1e9


class GeometryError(ValueError):
    """A model whose geometry cannot be worked out at all (a Building North Axis that is
    not a finite number). Faults of single surfaces are reported on the surface instead."""


@dataclass(frozen=True, slots=True)
class Surface:
    """One surface: what it is, where it is, and its vertices in the order the model
    gives them (as `GlobalGeometryRules` declares). A surface whose geometry could not
    be worked out has no vertices and says why in `problem`."""

    class_name: str
    name: str
    kind: str  # wall, roof, floor, ceiling, window, door, glass door, shading
    zone: str | None
    base_surface: str | None
    vertices: tuple[Vec, ...]
    outside: str | None = None  # outside boundary condition: Outdoors, Ground, Adiabatic, Surface, Zone...
    multiplier: float = 1.0
    problem: str | None = None
    object: IDFObject | None = field(default=None, repr=False, compare=False)

    @property
    def is_subsurface(self) -> bool:
        return self.kind in ("window", "door", "glass door")


@dataclass(frozen=True, slots=True)
class Rules:
    """What `GlobalGeometryRules` declares (the engine's usual values when it is absent)."""

    start: int = CORNERS["upperleftcorner"]
    clockwise: bool = False
    relative: bool = True
    rectangles_relative: bool = True
    daylighting_relative: bool = True

    @classmethod
    def of(cls, model: IDF) -> Rules:
        found = model["GlobalGeometryRules"] if "GlobalGeometryRules" in model else ()
        if not found:
            return cls()
        values = [str(v or "").lower() for v in found[0].get_values()] + [""] * 5
        return cls(start=CORNERS.get(values[0], CORNERS["upperleftcorner"]), clockwise=values[1] == "clockwise",
                   relative=values[2] not in ("world", "absolute"),
                   daylighting_relative=values[3] not in ("world", "absolute"),
                   rectangles_relative=values[4] not in ("world", "absolute"))

    def order(self, corners: list[Vec]) -> tuple[Vec, ...]:
        """A rectangle's corners (lower left, lower right, upper right, upper left, as
        seen from outside) in the declared order."""
        step = -1 if self.clockwise else 1
        return tuple(corners[(self.start + step * i) % 4] for i in range(4))

    def outward(self, vertices: tuple[Vec, ...]) -> Vec:
        """The outward unit normal of a polygon given in the declared order."""
        normal = unit(newell(vertices))
        return scale(normal, -1.0) if self.clockwise else normal


@dataclass(frozen=True, slots=True)
class Zone:
    name: str
    north: float = 0.0
    origin: Vec = (0.0, 0.0, 0.0)
    multiplier: float = 1.0
    problem: str | None = None  # why its surfaces cannot be placed

    def place(self, point: Vec) -> Vec:
        return add(rotate_z(point, self.north), self.origin)


class _Reader:
    """Reads the surfaces of one model."""

    def __init__(self, model: IDF, true_north: bool) -> None:
        self.model = model
        self.rules = Rules.of(model)
        self.north_axis = building_north_axis(model)
        self.true_north = true_north
        self.zones: dict[str, Zone] = {}
        self.zone_objects: dict[str, IDFObject] = {}
        for obj in self._objects("Zone"):
            name = str(obj[0])
            self.zone_objects[name.upper()] = obj
            try:
                self.zones[name.upper()] = Zone(name, _number(obj, "Direction of Relative North", 0.0),
                                                (_number(obj, "X Origin", 0.0), _number(obj, "Y Origin", 0.0),
                                                 _number(obj, "Z Origin", 0.0)),
                                                _number(obj, "Multiplier", 1.0))
            except _Problem as problem:
                self.zones[name.upper()] = Zone(name, problem=f"its zone '{name}' cannot be placed: {problem}")
        self.bases: dict[str, Surface] = {}

    def _objects(self, class_name: str) -> tuple[IDFObject, ...]:
        return self.model[class_name] if class_name in self.model else ()

    def _zone(self, name: Any, kind: str = "") -> Zone:
        text = str(name or "")
        zone = self.zones.get(text.upper(), Zone(text))
        if zone.problem is not None:
            raise _Problem(kind, zone.problem)
        return zone

    def _to_building(self, point: Vec, zone: Zone | None, relative: bool) -> Vec:
        return zone.place(point) if relative and zone is not None else point

    def _finish(self, points: tuple[Vec, ...], site: bool = False) -> tuple[Vec, ...]:
        """From the building's coordinates to those asked for. Site shading is given in
        true-north coordinates (in relative geometry), so it turns the other way."""
        if site and self.rules.relative:
            return points if self.true_north else tuple(rotate_z(p, -self.north_axis) for p in points)
        return tuple(rotate_z(p, self.north_axis) for p in points) if self.true_north else points

    def all(self) -> Iterator[Surface]:
        for class_name in (*DETAILED_BASE, *SIMPLE_BASE):
            for obj in self._objects(class_name):
                surface = self._guarded(obj, self._base)
                if surface.vertices:
                    self.bases[surface.name.upper()] = surface
                yield surface
        for class_name in ("FenestrationSurface:Detailed", *SIMPLE_SUB, "Shading:Zone:Detailed"):
            for obj in self._objects(class_name):
                yield self._guarded(obj, self._on_base)
        for class_name in (*SHADING_DETAILED[:2], *SHADING_SIMPLE):
            for obj in self._objects(class_name):
                yield self._guarded(obj, self._shading)
        for class_name in NOT_SUPPORTED:
            for obj in self._objects(class_name):
                yield self._skipped(obj, "shading", f"{class_name} is not supported: its geometry follows its window")

    def _guarded(self, obj: IDFObject, read: Any) -> Surface:
        try:
            surface = read(obj)
        except _Problem as problem:
            return self._skipped(obj, problem.kind or "surface", str(problem))
        far = next((p for p in surface.vertices if not all(abs(c) <= FARTHEST for c in p)), None)
        if far is not None:  # also catches what overflowed on the way (nan fails the test too)
            return self._skipped(obj, surface.kind, f"a vertex lies too far away to measure: {far}")
        return surface

    def _skipped(self, obj: IDFObject, kind: str, problem: str) -> Surface:
        return Surface(obj.class_name, str(obj[0]), kind, None, None, (), problem=problem, object=obj)

    # ---- base surfaces ----

    def _base(self, obj: IDFObject) -> Surface:
        class_name = obj.class_name
        if class_name in DETAILED_BASE:
            outside = field_text(obj, "Outside Boundary Condition")
            kind = DETAILED_BASE[class_name]
            if class_name == "BuildingSurface:Detailed":
                kind = field_text(obj, "Surface Type").lower() or "wall"
            elif kind is None:
                kind = "roof" if outside.lower() == "outdoors" else "ceiling"
            zone = self._zone(obj["Zone Name"], kind)
            points = tuple(self._to_building(p, zone, self.rules.relative) for p in _vertices(obj, kind))
        else:
            kind, outside, second = SIMPLE_BASE[class_name]
            zone = self._zone(obj["Zone Name"], kind)
            corners = _rectangle(obj, second, kind)
            points = tuple(self._to_building(p, zone, self.rules.rectangles_relative)
                           for p in self.rules.order(corners))
        return Surface(class_name, str(obj[0]), kind, zone.name or None, None, self._finish(points), outside or None,
                       object=obj)

    # ---- sub-surfaces and zone shading, placed on a base surface ----

    def _on_base(self, obj: IDFObject) -> Surface:
        class_name = obj.class_name
        if class_name == "Shading:Zone:Detailed":
            kind, base_name, multiplier = "shading", field_text(obj, "Base Surface Name"), 1.0
        else:
            base_name = field_text(obj, "Building Surface Name")
            multiplier = _number(obj, "Multiplier", 1.0)
            if class_name == "FenestrationSurface:Detailed":
                kind = FENESTRATION_KINDS.get(field_text(obj, "Surface Type").lower().replace(" ", ""), "window")
            else:
                kind = SIMPLE_SUB[class_name]
        base = self.bases.get(base_name.upper())
        if base is None:
            raise _Problem(kind, f"its base surface '{base_name}' has no geometry here")
        zone = self._zone(base.zone, kind)
        if class_name in SIMPLE_SUB:
            points = self._on_plane(obj, base, kind)
        else:
            # Relative geometry: in the base surface's zone, like the base surface itself.
            points = self._finish(tuple(self._to_building(p, zone if base.zone else None, self.rules.relative)
                                        for p in _vertices(obj, kind)))
        return Surface(class_name, str(obj[0]), kind, base.zone, base.name, points, base.outside, multiplier, object=obj)

    def _on_plane(self, obj: IDFObject, base: Surface, kind: str) -> tuple[Vec, ...]:
        """A rectangle given by its lower left corner's place on the base surface (from
        the base surface's own lower left corner, as seen from outside) and its size."""
        normal = self.rules.outward(base.vertices)
        across = unit(cross((0.0, 0.0, 1.0), normal))
        if across == (0.0, 0.0, 0.0):  # a horizontal base surface: its x axis is east
            across = (1.0, 0.0, 0.0)
        up = cross(normal, across)
        reference = base.vertices[0]
        origin = add(reference, add(scale(across, min(dot(sub(p, reference), across) for p in base.vertices)),
                                    scale(up, min(dot(sub(p, reference), up) for p in base.vertices))))
        x, z = _required(obj, "Starting X Coordinate", kind), _required(obj, "Starting Z Coordinate", kind)
        width, height = _length(obj, "Length", kind), _length(obj, "Height", kind)
        lower_left = add(origin, add(scale(across, x), scale(up, z)))
        corners = [lower_left, add(lower_left, scale(across, width)),
                   add(lower_left, add(scale(across, width), scale(up, height))), add(lower_left, scale(up, height))]
        return self.rules.order(corners)

    # ---- site and building shading ----

    def _shading(self, obj: IDFObject) -> Surface:
        class_name = obj.class_name
        site = class_name.startswith("Shading:Site")
        if class_name in SHADING_DETAILED:
            points = _vertices(obj, "shading")
        else:
            points = self.rules.order(_rectangle(obj, "Height", "shading"))
        return Surface(class_name, str(obj[0]), "shading", None, None, self._finish(tuple(points), site=site),
                       object=obj)


class _Problem(Exception):
    def __init__(self, kind: str, message: str) -> None:
        super().__init__(message)
        self.kind = kind


def field_text(obj: IDFObject | None, field_name: str) -> str:
    """A field's value as text: "" when blank, or when there is no object or no such field."""
    if obj is None:
        return ""
    try:
        value = obj[field_name]
    except (KeyError, AttributeError):
        return ""
    return "" if value is None else str(value)


def _finite(value: float, field_name: str, kind: str) -> float:
    if not math.isfinite(value):
        raise _Problem(kind, f"its {field_name} is {value}, not a finite number")
    return value


def _number(obj: IDFObject, field_name: str, default: float) -> float:
    try:
        value = obj[field_name]
    except (KeyError, AttributeError):
        return default
    return _finite(float(value), field_name, "") if isinstance(value, (int, float)) else default


def _required(obj: IDFObject, field_name: str, kind: str) -> float:
    value = obj[field_name]
    if not isinstance(value, (int, float)):
        raise _Problem(kind, f"its {field_name} is {'blank' if value in (None, '') else repr(value)}")
    return _finite(float(value), field_name, kind)


def _length(obj: IDFObject, field_name: str, kind: str) -> float:
    value = _required(obj, field_name, kind)
    if value <= 0:
        raise _Problem(kind, f"its {field_name} is {value:g}; a side of a surface is longer than 0")
    return value


def _vertices(obj: IDFObject, kind: str) -> tuple[Vec, ...]:
    """The (x, y, z) of each vertex the object holds: from the first vertex field, as
    many triples as there are numbers (the vertex count field is not needed); a last
    vertex short of a number is a problem, not a smaller polygon."""
    idd = obj.idd
    assert idd is not None
    start = idd.field_index(obj.class_name, "Vertex 1 X-coordinate")
    values = obj.get_values()
    points: list[Vec] = []
    for i in range(start, len(values), 3):
        triple = values[i:i + 3]
        if all(v is None or v == "" for v in triple):
            break
        numbers = [float(v) for v in triple if isinstance(v, (int, float))]
        if len(numbers) != 3 or not all(math.isfinite(v) for v in numbers):
            raise _Problem(kind, f"vertex {len(points) + 1} is not three finite numbers: {triple}")
        points.append((numbers[0], numbers[1], numbers[2]))
    if len(points) < 3:
        raise _Problem(kind, f"it has {len(points)} vertices; a surface needs at least 3")
    return tuple(points)


def _rectangle(obj: IDFObject, second: str, kind: str) -> list[Vec]:
    """The corners of a simple form: lower left (the starting corner), lower right, upper
    right, upper left, as seen from outside; the length runs to the right of the
    outward-facing surface (azimuth: the direction it faces; tilt: 90 for a wall, 0 for
    a surface facing up, 180 facing down), the second length up the surface."""
    az, tilt = math.radians(_required(obj, "Azimuth Angle", kind)), math.radians(_required(obj, "Tilt Angle", kind))
    start = (_required(obj, "Starting X Coordinate", kind), _required(obj, "Starting Y Coordinate", kind),
             _required(obj, "Starting Z Coordinate", kind))
    length, other = _length(obj, "Length", kind), _length(obj, second, kind)
    normal = (math.sin(tilt) * math.sin(az), math.sin(tilt) * math.cos(az), math.cos(tilt))
    across = (-math.cos(az), math.sin(az), 0.0)
    up = cross(normal, across)
    right = add(start, scale(across, length))
    return [start, right, add(right, scale(up, other)), add(start, scale(up, other))]


def building_north_axis(model: IDF) -> float:
    """The Building's North Axis in degrees (0 without a Building object); GeometryError
    when it is not a finite number, as nothing could be placed by it."""
    buildings = model["Building"] if "Building" in model else ()
    if not buildings:
        return 0.0
    try:
        return _number(buildings[0], "North Axis", 0.0)
    except _Problem as problem:
        raise GeometryError(f"Building '{buildings[0][0]}': {problem}") from None


def surfaces(model: IDF, *, true_north: bool = False) -> list[Surface]:
    """Every surface of the model: base surfaces, sub-surfaces, then shading, each class
    in class order. Vertices are in the building's coordinates, or turned by the
    building's North Axis into true-north coordinates with `true_north`."""
    if true_north:
        return list(_Reader(model, true_north).all())
    return list(placed(model)[1])


def placed(model: IDF) -> tuple[_Reader, list[Surface]]:
    """A reader of the model in the building's coordinates and every surface it placed
    (made once for all the rules of a check)."""

    def place() -> tuple[_Reader, list[Surface]]:
        reader = _Reader(model, true_north=False)
        return reader, list(reader.all())

    return shared(("placed", id(model)), place)


def surface_of(model: IDF, obj: IDFObject) -> Surface | None:
    """The surface of one object of the model (None when its class is no surface class),
    placed as `surfaces` places it; a sub-surface's base surface is read for it."""
    reader = _Reader(model, true_north=False)
    class_name = obj.class_name
    if class_name in DETAILED_BASE or class_name in SIMPLE_BASE:
        return reader._guarded(obj, reader._base)
    if class_name in ("FenestrationSurface:Detailed", *SIMPLE_SUB, "Shading:Zone:Detailed"):
        field_name = "Base Surface Name" if class_name == "Shading:Zone:Detailed" else "Building Surface Name"
        base_name = field_text(obj, field_name)
        for base_class in (*DETAILED_BASE, *SIMPLE_BASE):
            base = model.get_object_by_name(base_class, base_name) if base_class in model else None
            if base is not None:
                surface = reader._guarded(base, reader._base)
                if surface.vertices:
                    reader.bases[surface.name.upper()] = surface
                break
        return reader._guarded(obj, reader._on_base)
    if class_name in (*SHADING_DETAILED[:2], *SHADING_SIMPLE):
        return reader._guarded(obj, reader._shading)
    if class_name in NOT_SUPPORTED:
        return reader._skipped(obj, "shading", f"{class_name} is not supported: its geometry follows its window")
    return None
