"""Geometry: surfaces in one coordinate system, their measures, and the drawing."""

from __future__ import annotations

import math
import xml.etree.ElementTree as ET

import pytest

import quarvel
from quarvel import geometry
from quarvel.idd import IDD
from quarvel.idf import IDF

from .conftest import DATA
from .realdata import REAL, REAL_MODELS, REAL_SCHEMA, needs_real_data
from .test_cli import quarvel as run_cli

SVG = "{http://www.w3.org/2000/svg}"

# A 10 x 20 x 3 m box, vertices from the upper left corner, counterclockwise as seen from
# outside, with a 2 x 1.5 m window in its south wall.
BOX = """
Building, Box, {north_axis};
GlobalGeometryRules, UpperLeftCorner, Counterclockwise, {system};
Zone, Box, {zone_north}, {x0}, {y0}, 0, 1, {multiplier};
BuildingSurface:Detailed, South, Wall, C, Box, , Outdoors, , , , , , 0,0,3, 0,0,0, 10,0,0, 10,0,3;
BuildingSurface:Detailed, East, Wall, C, Box, , Outdoors, , , , , , 10,0,3, 10,0,0, 10,20,0, 10,20,3;
BuildingSurface:Detailed, North, Wall, C, Box, , Outdoors, , , , , , 10,20,3, 10,20,0, 0,20,0, 0,20,3;
BuildingSurface:Detailed, West, Wall, C, Box, , Outdoors, , , , , , 0,20,3, 0,20,0, 0,0,0, 0,0,3;
BuildingSurface:Detailed, Floor, Floor, C, Box, , Ground, , , , , , 0,0,0, 0,20,0, 10,20,0, 10,0,0;
BuildingSurface:Detailed, Top, Roof, C, Box, , Outdoors, , , , , , 0,20,3, 0,0,3, 10,0,3, 10,20,3;
FenestrationSurface:Detailed, Glass, Window, G, South, , , , 1, 4, 4,0,2.5, 4,0,1, 6,0,1, 6,0,2.5;
"""


@pytest.fixture(scope="module")
def schema():
    return IDD.from_file(DATA / "geometry.idd")


def box(schema, north_axis=0, system="World", zone_north=0, x0=0, y0=0, multiplier=1, extra=""):
    text = BOX.format(north_axis=north_axis, system=system, zone_north=zone_north, x0=x0, y0=y0,
                      multiplier=multiplier)
    return IDF.from_string(schema, text + extra)


def close(a, b):
    return all(math.isclose(x, y, abs_tol=1e-9) for p, q in zip(a, b, strict=True) for x, y in zip(p, q, strict=True))


def corners(surface):
    return sorted(tuple(round(c, 9) + 0.0 for c in p) for p in surface.vertices)


def facades(measures):
    return {o: (round(f.wall_area, 6), round(f.window_area, 6)) for o, f in measures.facades.items()}


def test_the_box(schema):
    m = geometry.measure(box(schema))
    (zone,) = m.zones.values()
    assert (zone.floor_area, zone.volume, zone.exterior_wall_area, zone.window_area) == pytest.approx((200, 600, 180, 3))
    assert facades(m) == {"north": (30, 0), "east": (60, 0), "south": (30, 3), "west": (60, 0), "total": (180, 3)}
    assert m.facades["south"].window_to_wall == pytest.approx(0.1)
    assert m.facades["east"].window_to_wall == 0 and m.skipped == []
    by_name = {s.surface.name: s for s in m.surfaces}
    assert by_name["Top"].normal == pytest.approx((0, 0, 1)) and by_name["Floor"].normal == pytest.approx((0, 0, -1))
    assert by_name["East"].normal == pytest.approx((1, 0, 0)) and by_name["East"].orientation == "east"
    window = by_name["Glass"].surface
    assert (window.kind, window.zone, window.base_surface, window.outside) == ("window", "Box", "South", "Outdoors")


