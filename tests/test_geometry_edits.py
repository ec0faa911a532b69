"""Geometry edits: moving, turning and scaling the building, and setting its windows."""

from __future__ import annotations

import math

import pytest

from quarvel import geometry
from quarvel.geometry.editing import Edit
from quarvel.geometry.vectors import add, rotate_z
from quarvel.idd import IDD
from quarvel.idf import IDF

from .realdata import REAL_MODELS, REAL_SCHEMA, needs_real_data
from .test_geometry import BOX, SIMPLE, box, schema  # noqa: F401 (a fixture)

SITE = "Shading:Site:Detailed, Tree, , , 20,0,0, 20,5,0, 20,5,8;\n"


def placed(model):
    return {s.name: s.vertices for s in geometry.surfaces(model)}


def same_points(a, b):
    return all(math.isclose(x, y, abs_tol=1e-7) for p, q in zip(a, b, strict=True) for x, y in zip(p, q, strict=True))


EDITS = [
    (lambda m: geometry.translate(m, 5, -2, 1), lambda p: add(p, (5, -2, 1)), 1),
    (lambda m: geometry.rotate(m, 90), lambda p: rotate_z(p, 90), 1),
    (lambda m: geometry.rotate(m, -30, origin=(5, 10)), lambda p: add(rotate_z(add(p, (-5, -10, 0)), -30), (5, 10, 0)), 1),
    (lambda m: geometry.scale(m, 2), lambda p: (2 * p[0], 2 * p[1], 2 * p[2]), 2),
]


@pytest.mark.parametrize("frame", [dict(system="World"), dict(system="Relative", zone_north=20, x0=3, y0=-4)],
                         ids=["world", "relative"])
@pytest.mark.parametrize(("edit", "expected", "factor"), EDITS, ids=["translate", "rotate", "rotate-about", "scale"])
def test_transforms_move_every_surface_as_one_body(schema, frame, edit, expected, factor):
    text = BOX.format(north_axis=0, multiplier=1, **{"zone_north": 0, "x0": 0, "y0": 0, **frame})
    model = IDF.from_string(schema, text + SIMPLE + SITE)
    before, measured = placed(model), geometry.measure(model)
    done = edit(model)
    after = placed(model)
    for name, points in before.items():
        want = points if name == "Tree" else tuple(expected(p) for p in points)
        assert same_points(after[name], want), name
    zone = geometry.measure(model).zones["BOX"]
    assert (zone.floor_area, zone.volume, zone.window_area) == pytest.approx(
        (measured.zones["BOX"].floor_area * factor ** 2, measured.zones["BOX"].volume * factor ** 3,
         measured.zones["BOX"].window_area * factor ** 2))
    assert done.added == [] and done.removed == [] and len(done.changed) > 0
    assert IDF.from_string(schema, model.format()).format() == model.format()


def test_a_turn_turns_the_facades_and_site_shading_moves_only_when_asked(schema):
    model = box(schema, extra=SITE)
    geometry.rotate(model, 90)
    assert geometry.measure(model).facades["west"].window_area == pytest.approx(3)  # the south window now faces west
    tree = placed(model)["Tree"]
    geometry.rotate(model, 90, site_shading=True)
    assert same_points(placed(model)["Tree"], [rotate_z(p, 90) for p in tree])


def test_entered_zone_figures_scale(schema):
    model = box(schema)
    model["Zone"][0].update({"Ceiling Height": 3, "Volume": 600, "Floor Area": 200})
    geometry.scale(model, 0.5)
    assert model["Zone"][0].get_values()[7:10] == [1.5, 75, 50]


@pytest.mark.parametrize(("edit", "message"), [
    (lambda m: geometry.translate(m, "1", 0), "dx must be a finite number, not '1'"),
    (lambda m: geometry.rotate(m, math.nan), "degrees must be a finite number, not nan"),
    (lambda m: geometry.scale(m, 0), "factor must be greater than 0, not 0"),
    (lambda m: geometry.set_window_to_wall(m, 1), "ratio must lie between 0 and 1, not 1"),
    (lambda m: geometry.set_window_to_wall(m, 0.3, "up"),
     "orientation must be one of north, east, south, west, not 'up'"),
    (lambda m: geometry.set_window_to_wall(m, 0.3, sill_height=2.9),
     "wall 'South' is too small for a window of ratio 0.3 above a sill of 2.9 m "
     "(skip_small=True leaves such walls as they are)"),
    (lambda m: geometry.set_window_to_wall(m, 0.3, "north", construction="G"),
     "wall 'North': a window of ratio 0.3 does not fit beside its doors"),
])
def test_bad_edits_are_refused_and_change_nothing(schema, edit, message):
    model = box(schema, extra="Door, Wide, D, North, 1, 0.1, 0, 9.8, 2.9;\n")
    before = model.format()
    with pytest.raises(ValueError) as refused:
        edit(model)
    assert str(refused.value) == message and model.format() == before


