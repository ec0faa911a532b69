"""An interactive 3-D view of the building as one self-contained HTML page.

The page holds its data and its script: no network access, no external files. Drag to
turn the building, scroll to zoom, click a surface to see its class, name, zone and
construction; colour by kind of surface or by zone. Surfaces are drawn back to front on
a canvas, in true-north coordinates (north is up when seen from above): those facing
away first, then those facing the eye, far to near, windows and doors after the surfaces
that hold them.
"""

from __future__ import annotations

import html
import json
from pathlib import Path
from typing import TYPE_CHECKING, Any

from quarvel.geometry.surfaces import Rules, surfaces
from quarvel.geometry.svg import COLOURS, model_name

if TYPE_CHECKING:
    from quarvel.idf import IDF

# Zone colours: distinct hues, light enough for labels.
ZONE_COLOURS = ("#8dd3c7", "#ffffb3", "#bebada", "#fb8072", "#80b1d3", "#fdb462", "#b3de69", "#fccde5",
                "#d9d9d9", "#bc80bd", "#ccebc5", "#ffed6f")


class View:
    """The page of one model: `html` is the document; in a notebook it shows itself."""

    def __init__(self, page: str) -> None:
        self.html = page

    def save(self, path: str | Path) -> None:
        Path(path).write_text(self.html, encoding="utf-8")

    def _repr_html_(self) -> str:
        # In its own frame, so that the page's script runs as in a browser.
        return (f'<iframe srcdoc="{html.escape(self.html, quote=True)}" sandbox="allow-scripts" '
                f'style="width:100%;height:560px;border:0"></iframe>')


def view(model: IDF, *, title: str | None = None) -> View:
    """The interactive view of the model's surfaces (see the module's docstring)."""
    placed = [s for s in surfaces(model, true_north=True) if s.vertices]
    rules = Rules.of(model)
    zones = sorted({s.zone for s in placed if s.zone}, key=str.upper)
    zone_colour = {z.upper(): ZONE_COLOURS[i % len(ZONE_COLOURS)] for i, z in enumerate(zones)}
    data: dict[str, Any] = {
        "title": title or model_name(model),
        "kinds": COLOURS,
        "zones": {z: zone_colour[z.upper()] for z in zones},
        "surfaces": [{"name": s.name, "class": s.class_name, "kind": s.kind, "zone": s.zone,
                      "construction": _construction(s.object),
                      "normal": [round(c, 6) for c in rules.outward(s.vertices)],
                      "points": [[round(c, 4) for c in p] for p in s.vertices]} for s in placed],
    }
    # Inside a script element only "</" can end it early: written as "<\/" it cannot.
    payload = json.dumps(data, ensure_ascii=True, allow_nan=False).replace("</", "<\\/")
    page = _PAGE.replace("__TITLE__", html.escape(data["title"])).replace("__DATA__", payload)
    return View(page)


def _construction(obj: Any) -> str | None:
    try:
        value = obj["Construction Name"] if obj is not None else None
    except (KeyError, AttributeError):
        return None
    return None if value in (None, "") else str(value)


_PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>__TITLE__</title>
<style>
  body { margin: 0; font: 13px system-ui, sans-serif; background: #f6f6f3; color: #222; }
  header { padding: 8px 12px; display: flex; gap: 16px; align-items: center; }
  h1 { font-size: 15px; margin: 0; }
  #scene { display: block; width: 100%; height: calc(100vh - 44px); cursor: grab; }
  #info { position: absolute; right: 12px; top: 48px; background: #fff; border: 1px solid #ccc;
          padding: 8px 10px; min-width: 200px; white-space: pre-line; }
  #legend { position: absolute; left: 12px; top: 48px; background: rgba(255,255,255,.85); padding: 6px 8px; }
  #legend span { display: inline-block; width: 12px; height: 12px; margin-right: 6px; vertical-align: -2px; }
