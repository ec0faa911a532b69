"""Benchmarks of the geometry edits on the largest shared model (skipped without the
shared data): measuring, matching the surfaces of neighbouring zones, turning it, and
its checks."""

from __future__ import annotations

from pathlib import Path

from quarvel import geometry
from quarvel.idd import IDD
from quarvel.idf import IDF
from workflows import largest_real_model



def _unmatched(schema: IDD, path: Path) -> IDF:
    """The model with every interzone pair (but surfaces facing themselves) made outdoors."""
    model = IDF.from_file(schema, path)
    for obj in model["BuildingSurface:Detailed"]:
        partner = obj["Outside Boundary Condition Object"]
        if str(obj["Outside Boundary Condition"]).lower() == "surface" and str(partner).upper() != obj[0].upper():
            obj.update({"Outside Boundary Condition": "Outdoors", "Outside Boundary Condition Object": None})
    return model


def section_geometry(timed, row, spread):
    found = largest_real_model("Geometry")
    if found is None:
        return
    schema, path = found
    print("Geometry on LgOffVAV.idf, the largest shared model (medians)")
    model = IDF.from_file(schema, path)
    load = timed(lambda: IDF.from_file(schema, path))
    row("load (for scale)", f"{load[0] * 1000:.1f}", "ms", spread(load))
    measured = timed(lambda: geometry.measure(model))
    row("measure", f"{measured[0] * 1000:.1f}", "ms", spread(measured))
    matched = timed(lambda state: geometry.intersect_and_match(state), setup=lambda: _unmatched(schema, path))
    row("intersect_and_match (78 surfaces to match)", f"{matched[0] * 1000:.1f}", "ms", spread(matched))
    again = timed(lambda: geometry.intersect_and_match(model))
    row("intersect_and_match (all matched already)", f"{again[0] * 1000:.1f}", "ms", spread(again))
    turned = timed(lambda state: geometry.rotate(state, 30), setup=lambda: IDF.from_file(schema, path))
    row("rotate by 30 degrees", f"{turned[0] * 1000:.1f}", "ms", spread(turned))
    checks = ["polygon-zero-area", "polygon-not-planar", "polygon-crosses-itself", "zone-not-enclosed"]
    checked = timed(lambda: model.validate(select=checks))
    row("validate, the polygon and zone checks alone", f"{checked[0] * 1000:.1f}", "ms", spread(checked))