def test_an_edit_that_fails_on_the_way_is_rolled_back(schema):
    model = box(schema)
    before = model.format()
    with pytest.raises(RuntimeError), Edit(model) as edit:
        edit.set(model["Zone"][0], {1: 45, 6: 2.5})
        edit.add("Zone", ["Second"])
        edit.remove(model.get_object_by_name("BuildingSurface:Detailed", "Top"))
        raise RuntimeError("on the way")
    assert model.format() == before


def test_window_to_wall_replaces_windows_with_one_centred_window(schema):
    extra = "WindowProperty:FrameAndDivider, Frame, 0.05;\nDoor, Entry, D, South, 1, 0.5, 0, 1, 2;\n"
    model = box(schema, extra=extra)
    model.get_object_by_name("FenestrationSurface:Detailed", "Glass")["Frame and Divider Name"] = "Frame"
    model.add_object("FenestrationSurface:Detailed", ["Second", "Window", "G", "South", "", "", "", 1, 4,
                                                      8, 0, 2.5, 8, 0, 1, 9, 0, 1, 9, 0, 2.5])
    done = geometry.set_window_to_wall(model, 0.25, "south", sill_height=0.9)
    assert done.removed == [("FenestrationSurface:Detailed", "Second")] and done.added == []
    m = geometry.measure(model)
    assert m.facades["south"].window_area == pytest.approx(0.25 * 30) and m.facades["east"].window_area == 0
    glass = next(s for s in m.surfaces if s.surface.name == "Glass")
    xs, zs = [p[0] for p in glass.surface.vertices], [p[2] for p in glass.surface.vertices]
    # the door at x 0.5..1.5 stays, and the window keeps clear of it
    assert "Entry" in placed(model) and min(xs) > 1.5
    assert min(zs) == pytest.approx(0.9 + geometry.windows.MARGIN + 0.05)
    assert glass.surface.object["Frame and Divider Name"] == "Frame"
    assert glass.normal == pytest.approx((0, -1, 0))  # the wall's order: it faces out


@needs_real_data
@pytest.mark.parametrize("path", REAL_MODELS, ids=lambda p: p.stem)
def test_real_models_take_a_window_to_wall_ratio_and_a_turn(path):
    schema = IDD.from_file(REAL_SCHEMA)
    model = IDF.from_file(schema, path)
    findings = len(model.validate())
    before = geometry.measure(model)
    geometry.rotate(model, 90)
    turned = geometry.measure(model)
    assert [turned.facades[o].wall_area for o in ("east", "south", "west", "north")] == pytest.approx(
        [before.facades[o].wall_area for o in ("north", "east", "south", "west")])
    assert turned.volume == pytest.approx(before.volume)
    text = model.format()
    try:
        done = geometry.set_window_to_wall(model, 0.3, skip_small=True, construction="Any Glazing")
    except ValueError as refused:
        assert "does not fit beside its doors" in str(refused) and model.format() == text
        return
    after = geometry.measure(model)
    for orientation in ("north", "east", "south", "west"):
        facade = after.facades[orientation]
        if facade.above_ground_wall_area and not done.skipped:
            assert facade.above_ground_window_to_wall == pytest.approx(0.3)
    dangling = {obj[0] for obj, _ in model.find_dangling_references()}
    assert dangling <= {w[0] for w in done.added}  # only the new windows' construction, when it was given
    assert len(model.validate()) - findings == len(dangling)
    assert IDF.from_string(schema, model.format()).format() == model.format()


# ---- blocks and matching ------------------------------------------------------------------

CONSTRUCTIONS = {"wall": "Outer", "floor": "Slab", "ceiling": "Outer", "roof": "Outer"}