def test_relative_coordinates_turn_and_move_the_zone(schema):
    m = geometry.measure(box(schema, system="Relative", zone_north=90, x0=100, y0=50))
    (zone,) = m.zones.values()
    assert (zone.floor_area, zone.volume) == pytest.approx((200, 600))
    # the zone's south wall now faces west
    assert facades(m) == {"north": (60, 0), "east": (30, 0), "south": (60, 0), "west": (30, 3), "total": (180, 3)}
    south = next(s for s in geometry.surfaces(box(schema, system="Relative", zone_north=90, x0=100, y0=50))
                 if s.name == "South")
    assert close(south.vertices, [(100, 50, 3), (100, 50, 0), (100, 40, 0), (100, 40, 3)])


def test_the_building_north_axis(schema):
    turned = box(schema, system="Relative", zone_north=30)
    assert geometry.measure(turned).facades["south"].window_area == pytest.approx(3)  # 210 degrees: south
    model = box(schema, system="Relative", zone_north=30, north_axis=30)
    m = geometry.measure(model)
    assert m.north_axis == 30 and m.facades["west"].window_area == pytest.approx(3)  # 240 degrees: west
    plain = box(schema, north_axis=30)
    corner = next(s for s in geometry.surfaces(plain, true_north=True) if s.name == "South").vertices[2]
    assert corner == pytest.approx((10 * math.cos(math.radians(30)), -10 * math.sin(math.radians(30)), 0))
    assert next(s for s in geometry.surfaces(plain) if s.name == "South").vertices[2] == (10, 0, 0)


SIMPLE = """
Wall:Exterior, Plain South, C, Box, , 180, 90, 0, 0, 0, 10, 3;
Window, Plain Glass, G, Plain South, , 1, 4, 1, 2, 1.5;
Roof, Plain Top, C, Box, , 180, 0, 0, 0, 3, 10, 20;
Floor:GroundContact, Plain Floor, C, Box, , 0, 180, 10, 0, 0, 10, 20;
"""


@pytest.mark.parametrize(("start", "direction"), [("UpperLeftCorner", "Counterclockwise"),
                                                  ("LowerLeftCorner", "Clockwise"),
                                                  ("LowerRightCorner", "Counterclockwise")])
def test_simple_forms_match_their_detailed_equivalents(schema, start, direction):
    text = BOX.format(north_axis=0, system="World", zone_north=0, x0=0, y0=0, multiplier=1).replace(
        "UpperLeftCorner, Counterclockwise", f"{start}, {direction}")
    model = IDF.from_string(schema, text + SIMPLE)
    found = {s.name: s for s in geometry.surfaces(model)}
    measured = {m.surface.name: m for m in geometry.measure(model).surfaces}
    pairs = [("Plain South", "South"), ("Plain Glass", "Glass"), ("Plain Top", "Top"), ("Plain Floor", "Floor")]
    for simple, detailed in pairs:
        assert corners(found[simple]) == corners(found[detailed]), simple
        assert measured[simple].area == pytest.approx(measured[detailed].area), simple
    # The declared order makes the normals point out whatever corner and direction.
    assert measured["Plain South"].normal == pytest.approx((0, -1, 0))
    assert measured["Plain Top"].normal == pytest.approx((0, 0, 1))
    assert measured["Plain Floor"].normal == pytest.approx((0, 0, -1))
    if start == "UpperLeftCorner":
        assert close(found["Plain South"].vertices, found["South"].vertices)
        assert close(found["Plain Glass"].vertices, found["Glass"].vertices)
    assert found["Plain Glass"].base_surface == "Plain South" and measured["Plain Glass"].area == pytest.approx(3)


def test_zone_multipliers_count_in_building_totals(schema):
    m = geometry.measure(box(schema, multiplier=3))
    assert m.zones["BOX"].floor_area == pytest.approx(200) and m.floor_area == pytest.approx(600)
    assert m.volume == pytest.approx(1800) and m.facades["south"].wall_area == pytest.approx(90)


