"""A drawing of the building as SVG: surfaces projected, back to front, filled by kind."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING
from xml.sax.saxutils import escape

from quarvel.geometry.surfaces import Surface, surfaces
from quarvel.geometry.vectors import Vec, centroid, cross, dot

if TYPE_CHECKING:
    from quarvel.idf import IDF

# Each view: the direction the eye looks in, and the direction that is right on paper.
_S3, _S2 = 1 / math.sqrt(3), 1 / math.sqrt(2)
VIEWS: dict[str, tuple[Vec, Vec]] = {
    "iso": ((-_S3, _S3, -_S3), (_S2, _S2, 0.0)),  # from the south-east, above
    "top": ((0.0, 0.0, -1.0), (1.0, 0.0, 0.0)),
    "south": ((0.0, 1.0, 0.0), (1.0, 0.0, 0.0)),
    "north": ((0.0, -1.0, 0.0), (-1.0, 0.0, 0.0)),
    "east": ((-1.0, 0.0, 0.0), (0.0, 1.0, 0.0)),
    "west": ((1.0, 0.0, 0.0), (0.0, -1.0, 0.0)),
}
COLOURS = {
    "wall": "#e9dfc9", "roof": "#b6573d", "ceiling": "#d8d2c4", "floor": "#9a9a9a", "window": "#4ea3e0",
    "glass door": "#4ea3e0", "door": "#8a5a32", "shading": "#8e7cc3",
}
TRANSLUCENT = {"window", "glass door"}
WIDTH = 900.0  # of the drawing area, in pixels
MARGIN = 20.0
HEADER = 36.0
LEGEND_WIDTH = 130.0


def _fmt(value: float) -> str:
    text = f"{value:.1f}"
    return "0.0" if text == "-0.0" else text


def svg(model: IDF, *, view: str = "iso", zones: bool = False, title: str | None = None) -> str:
    """The building drawn as an SVG document, in true-north coordinates (north is up in
    the top view). `view`: one of VIEWS; `zones` labels each zone at its centroid."""
    if view not in VIEWS:
        raise ValueError(f"view must be one of {', '.join(VIEWS)}, not {view!r}")
    eye, right = VIEWS[view]
    up = cross(right, eye)
    drawn = [s for s in surfaces(model, true_north=True) if s.vertices]

    def project(p: Vec) -> tuple[float, float]:
        return dot(p, right), -dot(p, up)

    order = _back_to_front(drawn, eye)
    points = [project(p) for s in drawn for p in s.vertices]
    if points:
        left, top = min(x for x, _ in points), min(y for _, y in points)
        span_x = max(x for x, _ in points) - left or 1.0
        span_y = max(y for _, y in points) - top or 1.0
    else:
        left = top = 0.0
        span_x = span_y = 1.0
    k = (WIDTH - 2 * MARGIN) / max(span_x, span_y)
    height = span_y * k + 2 * MARGIN

    def place(p: Vec) -> str:
        x, y = project(p)
        return f"{_fmt(MARGIN + (x - left) * k)},{_fmt(HEADER + MARGIN + (y - top) * k)}"

    name = title if title is not None else model_name(model)
    kinds = [kind for kind in COLOURS if any(s.kind == kind for s in drawn)]
    total_width = WIDTH + LEGEND_WIDTH
    total_height = max(HEADER + height, HEADER + 40 + 20 * len(kinds) + 90)
    out = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{_fmt(total_width)}" height="{_fmt(total_height)}" '
        f'viewBox="0 0 {_fmt(total_width)} {_fmt(total_height)}" font-family="sans-serif">',
        f"<title>{escape(name)}</title>",
        "<style>polygon{stroke:#333;stroke-width:0.6;stroke-linejoin:round}"
        + "".join(f".{_css(kind)}{{fill:{colour}{';fill-opacity:0.55' if kind in TRANSLUCENT else ''}}}"
                  for kind, colour in COLOURS.items())
        + "</style>",
        f'<rect width="{_fmt(total_width)}" height="{_fmt(total_height)}" fill="#ffffff"/>',
        f'<text x="{_fmt(MARGIN)}" y="24" font-size="16">{escape(name)} ({view} view)</text>',
        '<g id="surfaces">',
    ]
    for s in order:
        label = f"{s.kind}: {s.class_name} '{s.name}'"
        out.append(f'<polygon class="{_css(s.kind)}" points="{" ".join(place(p) for p in s.vertices)}">'
                   f"<title>{escape(label)}</title></polygon>")
    out.append("</g>")
    if zones:
        out.append('<g id="zones" font-size="12" text-anchor="middle">')
        for zone, where in _zone_centres(drawn).items():
            x, y = place(where).split(",")
            out.append(f'<text x="{x}" y="{y}" stroke="#ffffff" stroke-width="3" paint-order="stroke">'
                       f"{escape(zone)}</text>")
        out.append("</g>")
    out += _legend(kinds, WIDTH + 10, HEADER + 10)
    out += _north_arrow(right, up, WIDTH + 10 + 50, HEADER + 40 + 20 * len(kinds) + 40)
    out.append("</svg>")
    return "\n".join(out) + "\n"


def _css(kind: str) -> str:
    return kind.replace(" ", "-")


def model_name(model: IDF) -> str:
    """The Building object's name, or 'IDF model'."""
    buildings = model["Building"] if "Building" in model else ()
    return str(buildings[0][0]) if buildings and buildings[0][0] else "IDF model"