def site(schema, rules="UpperLeftCorner, Counterclockwise, Relative"):
    return IDF.from_string(schema, f"Building, Site, 0;\nGlobalGeometryRules, {rules};\n"
                                   "Construction, Outer, Brick, Insulation;\nConstruction, Slab, Concrete;\n")


def surface(model, name):
    return model.get_object_by_name("BuildingSurface:Detailed", name)


@pytest.mark.parametrize("rules", ["UpperLeftCorner, Counterclockwise, Relative", "LowerRightCorner, Clockwise, World"])
def test_blocks_side_by_side_are_split_and_matched(schema, rules):
    model = site(schema, rules)
    stacked = geometry.add_block(model, "A", [(0, 0), (10, 0), (10, 10), (0, 10)], 3, 2, constructions=CONSTRUCTIONS)
    geometry.add_block(model, "B", [(20, 6), (10, 6), (10, 2), (20, 2)], 3, constructions=CONSTRUCTIONS)  # clockwise
    assert len(stacked.added) == 2 * (1 + 4 + 1) + 2 and surface(model, "A Story 2 Floor")[6] == "A Story 1 Ceiling"
    volumes = {k: z.measured_volume for k, z in geometry.measure(model).zones.items()}
    assert volumes == pytest.approx({"A STORY 1": 300, "A STORY 2": 300, "B": 120})

    done = geometry.intersect_and_match(model)
    assert sorted(o[0] for o in done.added) == ["A Story 1 Wall 2 2", "A Story 1 Wall 2 3", "Outer Reversed"]
    m = geometry.measure(model)
    assert {k: z.measured_volume for k, z in m.zones.items()} == pytest.approx(volumes)  # every zone still closes
    areas = {s.surface.name: s.area for s in m.surfaces}
    assert areas["A Story 1 Wall 2"] == pytest.approx(12)
    assert sorted(areas[n] for n in ("A Story 1 Wall 2 2", "A Story 1 Wall 2 3")) == pytest.approx([6, 12])
    shared, partner = surface(model, "A Story 1 Wall 2"), surface(model, "B Wall 2")
    assert (shared[5], shared[6], partner[5], partner[6]) == ("Surface", "B Wall 2", "Surface", "A Story 1 Wall 2")
    assert (partner[7], partner[8], partner[2]) == ("NoSun", "NoWind", "Outer Reversed")
    assert model.get_object_by_name("Construction", "Outer Reversed").get_values() == \
        ["Outer Reversed", "Insulation", "Brick"]
    placed_a, placed_b = placed(model)["A Story 1 Wall 2"], placed(model)["B Wall 2"]
    assert same_points(placed_a, tuple(reversed(placed_b)))
    for rest in ("A Story 1 Wall 2 2", "A Story 1 Wall 2 3"):
        assert surface(model, rest)[5] == "Outdoors"
    # matching again finds nothing new; the result reads back as it is
    assert str(geometry.intersect_and_match(model)) == "0 added, 0 changed, 0 removed"
    assert IDF.from_string(schema, model.format()).format() == model.format()


def test_a_non_convex_floor_on_a_roof_is_cut_and_matched(schema):
    model = site(schema)
    geometry.add_block(model, "A", [(0, 0), (10, 0), (10, 10), (0, 10)], 3, constructions=CONSTRUCTIONS)
    geometry.add_block(model, "B", [(5, 5), (15, 5), (15, 15), (10, 15), (10, 10), (5, 10)], 3, base_z=3,
                       constructions=CONSTRUCTIONS)  # an L whose corner stands on A
    before = {k: z.measured_volume for k, z in geometry.measure(model).zones.items()}
    geometry.intersect_and_match(model)
    m = geometry.measure(model)
    assert {k: z.measured_volume for k, z in m.zones.items()} == pytest.approx(before)
    by_zone = {}
    for s in m.surfaces:
        by_zone.setdefault((s.surface.zone, s.surface.kind, s.surface.outside), []).append(s.area)
    assert sum(by_zone[("A", "roof", "Surface")]) == pytest.approx(25)
    assert sum(by_zone[("B", "floor", "Surface")]) == pytest.approx(25)
    assert sum(by_zone[("A", "roof", "Outdoors")]) == pytest.approx(75)
    assert sum(by_zone[("B", "floor", "Ground")]) == pytest.approx(50)
    assert [f.code for f in model.validate()] == []


