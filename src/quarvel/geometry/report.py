"""The measures of a model as printed tables and as plain data."""

from __future__ import annotations

from typing import Any

from quarvel.geometry.measure import ORIENTATIONS, Measures


def _area(value: float) -> str:
    return f"{value:.1f}"


def _ratio(value: float | None) -> str:
    return "-" if value is None else f"{value:.3f}"


def as_lines(m: Measures) -> list[str]:
    """Zones (one zone's figures, and its multiplier), then the facades by orientation."""
    lines = [f"geometry: north axis {m.north_axis:g} deg, floor area {_area(m.floor_area)} m2, volume "
             f"{'-' if m.volume is None else _area(m.volume)} m3 (zones times their multipliers)"]
    name_width = max([4, *(len(z.name) for z in m.zones.values())])
    lines.append(f"  {'zone':<{name_width}}  {'mult':>4}  {'floor m2':>10}  {'volume m3':>10}  {'ext wall m2':>11}  "
                 f"{'window m2':>9}")
    for z in m.zones.values():
        volume = "-" if z.volume is None else _area(z.volume)
        lines.append(f"  {z.name:<{name_width}}  {z.multiplier:>4g}  {_area(z.floor_area):>10}  {volume:>10}  "
                     f"{_area(z.exterior_wall_area):>11}  {_area(z.window_area):>9}")
    lines.append(f"  {'facade':<8}  {'wall m2':>10}  {'window m2':>10}  {'window/wall':>11}")
    for orientation in (*ORIENTATIONS, "total"):
        f = m.facades[orientation]
        lines.append(f"  {orientation:<8}  {_area(f.wall_area):>10}  {_area(f.window_area):>10}  "
                     f"{_ratio(f.window_to_wall):>11}")
    for s in m.skipped:
        lines.append(f"  skipped {s.class_name} '{s.name}': {s.problem}")
    return lines


def as_data(m: Measures) -> dict[str, Any]:
    return {
        "north_axis": m.north_axis,
        "floor_area": m.floor_area,
        "volume": m.volume,
        "zones": [{"name": z.name, "multiplier": z.multiplier, "floor_area": z.floor_area, "volume": z.volume,
                   "volume_source": z.volume_source, "ceiling_height": z.ceiling_height,
                   "exterior_wall_area": z.exterior_wall_area, "underground_wall_area": z.underground_wall_area,
                   "window_area": z.window_area, "glass_area": z.glass_area}
                  for z in m.zones.values()],
        "facades": {o: {"wall_area": f.wall_area, "above_ground_wall_area": f.above_ground_wall_area,
                        "window_area": f.window_area, "window_to_wall": f.window_to_wall}
                    for o, f in m.facades.items()},
        "skipped": [{"class_name": s.class_name, "name": s.name, "problem": s.problem} for s in m.skipped],
    }