def test_what_cannot_be_worked_out_is_reported(schema):
    extra = """
BuildingSurface:Detailed, Sliver, Wall, C, Box, , Outdoors, , , , , , 0,0,0, 1,0,0;
FenestrationSurface:Detailed, Orphan, Window, G, Nowhere, , , , 1, 4, 0,0,1, 0,0,0, 1,0,0, 1,0,1;
Wall:Exterior, Half Wall, C, Box, , 180, 90, 0, 0, 0, 10;
Shading:Overhang, Eave, Glass, 0.2, 90, 0.1, 0.1, 0.5;
"""
    m = geometry.measure(box(schema, extra=extra))
    assert [(s.class_name, s.name, s.problem) for s in m.skipped] == [
        ("BuildingSurface:Detailed", "Sliver", "it has 2 vertices; a surface needs at least 3"),
        ("Wall:Exterior", "Half Wall", "its Height is blank"),
        ("FenestrationSurface:Detailed", "Orphan", "its base surface 'Nowhere' has no geometry here"),
        ("Shading:Overhang", "Eave", "Shading:Overhang is not supported: its geometry follows its window"),
    ]
    assert m.zones["BOX"].volume == pytest.approx(600)  # the box still closes


@pytest.mark.parametrize(("extra", "problem"), [
    (f"BuildingSurface:Detailed, Odd, Wall, C, Box, , Outdoors, , , , , , 0,0,3, 0,0,0, {bad},0,0;",
     "vertex 3 is not three finite numbers") for bad in ("nan", "inf", "-inf")
] + [
    ("BuildingSurface:Detailed, Odd, Wall, C, Box, , Outdoors, , , , , , 0,0,3, 0,0,0, 1e308,0,0;",
     "a vertex lies too far away to measure: (1e+308, 0.0, 0.0)"),
    ("Wall:Exterior, Odd, C, Box, , 0, 90, 0, 0, 0, 1e308, 3;", "a vertex lies too far away to measure"),
    ("Window, Odd, G, South, , 1, 1e300, 1, 1, 1;", "a vertex lies too far away to measure"),
] + [
    (template.format(bad=bad), f"its {field} is {float(bad)}, not a finite number")
    for bad in ("nan", "inf", "-inf")
    for template, field in [("Wall:Exterior, Odd, C, Box, , {bad}, 90, 0, 0, 0, 10, 3;", "Azimuth Angle"),
                            ("Wall:Exterior, Odd, C, Box, , 0, {bad}, 0, 0, 0, 10, 3;", "Tilt Angle"),
                            ("Wall:Exterior, Odd, C, Box, , 0, 90, 0, 0, 0, {bad}, 3;", "Length"),
                            ("Window, Odd, G, South, , 1, {bad}, 1, 1, 1;", "Starting X Coordinate")]
])
def test_numbers_that_cannot_be_measured_skip_their_surface(schema, extra, problem):
    model = box(schema, extra=extra)
    m = geometry.measure(model)
    assert [s.name for s in m.skipped] == ["Odd"] and m.skipped[0].problem.startswith(problem)
    assert m.zones["BOX"].volume == pytest.approx(600) and m.facades["south"].wall_area == pytest.approx(30)
    assert all(math.isfinite(v) for v in (m.floor_area, m.facades["total"].wall_area, m.facades["total"].window_area))
    drawing = geometry.svg(model)
    assert "nan" not in drawing and "inf" not in drawing and drawing.count("<polygon") >= 7


@pytest.mark.parametrize("bad", ["nan", "inf"])
def test_a_zone_or_building_that_cannot_be_placed(schema, bad, tmp_path):
    m = geometry.measure(box(schema, x0=bad))
    assert {s.problem for s in m.skipped} == {f"its zone 'Box' cannot be placed: its X Origin is {float(bad)}, not a finite number",
                                              "its base surface 'South' has no geometry here"}
    assert m.surfaces == [] and m.floor_area == 0
    for negative in ("-10", "0"):
        length = geometry.measure(box(schema, extra=f"Wall:Exterior, Odd, C, Box, , 0, 90, 0, 0, 0, {negative}, 3;"))
        assert f"its Length is {float(negative):g}; a side of a surface is longer than 0" in {
            s.problem for s in length.skipped}
    model = box(schema, north_axis=bad)
    message = f"Building 'Box': its North Axis is {float(bad)}, not a finite number"
    for call in (geometry.measure, geometry.svg, geometry.surfaces):
        with pytest.raises(geometry.GeometryError) as caught:
            call(model)
        assert str(caught.value) == message
    path = tmp_path / "bad.idf"
    path.write_text(model.format())
    for args in (["view", path, "-o", tmp_path / "bad.svg"], ["info", path, "--geometry"]):
        done = run_cli(*args, "--idd", DATA / "geometry.idd")
        assert (done.returncode, done.stderr) == (2, f"quarvel: {path}: {message}\n")
    assert not (tmp_path / "bad.svg").exists()


