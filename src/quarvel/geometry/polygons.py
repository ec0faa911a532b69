"""Plane polygons: convex clipping, differences, and the checks a surface's polygon must pass.

Polygons are lists of (u, v) points, counterclockwise. Clipping is Sutherland-Hodgman
against the half-planes of a convex polygon, which stays exact where edges coincide (as
the walls of neighbouring zones do); a difference is cut into convex pieces.
"""

from __future__ import annotations

import math
from collections.abc import Sequence

from quarvel.geometry.vectors import Vec, cross, dot, sub, unit

Point = tuple[float, float]
# Lengths below this (m) are one point; areas below its square times 100 are nothing.
EPSILON = 1e-6
NO_AREA = 1e-4


def area(polygon: Sequence[Point]) -> float:
    """The signed area: positive counterclockwise."""
    total = 0.0
    for i, (x1, y1) in enumerate(polygon):
        x2, y2 = polygon[(i + 1) % len(polygon)]
        total += x1 * y2 - x2 * y1
    return total / 2


def is_convex(polygon: Sequence[Point]) -> bool:
    count = len(polygon)
    for i in range(count):
        (x1, y1), (x2, y2), (x3, y3) = polygon[i], polygon[(i + 1) % count], polygon[(i + 2) % count]
        if (x2 - x1) * (y3 - y2) - (y2 - y1) * (x3 - x2) < -EPSILON:
            return False
    return True


def _clip(polygon: list[Point], a: Point, b: Point, keep_left: bool) -> list[Point]:
    """The part of the polygon on one side of the line through a and b."""
    def side(p: Point) -> float:
        s = ((b[0] - a[0]) * (p[1] - a[1]) - (b[1] - a[1]) * (p[0] - a[0])) / math.dist(a, b)
        return s if keep_left else -s

    out: list[Point] = []
    count = len(polygon)
    for i in range(count):
        p, q = polygon[i], polygon[(i + 1) % count]
        sp, sq = side(p), side(q)
        if sp >= -EPSILON:
            out.append(p)
        if (sp > EPSILON and sq < -EPSILON) or (sp < -EPSILON and sq > EPSILON):
            t = sp / (sp - sq)
            out.append((p[0] + t * (q[0] - p[0]), p[1] + t * (q[1] - p[1])))
    return tidy(out)


def tidy(polygon: list[Point]) -> list[Point]:
    """Without repeated points and without points in the middle of a straight edge."""
    points: list[Point] = []
    for p in polygon:
        if not points or math.dist(points[-1], p) > EPSILON:
            points.append(p)
    while len(points) > 1 and math.dist(points[0], points[-1]) <= EPSILON:
        points.pop()
    changed = True
    while changed and len(points) >= 3:
        changed = False
        for i in range(len(points)):
            a, b, c = points[i - 1], points[i], points[(i + 1) % len(points)]
            if abs((b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0])) <= EPSILON * max(math.dist(a, c), 1):
                del points[i]
                changed = True
                break
    return points if len(points) >= 3 and abs(area(points)) > NO_AREA else []


def intersection(subject: list[Point], convex: list[Point]) -> list[Point]:
    """The part of `subject` inside the convex polygon."""
    result = subject
    for i in range(len(convex)):
        if not result:
            break
        result = _clip(result, convex[i], convex[(i + 1) % len(convex)], keep_left=True)
    return result


def difference(subject: list[Point], convex: list[Point]) -> list[list[Point]]:
    """The part of a convex `subject` outside the convex polygon, as convex pieces."""
    pieces = []
    rest = subject
    for i in range(len(convex)):
        a, b = convex[i], convex[(i + 1) % len(convex)]
        outside = _clip(rest, a, b, keep_left=False)
        if outside:
            pieces.append(outside)
        rest = _clip(rest, a, b, keep_left=True)
        if not rest:
            break
    return pieces


def convex_parts(polygon: list[Point]) -> list[list[Point]]:
    """A simple counterclockwise polygon as convex pieces: ear-clipped into triangles,
    then neighbours joined while the join stays convex (at most four times the fewest
    pieces)."""
    if is_convex(polygon):
        return [polygon]
    parts = _triangles(polygon)
    joined = True
    while joined:
        joined = False
        for i in range(len(parts)):
            for j in range(i + 1, len(parts)):
                union = _join(parts[i], parts[j])
                if union is not None and is_convex(union):
                    parts[i] = union
                    del parts[j]
                    joined = True
                    break
            if joined:
                break
    return parts


def _triangles(polygon: list[Point]) -> list[list[Point]]:
    points = list(polygon)
    out: list[list[Point]] = []
    while len(points) > 3:
        for i in range(len(points)):
            a, b, c = points[i - 1], points[i], points[(i + 1) % len(points)]
            if area([a, b, c]) <= NO_AREA / 100:
                continue  # a reflex or flat corner is no ear
            if any(_in_triangle(p, a, b, c) for p in points if p not in (a, b, c)):
                continue
            out.append([a, b, c])
            del points[i]
            break
        else:
            raise ValueError("the polygon is not simple: it cannot be cut into triangles")
    out.append(points)
    return [t for t in out if area(t) > NO_AREA / 100]