@pytest.mark.parametrize(("second", "message"), [
    (lambda m: geometry.add_block(m, "B", [(10, 2), (20, 2), (20, 6), (10, 6)], 1, base_z=1,
                                  constructions=CONSTRUCTIONS),
     "BuildingSurface:Detailed 'A Wall 2': the part another zone shares lies inside it without reaching its edge, "
     "so the rest would have a hole: split it first"),
    (lambda m: (geometry.add_block(m, "B", [(10, 2), (20, 2), (20, 6), (10, 6)], 3, constructions=CONSTRUCTIONS),
                m.add_object("FenestrationSurface:Detailed", ["Pane", "Window", "G", "A Wall 2", "", "", "", 1, 4,
                                                              10, 8, 2, 10, 8, 1, 10, 9, 1, 10, 9, 2])),
     "BuildingSurface:Detailed 'A Wall 2' holds windows or doors and would be split: split it by hand first"),
])
def test_matches_that_cannot_be_made_are_refused(schema, second, message):
    model = site(schema)
    geometry.add_block(model, "A", [(0, 0), (10, 0), (10, 10), (0, 10)], 3, constructions=CONSTRUCTIONS)
    second(model)
    before = model.format()
    with pytest.raises(ValueError) as refused:
        geometry.intersect_and_match(model)
    assert str(refused.value) == message and model.format() == before


@pytest.mark.parametrize(("args", "message"), [
    (([(0, 0), (1, 1), (0, 1), (1, 0)], 3), "footprint edges cross each other"),
    (([(0, 0), (1, 0), (2, 0)], 3), "footprint must have at least 3 corners that enclose an area"),
    (([(0, 0), (1, 0), (1, 1)], 0), "height must be a positive number of metres, not 0"),
    (([(0, 0), (1, 0), (1, 1)], 3, 0), "stories must be a whole number from 1, not 0"),
    (([(0, 0), ("a", 0), (1, 1)], 3), "footprint must be a sequence of (x, y) numbers"),
])
def test_blocks_that_cannot_be_built_are_refused(schema, args, message):
    model = site(schema)
    with pytest.raises(ValueError) as refused:
        geometry.add_block(model, "A", *args, constructions=CONSTRUCTIONS)
    assert str(refused.value) == message and len(model) == 4


def test_a_block_needs_a_free_name_and_its_constructions(schema):
    model = site(schema)
    with pytest.raises(ValueError, match=r"the model has no wall to take a construction from: give constructions="):
        geometry.add_block(model, "A", [(0, 0), (1, 0), (1, 1)], 3)
    geometry.add_block(model, "A", [(0, 0), (1, 0), (1, 1)], 3, constructions=CONSTRUCTIONS)
    with pytest.raises(ValueError, match="the model already has a zone 'a'"):
        geometry.add_block(model, "a", [(0, 0), (1, 0), (1, 1)], 3)  # and now the constructions come from the model


@needs_real_data
@pytest.mark.parametrize("path", REAL_MODELS, ids=lambda p: p.stem)
def test_real_models_match_again_what_was_unmatched(path):
    schema = IDD.from_file(REAL_SCHEMA)
    model = IDF.from_file(schema, path)
    assert str(geometry.intersect_and_match(model)) == "0 added, 0 changed, 0 removed"  # already matched
    partners = {}
    for obj in model["BuildingSurface:Detailed"]:
        partner = obj["Outside Boundary Condition Object"]
        if str(obj["Outside Boundary Condition"]).lower() == "surface" and str(partner).upper() != obj[0].upper():
            partners[obj[0]] = partner
            obj.update({"Outside Boundary Condition": "Outdoors", "Outside Boundary Condition Object": None})
    findings = len(model.validate())
    done = geometry.intersect_and_match(model)
    found = {o[0]: o["Outside Boundary Condition Object"] for o in model["BuildingSurface:Detailed"]
             if str(o["Outside Boundary Condition"]).lower() == "surface" and o[0] in partners}
    assert found == partners and done.added == [] and len(model.validate()) == findings
    # a block beside it takes the model's own constructions and adds no finding
    added = geometry.add_block(model, "Annex", [(1000, 0), (1010, 0), (1010, 10), (1000, 10)], 3, 2)
    assert len(added.added) == 14 and len(model.validate()) == findings
    assert IDF.from_string(schema, model.format()).format() == model.format()