@pytest.mark.parametrize("edit, expected", [
    # an open zone: its floor area times its height
    (lambda m: m.remove_object(m.get_object_by_name("BuildingSurface:Detailed", "Top")),
     (200, 600, None, "floor area x ceiling height", 3)),
    # entered figures win over the measured ones
    (lambda m: m["Zone"][0].update({"Volume": 500, "Floor Area": 150}), (150, 500, 600, "entered", 3)),
    (lambda m: m["Zone"][0].update({"Volume": "autocalculate", "Ceiling Height": 0}), (200, 600, 600, "surfaces", 3)),
    # an open zone with an entered ceiling height
    (lambda m: (m.remove_object(m.get_object_by_name("BuildingSurface:Detailed", "Top")),
                m["Zone"][0].update({"Ceiling Height": 2.5})), (200, 500, None, "floor area x ceiling height", 2.5)),
])
def test_zone_figures_follow_what_is_entered_then_the_surfaces(schema, edit, expected):
    model = box(schema)
    edit(model)
    zone = geometry.measure(model).zones["BOX"]
    assert (zone.floor_area, zone.volume, zone.measured_volume, zone.volume_source, zone.ceiling_height) == \
        pytest.approx(expected)


def test_a_wall_facing_a_zone_closes_that_zone_too(schema):
    # Box is split at y = 10 by one wall of the south half that faces the zone "North Half".
    halves = """
Zone, North Half;
BuildingSurface:Detailed, N-East, Wall, C, North Half, , Outdoors, , , , , , 10,10,3, 10,10,0, 10,20,0, 10,20,3;
BuildingSurface:Detailed, N-North, Wall, C, North Half, , Outdoors, , , , , , 10,20,3, 10,20,0, 0,20,0, 0,20,3;
BuildingSurface:Detailed, N-West, Wall, C, North Half, , Outdoors, , , , , , 0,20,3, 0,20,0, 0,10,0, 0,10,3;
BuildingSurface:Detailed, N-Floor, Floor, C, North Half, , Ground, , , , , , 0,10,0, 0,20,0, 10,20,0, 10,10,0;
BuildingSurface:Detailed, N-Top, Roof, C, North Half, , Outdoors, , , , , , 0,20,3, 0,10,3, 10,10,3, 10,20,3;
BuildingSurface:Detailed, Split, Wall, C, Box, , Zone, North Half, , , , , 10,10,3, 10,10,0, 0,10,0, 0,10,3;
"""
    model = box(schema, extra=halves)
    model.remove_object(model.get_object_by_name("BuildingSurface:Detailed", "North"))
    for name, vertices in (("East", "10,0,3, 10,0,0, 10,10,0, 10,10,3"), ("West", "0,10,3, 0,10,0, 0,0,0, 0,0,3"),
                           ("Floor", "0,0,0, 0,10,0, 10,10,0, 10,0,0"), ("Top", "0,10,3, 0,0,3, 10,0,3, 10,10,3")):
        values = [float(v) for v in vertices.split(",")]
        model.get_object_by_name("BuildingSurface:Detailed", name).update({11 + i: v for i, v in enumerate(values)})
    zones = geometry.measure(model).zones
    assert (zones["BOX"].volume_source, zones["NORTH HALF"].volume_source) == ("surfaces", "surfaces")
    assert (zones["BOX"].volume, zones["NORTH HALF"].volume) == pytest.approx((300, 300))