def _in_triangle(p: Point, a: Point, b: Point, c: Point) -> bool:
    def side(u: Point, v: Point) -> float:
        return (v[0] - u[0]) * (p[1] - u[1]) - (v[1] - u[1]) * (p[0] - u[0])

    return side(a, b) >= -EPSILON and side(b, c) >= -EPSILON and side(c, a) >= -EPSILON


def _join(p: list[Point], q: list[Point]) -> list[Point] | None:
    """Two polygons that share an edge (a to b in one, b to a in the other) as one."""
    for i in range(len(p)):
        a, b = p[i], p[(i + 1) % len(p)]
        for j in range(len(q)):
            if math.dist(q[j], b) <= EPSILON and math.dist(q[(j + 1) % len(q)], a) <= EPSILON:
                from_b = p[i + 1:] + p[:i + 1]  # b ... a
                from_a = q[j + 1:] + q[:j + 1]  # a ... b
                union = tidy(from_b + from_a[1:-1])
                return union or None
    return None


def contains(polygon: Sequence[Point], point: Point) -> bool:
    """Ray casting: whether a point lies inside a polygon of the plane (any shape)."""
    x, y = point
    inside = False
    for (x1, y1), (x2, y2) in zip(polygon, [*polygon[1:], polygon[0]]):
        if (y1 > y) != (y2 > y) and x < x1 + (y - y1) * (x2 - x1) / (y2 - y1):
            inside = not inside
    return inside


def distance_to_edges(point: Point, polygon: Sequence[Point]) -> float:
    """The distance from a point to the nearest edge of a polygon."""
    best = math.inf
    for (x1, y1), (x2, y2) in zip(polygon, [*polygon[1:], polygon[0]]):
        dx, dy = x2 - x1, y2 - y1
        span = dx * dx + dy * dy
        t = 0.0 if span == 0 else max(0.0, min(1.0, ((point[0] - x1) * dx + (point[1] - y1) * dy) / span))
        best = min(best, math.hypot(point[0] - x1 - t * dx, point[1] - y1 - t * dy))
    return best


def touches_edge(inner: list[Point], outer: list[Point]) -> bool:
    """Whether a polygon inside another reaches the other's boundary somewhere."""
    return any(distance_to_edges(p, outer) <= 1e-4 for p in inner)


def crosses_itself(polygon: Sequence[Point]) -> bool:
    """Whether two edges that do not meet at a vertex cross or touch."""
    count = len(polygon)
    for i in range(count):
        a, b = polygon[i], polygon[(i + 1) % count]
        for j in range(i + 2, count):
            if i == 0 and j == count - 1:
                continue
            c, d = polygon[j], polygon[(j + 1) % count]
            if _segments_meet(a, b, c, d):
                return True
    return False


def _segments_meet(a: Point, b: Point, c: Point, d: Point) -> bool:
    def orient(p: Point, q: Point, r: Point) -> float:
        return (q[0] - p[0]) * (r[1] - p[1]) - (q[1] - p[1]) * (r[0] - p[0])

    def on(p: Point, q: Point, r: Point) -> bool:
        return min(p[0], q[0]) - EPSILON <= r[0] <= max(p[0], q[0]) + EPSILON and \
            min(p[1], q[1]) - EPSILON <= r[1] <= max(p[1], q[1]) + EPSILON

    scale_ = max(math.dist(a, b), math.dist(c, d), 1.0)
    o1, o2, o3, o4 = orient(a, b, c), orient(a, b, d), orient(c, d, a), orient(c, d, b)
    tol = EPSILON * scale_
    if ((o1 > tol and o2 < -tol) or (o1 < -tol and o2 > tol)) and ((o3 > tol and o4 < -tol) or (o3 < -tol and o4 > tol)):
        return True
    return any(abs(o) <= tol and on(p, q, r) for o, p, q, r in
               ((o1, a, b, c), (o2, a, b, d), (o3, c, d, a), (o4, c, d, b)))


class Plane:
    """A plane through a point with a unit normal, and 2-D coordinates in it: seen from
    the side the normal points to, (u, v) turn counterclockwise."""

    def __init__(self, origin: Vec, normal: Vec) -> None:
        self.origin, self.normal = origin, unit(normal)
        across = unit(cross((0.0, 0.0, 1.0), self.normal))
        if across == (0.0, 0.0, 0.0):
            across = (1.0, 0.0, 0.0)
        self.u, self.v = across, cross(self.normal, across)

    def flat(self, point: Vec) -> Point:
        d = sub(point, self.origin)
        return (dot(d, self.u), dot(d, self.v))

    def lift(self, point: Point) -> Vec:
        o, u, v = self.origin, self.u, self.v
        return (o[0] + point[0] * u[0] + point[1] * v[0], o[1] + point[0] * u[1] + point[1] * v[1],
                o[2] + point[0] * u[2] + point[1] * v[2])

    def distance(self, point: Vec) -> float:
        return dot(sub(point, self.origin), self.normal)