</style>
</head>
<body>
<header><h1>__TITLE__</h1>
<label>colour by <select id="colour"><option value="kind">kind of surface</option>
<option value="zone">zone</option></select></label>
<span id="count"></span></header>
<canvas id="scene"></canvas>
<div id="legend"></div>
<div id="info">Click a surface.</div>
<script type="application/json" id="model-data">__DATA__</script>
<script>
"use strict";
(function () {
  const data = JSON.parse(document.getElementById("model-data").textContent);
  const canvas = document.getElementById("scene");
  const context = canvas.getContext("2d");
  const info = document.getElementById("info");
  const legend = document.getElementById("legend");
  const colourBy = document.getElementById("colour");
  const surfaces = data.surfaces;
  let yaw = -0.6, pitch = 0.6, zoom = 1, drawn = [];

  // The centre and size of the building, to look at it whole.
  const low = [Infinity, Infinity, Infinity], high = [-Infinity, -Infinity, -Infinity];
  for (const s of surfaces) {
    for (const p of s.points) {
      for (let i = 0; i < 3; i++) { low[i] = Math.min(low[i], p[i]); high[i] = Math.max(high[i], p[i]); }
    }
  }
  const centre = low.map((v, i) => (v + high[i]) / 2);
  const size = Math.max(1e-9, ...high.map((v, i) => v - low[i]));

  // The eye looks north and down by `pitch`, turned by `yaw`: right, down the screen, depth
  // (larger: farther).
  function turn(x, y, z) {
    const cy = Math.cos(yaw), sy = Math.sin(yaw), cp = Math.cos(pitch), sp = Math.sin(pitch);
    const x1 = x * cy - y * sy, y1 = x * sy + y * cy;
    return [x1, -(y1 * sp + z * cp), y1 * cp - z * sp];
  }

  function project(p) {
    return turn(p[0] - centre[0], p[1] - centre[1], p[2] - centre[2]);
  }

  const SUBSURFACES = new Set(["window", "door", "glass door"]);

  // Painting order: facing away, then facing the eye (shading counts as facing it); within
  // each, walls and roofs before the windows and doors on them, far to near.
  function layer(s) {
    const away = s.kind !== "shading" && turn(s.normal[0], s.normal[1], s.normal[2])[2] > 0;
    return (away ? 0 : 2) + (SUBSURFACES.has(s.kind) ? 1 : 0);
  }

  function colour(s) {
    return colourBy.value === "zone" ? (data.zones[s.zone] || "#cccccc") : (data.kinds[s.kind] || "#cccccc");
  }

  function draw() {
    const ratio = window.devicePixelRatio || 1;
    canvas.width = canvas.clientWidth * ratio;
    canvas.height = canvas.clientHeight * ratio;
    context.setTransform(ratio, 0, 0, ratio, 0, 0);
    context.clearRect(0, 0, canvas.clientWidth, canvas.clientHeight);
    const scale = zoom * 0.8 * Math.min(canvas.clientWidth, canvas.clientHeight) / size;
    const ox = canvas.clientWidth / 2, oy = canvas.clientHeight / 2;
    drawn = surfaces.map(s => {
      const flat = s.points.map(project);
      const depth = flat.reduce((sum, p) => sum + p[2], 0) / flat.length;
      return {surface: s, depth: depth, layer: layer(s),
              points: flat.map(p => [ox + p[0] * scale, oy + p[1] * scale])};
    }).sort((a, b) => a.layer - b.layer || b.depth - a.depth);
    for (const d of drawn) {
      context.beginPath();
      d.points.forEach((p, i) => i ? context.lineTo(p[0], p[1]) : context.moveTo(p[0], p[1]));
      context.closePath();
      const glass = d.surface.kind === "window" || d.surface.kind === "glass door";
      context.globalAlpha = glass ? 0.7 : 0.92;
      context.fillStyle = colour(d.surface);
      context.fill();
      context.globalAlpha = 1;
      context.strokeStyle = "#333";
      context.lineWidth = 0.6;
      context.stroke();
    }
    document.body.dataset.drawn = String(drawn.length);
    document.getElementById("count").textContent = drawn.length + " surfaces";
  }

  function inside(point, polygon) {
    let result = false;
    for (let i = 0, j = polygon.length - 1; i < polygon.length; j = i++) {
      const [xi, yi] = polygon[i], [xj, yj] = polygon[j];
      if ((yi > point[1]) !== (yj > point[1]) && point[0] < xi + (point[1] - yi) * (xj - xi) / (yj - yi)) {
        result = !result;
      }
    }
    return result;
  }

  // The surface in front at a point of the canvas (null where there is none).
  function pick(x, y) {
    for (let k = drawn.length - 1; k >= 0; k--) {
      if (inside([x, y], drawn[k].points)) return drawn[k].surface;
    }
    return null;
  }

  function showLegend() {
    const entries = colourBy.value === "zone" ? Object.entries(data.zones)
      : Object.entries(data.kinds).filter(([kind]) => surfaces.some(s => s.kind === kind));
    legend.replaceChildren(...entries.map(([label, fill]) => {
      const row = document.createElement("div");
      const swatch = document.createElement("span");
      swatch.style.background = fill;
      row.append(swatch, label);
      return row;
    }));
  }

  let dragging = null, moved = false;
  canvas.addEventListener("pointerdown", e => { dragging = [e.clientX, e.clientY]; moved = false; });
  window.addEventListener("pointerup", () => { dragging = null; });
  window.addEventListener("pointermove", e => {
    if (!dragging) return;
    const dx = e.clientX - dragging[0], dy = e.clientY - dragging[1];
    if (Math.abs(dx) + Math.abs(dy) > 2) moved = true;
    yaw += dx * 0.01;
    pitch = Math.max(-1.55, Math.min(1.55, pitch + dy * 0.01));
    dragging = [e.clientX, e.clientY];
    draw();
  });
  canvas.addEventListener("wheel", e => {
    e.preventDefault();
    zoom = Math.max(0.1, Math.min(40, zoom * Math.exp(-e.deltaY * 0.001)));
    draw();
  }, {passive: false});
  canvas.addEventListener("click", e => {
    if (moved) return;
    const box = canvas.getBoundingClientRect();
    const s = pick(e.clientX - box.left, e.clientY - box.top);
    info.textContent = s ? s.kind + "\\n" + s.class + " '" + s.name + "'\\nzone: " + (s.zone || "-") +
      "\\nconstruction: " + (s.construction || "-") : "Click a surface.";
    info.dataset.name = s ? s.name : "";
  });
  colourBy.addEventListener("change", () => { showLegend(); draw(); });
  window.addEventListener("resize", draw);
  // For scripts and tests: what is drawn, and where.
  window.quarvelView = {pick: pick, surfaces: surfaces.length,
                        order: () => drawn.map(d => d.surface.name).reverse(),  // front to back
                        centreOf: name => {
                          const d = drawn.find(d => d.surface.name === name);
                          if (!d) return null;
                          return [d.points.reduce((s, p) => s + p[0], 0) / d.points.length,
                                  d.points.reduce((s, p) => s + p[1], 0) / d.points.length];
                        }};
  showLegend();
  draw();
})();
</script>
</body>
</html>
"""