def test_a_frame_counts_in_the_window_opening_not_in_its_glass(schema):
    model = box(schema, extra="WindowProperty:FrameAndDivider, Frame, 0.05;\n")
    model.get_object_by_name("FenestrationSurface:Detailed", "Glass")["Frame and Divider Name"] = "frame"
    m = geometry.measure(model)
    assert (m.zones["BOX"].glass_area, m.zones["BOX"].window_area) == pytest.approx((3, 2.1 * 1.6))
    assert m.facades["south"].window_area == pytest.approx(2.1 * 1.6)


def test_shading(schema):
    extra = """
Shading:Site:Detailed, Tree, , , 20,0,0, 20,5,0, 20,5,8;
Shading:Building:Detailed, Neighbour, , , 30,0,0, 30,5,0, 30,5,8;
Shading:Zone:Detailed, Fin, South, , , 0,-1,3, 0,0,3, 0,0,0, 0,-1,0;
"""
    model = box(schema, extra=extra, north_axis=90, system="Relative")
    found = {s.name: s for s in geometry.surfaces(model)}
    assert {found[n].kind for n in ("Tree", "Neighbour", "Fin")} == {"shading"}
    assert found["Fin"].zone == "Box" and found["Neighbour"].vertices[0] == (30, 0, 0)
    # site shading is given in true-north coordinates: turned back into the building's
    assert found["Tree"].vertices[0] == pytest.approx((0, 20, 0))
    assert next(s for s in geometry.surfaces(model, true_north=True) if s.name == "Tree").vertices[0] == (20, 0, 0)


# ---- drawing ------------------------------------------------------------------------------


@pytest.mark.parametrize("view", list(geometry.VIEWS))
def test_the_drawing_holds_one_polygon_per_surface(schema, view):
    model = box(schema, north_axis=30)
    root = ET.fromstring(geometry.svg(model, view=view, zones=True))
    polygons = root.find(f"{SVG}g[@id='surfaces']").findall(f"{SVG}polygon")
    assert len(polygons) == 7
    assert sorted(p.get("class") for p in polygons) == ["floor", "roof", "wall", "wall", "wall", "wall", "window"]
    assert [t.text for t in root.find(f"{SVG}g[@id='zones']")] == ["Box"]
    names = [p.find(f"{SVG}title").text for p in polygons]
    assert names.index("window: FenestrationSurface:Detailed 'Glass'") == \
        names.index("wall: BuildingSurface:Detailed 'South'") + 1  # on its wall
    with pytest.raises(ValueError, match="view must be one of iso, top"):
        geometry.svg(model, view="up")


def test_cli_view_and_geometry_info(tmp_path):
    result = run_cli("view", "--example", "--zones", "-o", tmp_path / "out.svg")
    assert result.returncode == 0 and result.stderr == f"wrote {tmp_path / 'out.svg'}\n"
    root = ET.parse(tmp_path / "out.svg").getroot()
    assert root.find(f"{SVG}title").text == "Small Office - example.idf"
    info = run_cli("info", "--example", "--geometry").stdout.splitlines()
    assert "  south           30.0         3.0        0.100" in info
    assert "geometry: north axis 0 deg, floor area 80.0 m2, volume 240.0 m3 (zones times their multipliers)" in info


def test_the_committed_picture_of_the_example_is_current(tmp_path):
    docs = DATA.parent.parent / "docs" / "example.svg"
    result = run_cli("view", "--example", "--zones", "-o", "-")
    assert result.stdout == docs.read_text()


@needs_real_data
@pytest.mark.parametrize("path", REAL_MODELS, ids=lambda p: p.name)
def test_real_models_draw_and_measure(path):
    model = IDF.from_file(IDD.from_file(REAL_SCHEMA), path)
    m = geometry.measure(model)
    assert m.skipped == [] and m.floor_area > 0
    drawn = [s for s in geometry.surfaces(model) if s.vertices]
    for view in geometry.VIEWS:
        root = ET.fromstring(geometry.svg(model, view=view))
        assert len(root.find(f"{SVG}g[@id='surfaces']").findall(f"{SVG}polygon")) == len(drawn)


