"""Whether a zone's surfaces enclose a volume, as the engine decides it: every edge of
every surface is met, along its whole length, by edges of other surfaces running the
other way (one long edge may be met by several short ones)."""

from __future__ import annotations

from collections.abc import Sequence

from quarvel.geometry.vectors import Vec, cross, dot, length, scale, sub

# Metres: how far apart two edges may lie and still be one.
TOLERANCE = 0.01

Edge = tuple[Vec, Vec]


def open_edge(polygons: Sequence[Sequence[Vec]]) -> tuple[int, Edge] | None:
    """The first edge no other edge meets along its whole length (with the index of its
    polygon), None when the polygons enclose a volume."""
    edges: list[tuple[int, Vec, Vec]] = []
    lines: dict[tuple[int, int, int], list[int]] = {}
    for k, polygon in enumerate(polygons):
        for i, a in enumerate(polygon):
            b = polygon[(i + 1) % len(polygon)]
            d = sub(b, a)
            span = length(d)
            if span <= TOLERANCE:
                continue
            u = scale(d, 1 / span)
            key = _direction_key(u)
            lines.setdefault(key, []).append(len(edges))
            edges.append((k, a, b))
    everything = range(len(edges))
    # Most edges are met by one edge with the same ends the other way round: found by
    # their ends rounded to 0.1 mm. Others are looked for among the edges of about the same
    # direction, and one still open among all (a direction on the edge of two keys).
    ends = {(_point_key(a), _point_key(b)) for _, a, b in edges}
    for index, (k, a, b) in enumerate(edges):
        if (_point_key(b), _point_key(a)) in ends:
            continue
        if not _met(edges, index, lines[_direction_key(_unit(a, b))]) and not _met(edges, index, everything):
            return k, (a, b)
    return None


def _point_key(p: Vec) -> tuple[int, int, int]:
    return (round(p[0] * 1e4), round(p[1] * 1e4), round(p[2] * 1e4))


def _unit(a: Vec, b: Vec) -> Vec:
    d = sub(b, a)
    return scale(d, 1 / length(d))


def _met(edges: list[tuple[int, Vec, Vec]], index: int, candidates: Sequence[int]) -> bool:
    _, a, b = edges[index]
    u = _unit(a, b)
    span = dot(sub(b, a), u)
    covered: list[tuple[float, float]] = []
    for other in candidates:
        if other == index:
            continue
        _, c, e = edges[other]
        if dot(sub(e, c), u) >= 0 or _off_line(c, a, u) > TOLERANCE or _off_line(e, a, u) > TOLERANCE:
            continue
        t1, t2 = dot(sub(c, a), u), dot(sub(e, a), u)
        covered.append((min(t1, t2), max(t1, t2)))
    return _covers(covered, span)


def _direction_key(u: Vec) -> tuple[int, int, int]:
    """The same key for a direction and its opposite (rounded to hundredths)."""
    rounded = (round(u[0] * 50), round(u[1] * 50), round(u[2] * 50))
    return rounded if rounded > (0, 0, 0) else (-rounded[0], -rounded[1], -rounded[2])


def _off_line(point: Vec, origin: Vec, direction: Vec) -> float:
    return length(cross(sub(point, origin), direction))


def _covers(intervals: list[tuple[float, float]], span: float) -> bool:
    reached = 0.0
    for start, end in sorted(intervals):
        if start > reached + TOLERANCE:
            return False
        reached = max(reached, end)
        if reached >= span - TOLERANCE:
            return True
    return reached >= span - TOLERANCE
