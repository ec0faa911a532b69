"""Matching the surfaces that neighbouring zones share.

`intersect_and_match` finds the surfaces of different zones that lie in one plane facing
each other and overlap, splits each into the part they share and the parts they do not,
and makes every shared pair an interzone pair: outside boundary `Surface`, each naming
the other, the second's vertices the first's reversed, no sun and no wind, and the
second's construction the first's with its layers in the reverse order (an existing
construction when the model has one, else a new "<name> Reversed").
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from quarvel.geometry.editing import (Edit, Edited, field_index, from_declared_corner, stored_texts, to_zone_frame,
                                      vertex_values)
from quarvel.geometry.polygons import (NO_AREA, Plane, area, convex_parts, difference, intersection, is_convex,
                                       touches_edge)
from quarvel.geometry.constructions import mirror
from quarvel.geometry.surfaces import DETAILED_BASE, _Reader, field_text
from quarvel.geometry.vectors import Vec, dot

if TYPE_CHECKING:
    from quarvel.idf import IDF, IDFObject

# Boundaries a surface may have and still be matched: what it faces is not settled yet
# (a floor on the ground may stand on another zone).
OPEN_BOUNDARIES = ("outdoors", "adiabatic", "zone", "ground", "")
PLANE_TOLERANCE = 1e-3  # m between planes, and the sine between normals
LAYERS = ("Outside Layer", *(f"Layer {i}" for i in range(2, 11)))


@dataclass
class _Piece:
    """A part of one surface object: its polygon in the building's coordinates."""

    obj: IDFObject
    zone: str
    points: list[Vec]
    normal: Vec
    matched: bool = False
    name: str = ""
    partner: str = ""
    construction: str | None = None
    moved: bool = False  # its polygon is no longer the object's own
    mirrored: bool = False  # its vertices are its partner's reversed


@dataclass
class _Source:
    """A surface object and the pieces it becomes."""

    obj: IDFObject
    zone: str
    pieces: list[_Piece] = field(default_factory=list)


def intersect_and_match(model: IDF) -> Edited:
    """Splits and matches every overlapping pair of surfaces of different zones (see the
    module's docstring); returns what changed. A non-convex surface that overlaps
    another is first cut into convex pieces. Refused, with nothing changed: a surface to
    split that is not a detailed one, holds windows or doors, or whose rest would have a
    hole."""
    reader = _Reader(model, true_north=False)
    placed = [s for s in reader.all() if s.vertices]
    with_subsurfaces = {(s.base_surface or "").upper() for s in placed if s.is_subsurface}
    sources: list[_Source] = []
    for s in placed:
        if s.is_subsurface or s.kind == "shading" or s.zone is None or s.object is None:
            continue
        if (s.outside or "").lower() not in OPEN_BOUNDARIES:
            continue
        source = _Source(s.object, s.zone)
        source.pieces.append(_Piece(s.object, s.zone, list(s.vertices), reader.rules.outward(s.vertices), name=s.name))
        sources.append(source)
    pairs = _match_all(sources, with_subsurfaces)
    if not pairs:
        return Edited()
    return _write(model, reader, sources, pairs)


def _facing(a: _Piece, b: _Piece) -> bool:
    if a.zone.upper() == b.zone.upper() or dot(a.normal, b.normal) > -1 + PLANE_TOLERANCE:
        return False
    return abs(dot(a.normal, b.points[0]) - dot(a.normal, a.points[0])) <= PLANE_TOLERANCE


def _boxes_meet(a: _Piece, b: _Piece) -> bool:
    for axis in range(3):
        if min(p[axis] for p in a.points) > max(p[axis] for p in b.points) + PLANE_TOLERANCE or \
                min(p[axis] for p in b.points) > max(p[axis] for p in a.points) + PLANE_TOLERANCE:
            return False
    return True