def _back_to_front(drawn: list[Surface], eye: Vec) -> list[Surface]:
    """Far surfaces first; a window or door right after the surface it sits on, so that
    it shows on it."""
    on: dict[str, list[Surface]] = {}
    free = []
    names = {s.name.upper() for s in drawn if not s.is_subsurface}
    for s in drawn:
        base = (s.base_surface or "").upper()
        if s.is_subsurface and base in names:
            on.setdefault(base, []).append(s)
        else:
            free.append(s)
    free.sort(key=lambda s: -min(dot(p, eye) for p in s.vertices))
    ordered = []
    for s in free:
        ordered.append(s)
        ordered.extend(on.get(s.name.upper(), ()))
    return ordered


def _zone_centres(drawn: list[Surface]) -> dict[str, Vec]:
    points: dict[str, list[Vec]] = {}
    for s in drawn:
        if s.zone and not s.is_subsurface and s.kind != "shading":
            points.setdefault(s.zone, []).extend(s.vertices)
    return {zone: centroid(vertices) for zone, vertices in points.items()}


def _legend(kinds: list[str], x: float, y: float) -> list[str]:
    out = ['<g id="legend" font-size="12">']
    for i, kind in enumerate(kinds):
        top = y + 20 * i
        out.append(f'<rect x="{_fmt(x)}" y="{_fmt(top)}" width="14" height="14" class="{_css(kind)}" '
                   f'fill="{COLOURS[kind]}" stroke="#333" stroke-width="0.6"/>')
        out.append(f'<text x="{_fmt(x + 20)}" y="{_fmt(top + 11)}">{escape(kind)}</text>')
    out.append("</g>")
    return out


def _north_arrow(right: Vec, up: Vec, cx: float, cy: float) -> list[str]:
    """True north as the view shows it; a dot or a cross when it points out of or into the paper."""
    north = (0.0, 1.0, 0.0)
    dx, dy = dot(north, right), -dot(north, up)
    out = ['<g id="north" font-size="12" text-anchor="middle">']
    if math.hypot(dx, dy) < 0.3:
        towards = cross(right, up)
        mark = "into the page" if dot(north, towards) < 0 else "out of the page"
        out.append(f'<circle cx="{_fmt(cx)}" cy="{_fmt(cy)}" r="8" fill="none" stroke="#333"/>')
        out.append(f'<text x="{_fmt(cx)}" y="{_fmt(cy + 26)}">N {mark}</text>')
    else:
        ux, uy = dx / math.hypot(dx, dy), dy / math.hypot(dx, dy)
        tip = (cx + 30 * ux, cy + 30 * uy)
        tail = (cx - 30 * ux, cy - 30 * uy)
        wing = (-uy * 7, ux * 7)
        base = (tip[0] - 12 * ux, tip[1] - 12 * uy)
        out.append(f'<line x1="{_fmt(tail[0])}" y1="{_fmt(tail[1])}" x2="{_fmt(base[0])}" y2="{_fmt(base[1])}" '
                   f'stroke="#333" stroke-width="2"/>')
        out.append(f'<polygon points="{_fmt(tip[0])},{_fmt(tip[1])} {_fmt(base[0] + wing[0])},'
                   f'{_fmt(base[1] + wing[1])} {_fmt(base[0] - wing[0])},{_fmt(base[1] - wing[1])}" '
                   f'fill="#333" stroke="none"/>')
        out.append(f'<text x="{_fmt(tip[0] + 14 * ux)}" y="{_fmt(tip[1] + 14 * uy + 4)}">N</text>')
    out.append("</g>")
    return out