def test_the_bundled_example():
    m = geometry.measure(IDF.from_file(IDD.from_file(quarvel.EXAMPLE_IDD), quarvel.EXAMPLE_IDF))
    assert (m.floor_area, m.volume, m.facades["south"].window_to_wall) == pytest.approx((80, 240, 0.1))


def engine_report(stem, table):
    """One table of the engine's input summary of a run of a shared model: {(row, column): value}."""
    import sqlite3
    from contextlib import closing

    with closing(sqlite3.connect(REAL / "results" / stem / "eplusout.sql")) as db:
        rows = db.execute("SELECT RowName, ColumnName, Value FROM TabularDataWithStrings WHERE TableName = ? "
                          "AND ReportName = 'InputVerificationandResultsSummary'", (table,)).fetchall()
    return {(row.strip(), column.strip()): value.strip() for row, column, value in rows}


@needs_real_data
@pytest.mark.parametrize("path", REAL_MODELS, ids=lambda p: p.stem)
def test_measures_agree_with_the_engine_report(path):
    m = geometry.measure(IDF.from_file(IDD.from_file(REAL_SCHEMA), path))
    ours, engines = [], []
    ratios = engine_report(path.stem, "Window-Wall Ratio")
    for orientation, row in (("north", "North (315 to 45 deg)"), ("east", "East (45 to 135 deg)"),
                             ("south", "South (135 to 225 deg)"), ("west", "West (225 to 315 deg)"),
                             ("total", "Total")):
        f = m.facades[orientation]
        for value, column in ((f.wall_area, "Gross Wall Area"), (f.above_ground_wall_area, "Above Ground Wall Area"),
                              (f.window_area, "Window Opening Area")):
            ours.append(value)
            engines.append(float(ratios[(column, row)]))
    zones = engine_report(path.stem, "Zone Summary")
    for z in m.zones.values():
        for value, column in ((z.floor_area, "Area"), (z.volume, "Volume"),
                              (z.exterior_wall_area, "Above Ground Gross Wall Area"),
                              (z.underground_wall_area, "Underground Gross Wall Area"),
                              (z.glass_area, "Window Glass Area"), (z.window_area, "Opening Area")):
            ours.append(value)
            engines.append(float(zones[(z.name.upper(), column)]))
    # the report rounds to 0.01
    assert ours == [pytest.approx(e, rel=0.005, abs=0.006) for e in engines]


# ---- checks -------------------------------------------------------------------------------

def _set_vertices(model, name, text):
    values = [float(v) for v in text.split(",")]
    surface = model.get_object_by_name("BuildingSurface:Detailed", name)
    surface.update({11 + i: v for i, v in enumerate(values)})


@pytest.mark.parametrize(("edit", "expected"), [
    (lambda m: _set_vertices(m, "Top", "0,20,3, 0,0,3, 10,0,3.5, 10,20,3"),
     [("W407", "Box", None), ("W405", "Top", "Its vertex 1 lies 0.12 m off the plane of the others.")]),
    (lambda m: _set_vertices(m, "Top", "0,0,3, 5,0,3, 10,0,3, 7,0,3"),
     [("W407", "Box", None), ("E404", "Top", "Its 4 vertices enclose no area.")]),
    (lambda m: _set_vertices(m, "Top", "0,0,3, 10,0,3, 0,20,3, 5,20,3"),
     [("W407", "Box", None), ("E406", "Top", "Its edges cross each other: its vertices are not in order around it.")]),
    (lambda m: m.remove_object(m.get_object_by_name("BuildingSurface:Detailed", "East")),
     [("W407", "Box", "Its 5 surfaces do not enclose a volume; the engine takes its volume as floor area times "
                      "ceiling height.")]),
])
def test_polygon_and_closure_checks(schema, edit, expected):
    model = box(schema)
    assert [f.code for f in model.validate()] == []
    edit(model)
    found = [(f.code, f.object_name, f.message) for f in model.validate() if f.code[1:3] == "40"]
    assert [(c, n) for c, n, _ in found] == [(c, n) for c, n, _ in expected]
    assert all(m is None or m == got[2] for (*_, m), got in zip(expected, found, strict=True))