def _match_all(sources: list[_Source], with_subsurfaces: set[str]) -> list[tuple[_Piece, _Piece]]:
    """Splits overlapping pieces until every overlap is one matched pair."""
    pairs: list[tuple[_Piece, _Piece]] = []
    # Candidates by the direction of their plane: the normal rounded and turned to one side.
    groups: dict[tuple[int, int, int], list[_Source]] = {}
    for source in sources:
        n = source.pieces[0].normal
        rounded = (round(n[0] * 100), round(n[1] * 100), round(n[2] * 100))
        key = rounded if rounded > (0, 0, 0) else (-rounded[0], -rounded[1], -rounded[2])
        groups.setdefault(key, []).append(source)
    for group in groups.values():
        if len(group) < 2:
            continue
        changed = True
        while changed:
            changed = False
            pieces = [(source, piece) for source in group for piece in source.pieces if not piece.matched]
            for i, (source_a, a) in enumerate(pieces):
                for source_b, b in pieces[i + 1:]:
                    if not _facing(a, b) or not _boxes_meet(a, b):
                        continue
                    if _split(source_a, a, source_b, b, with_subsurfaces, pairs):
                        changed = True
                        break
                if changed:
                    break
    return pairs


def _split(source_a: _Source, a: _Piece, source_b: _Source, b: _Piece, with_subsurfaces: set[str],
           pairs: list[tuple[_Piece, _Piece]]) -> bool:
    plane = Plane(a.points[0], a.normal)
    flat_a = [plane.flat(p) for p in a.points]
    flat_b = [plane.flat(p) for p in reversed(b.points)]  # b faces the other way: reversed, it turns as a does
    if area(flat_a) < 0:
        flat_a.reverse()
    if area(flat_b) < 0:
        flat_b.reverse()
    same = _same_polygon(flat_a, flat_b)
    if not same and not (is_convex(flat_a) and is_convex(flat_b)):
        # Non-convex surfaces that overlap are cut into convex pieces, which are matched next.
        parts_a, parts_b = convex_parts(flat_a), convex_parts(flat_b)
        if not any(intersection(pa, pb) for pa in parts_a for pb in parts_b):
            return False
        for source, piece, flat, parts in ((source_a, a, flat_a, parts_a), (source_b, b, flat_b, parts_b)):
            if len(parts) > 1:
                _refuse_split(piece, with_subsurfaces, None, flat)
                _replace(source, piece, parts[0], parts[1:], plane, reverse=piece is b)
        return True
    shared = flat_a if same else intersection(flat_a, flat_b)
    if not shared or abs(area(shared)) < NO_AREA:
        return False
    rest_a = [] if same else difference(flat_a, shared)
    rest_b = [] if same else difference(flat_b, shared)
    for piece, flat, rest in ((a, flat_a, rest_a), (b, flat_b, rest_b)):
        if rest:
            _refuse_split(piece, with_subsurfaces, shared, flat)
    pieces_a = _replace(source_a, a, None if same else shared, rest_a, plane, reverse=False)
    pieces_b = _replace(source_b, b, None if same else shared, rest_b, plane, reverse=True)
    pieces_a.matched = pieces_b.matched = True
    pairs.append((pieces_a, pieces_b))
    return True


def _refuse_split(piece: _Piece, with_subsurfaces: set[str], shared: list[tuple[float, float]] | None,
                  flat: list[tuple[float, float]]) -> None:
    """Refuses to split what cannot be split: a surface with windows or doors, a simple
    form, and one whose rest around the `shared` part (None: cut, not shared) would have
    a hole."""
    if piece.name.upper() in with_subsurfaces:
        raise ValueError(f"{piece.obj.class_name} '{piece.name}' holds windows or doors and would be split: "
                         f"split it by hand first")
    if piece.obj.class_name not in DETAILED_BASE:
        raise ValueError(f"{piece.obj.class_name} '{piece.name}' would be split, but only detailed surfaces "
                         f"can be: give it as BuildingSurface:Detailed first")
    if shared is not None and not touches_edge(shared, flat):
        raise ValueError(f"{piece.obj.class_name} '{piece.name}': the part another zone shares lies inside it "
                         f"without reaching its edge, so the rest would have a hole: split it first")


