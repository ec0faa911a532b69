"""Small 3-D vector arithmetic on (x, y, z) tuples, and the plane measures of polygons."""

from __future__ import annotations

import math
from collections.abc import Sequence

Vec = tuple[float, float, float]


def add(a: Vec, b: Vec) -> Vec:
    return (a[0] + b[0], a[1] + b[1], a[2] + b[2])


def sub(a: Vec, b: Vec) -> Vec:
    return (a[0] - b[0], a[1] - b[1], a[2] - b[2])


def scale(a: Vec, k: float) -> Vec:
    return (a[0] * k, a[1] * k, a[2] * k)


def dot(a: Vec, b: Vec) -> float:
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]


def cross(a: Vec, b: Vec) -> Vec:
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def length(a: Vec) -> float:
    return math.sqrt(dot(a, a))


def unit(a: Vec) -> Vec:
    n = length(a)
    return (0.0, 0.0, 0.0) if n == 0 else scale(a, 1 / n)


def newell(points: Sequence[Vec]) -> Vec:
    """Twice the vector area of a polygon (Newell's method): its direction follows the
    right-hand rule over the vertex order, its length is twice the area. Exact for planar
    polygons of any vertex count, convex or not."""
    nx = ny = nz = 0.0
    count = len(points)
    for i in range(count):
        x1, y1, z1 = points[i]
        x2, y2, z2 = points[(i + 1) % count]
        nx += (y1 - y2) * (z1 + z2)
        ny += (z1 - z2) * (x1 + x2)
        nz += (x1 - x2) * (y1 + y2)
    return (nx, ny, nz)


def centroid(points: Sequence[Vec]) -> Vec:
    """The mean of the vertices (for labels and drawing order, not for mass)."""
    count = len(points) or 1
    return (sum(p[0] for p in points) / count, sum(p[1] for p in points) / count, sum(p[2] for p in points) / count)


def rotate_z(point: Vec, degrees: float) -> Vec:
    """Turns a point clockwise about the vertical axis, as compass angles turn: what
    points north in the turned frame points to the azimuth `degrees`."""
    if degrees == 0:
        return point
    a = math.radians(degrees)
    c, s = math.cos(a), math.sin(a)
    x, y, z = point
    return (x * c + y * s, -x * s + y * c, z)


def azimuth(direction: Vec) -> float:
    """The compass angle (0 north, 90 east) of a direction's horizontal part."""
    return math.degrees(math.atan2(direction[0], direction[1])) % 360.0


def tilt(direction: Vec) -> float:
    """The angle from straight up: 0 facing up, 90 vertical, 180 facing down."""
    return math.degrees(math.acos(max(-1.0, min(1.0, unit(direction)[2]))))