def _same_polygon(a: list[tuple[float, float]], b: list[tuple[float, float]]) -> bool:
    if len(a) != len(b):
        return False
    start = min(range(len(b)), key=lambda i: math.dist(b[i], a[0]))
    return all(math.dist(a[i], b[(start + i) % len(b)]) <= 1e-4 for i in range(len(a)))


def _replace(source: _Source, piece: _Piece, shared: list[tuple[float, float]] | None,
             rest: list[list[tuple[float, float]]], plane: Plane, reverse: bool) -> _Piece:
    """Puts the first part (None: all of the piece, as it stands), which keeps the
    piece's name, and the rest in place of `piece`; returns the first part."""
    def lifted(flat: list[tuple[float, float]]) -> list[Vec]:
        points = [plane.lift(p) for p in flat]
        return list(reversed(points)) if reverse else points

    index = source.pieces.index(piece)
    shared_piece = _Piece(piece.obj, piece.zone, piece.points if shared is None else lifted(shared), piece.normal,
                          name=piece.name, moved=piece.moved or shared is not None)
    others = [_Piece(piece.obj, piece.zone, lifted(flat), piece.normal, moved=True) for flat in rest]
    source.pieces[index:index + 1] = [shared_piece, *others]
    return shared_piece


def _write(model: IDF, reader: _Reader, sources: list[_Source], pairs: list[tuple[_Piece, _Piece]]) -> Edited:
    taken = {str(o[0]).upper() for c in DETAILED_BASE if c in model for o in model[c]}
    # Names: the first piece of a source keeps the object's name; the others "<name> 2", "<name> 3"...
    for source in sources:
        base = str(source.obj[0])
        for k, piece in enumerate(source.pieces):
            if k == 0:
                piece.name = base
                continue
            n = k + 1
            while f"{base} {n}".upper() in taken:
                n += 1
            piece.name = f"{base} {n}"
            taken.add(piece.name.upper())
    for a, b in pairs:
        a.partner, b.partner = b.name, a.name
        if a.moved or b.moved:  # the partner's vertices: exactly the other's, reversed
            b.points, b.moved, b.mirrored = list(reversed(_declared(a, reader))), True, True
    mirrors: dict[str, str] = {}
    new_constructions: dict[str, list[Any]] = {}
    for a, b in pairs:
        a_construction = field_text(a.obj, "Construction Name")
        b.construction = mirror(model, a_construction, mirrors, new_constructions)
    with Edit(model) as edit:
        for name, layers in new_constructions.items():
            edit.add("Construction", [name, *layers])
        for source in sources:
            if len(source.pieces) == 1 and not source.pieces[0].matched:
                continue
            original = stored_texts(source.obj)
            for k, piece in enumerate(source.pieces):
                target = source.obj
                if k > 0:
                    copy: list[Any] = [text or None for text in original]
                    copy[0] = piece.name
                    target = edit.add(source.obj.class_name, copy)
                edit.set(target, _surface_values(target, piece, reader))
    return edit.result


def _declared(piece: _Piece, reader: _Reader) -> list[Vec]:
    """The piece's vertices in the declared order: turning so that the normal points out,
    from the declared corner."""
    points = piece.points
    if dot(reader.rules.outward(tuple(points)), piece.normal) < 0:
        points = list(reversed(points))
    return from_declared_corner(points, piece.normal, reader.rules)


def _surface_values(obj: IDFObject, piece: _Piece, reader: _Reader) -> dict[int, Any]:
    values: dict[int, Any] = {0: piece.name}
    if piece.moved:
        points = piece.points if piece.mirrored else _declared(piece, reader)
        zone = reader.zones.get(piece.zone.upper())
        values.update(vertex_values(obj, [to_zone_frame(p, zone, reader.rules.relative) for p in points]))
    if piece.matched:
        for name, value in (("Outside Boundary Condition", "Surface"),
                            ("Outside Boundary Condition Object", piece.partner),
                            ("Sun Exposure", "NoSun"), ("Wind Exposure", "NoWind"),
                            ("Construction Name", piece.construction)):
            index = field_index(obj, name)
            if index is not None and value is not None:
                values[index] = value
    return values


__all__ = ["intersect_and_match"]

