"""The loops of a topology as an indented text tree, as plain data (for JSON) and as an
SVG diagram: each side's branches side by side, components as labelled boxes in flow
order, nodes as points between them."""

from __future__ import annotations

from dataclasses import asdict
from html import escape
from typing import TYPE_CHECKING, Any

from quarvel.hvac.graph import key

if TYPE_CHECKING:
    from quarvel.hvac.graph import Loop, Side, Topology


def _loops(topology: Topology, name: str | None) -> list[Loop]:
    if name is None:
        return topology.loops
    found = topology.loop(name)
    if found is None:
        from quarvel._suggest import closest, did_you_mean

        hint = did_you_mean(closest(name, [loop.name for loop in topology.loops]))
        raise KeyError(f"the model has no loop '{name}'" + (f" {hint}" if hint else ""))
    return [found]


def _sides(loop: Loop) -> list[tuple[str, Side]]:
    return [(side_name, side) for side_name, side in (("supply", loop.supply), ("demand", loop.demand))]


def as_text(topology: Topology, loop_name: str | None = None) -> str:
    lines: list[str] = []
    for loop in _loops(topology, loop_name):
        lines.append(f"{loop.class_name} '{loop.name}'")
        for side_name, side in _sides(loop):
            ends = f"{', '.join(side.inlet_nodes) or '?'} -> {', '.join(side.outlet_nodes) or '?'}"
            lines.append(f"  {side_name} side: {ends}" + (f" (BranchList '{side.branch_list}')" if side.branch_list
                                                          else ""))
            for branch_name in side.branches:
                branch = topology.branch(branch_name)
                if branch is None:
                    lines.append(f"    Branch '{branch_name}' (missing)")
                    continue
                lines.append(f"    Branch '{branch.name}'")
                for c in branch.components:
                    lines.append(f"      {c.class_name} '{c.name}': {c.inlet} -> {c.outlet}")
    return "\n".join(lines)


def as_data(topology: Topology, loop_name: str | None = None) -> dict[str, Any]:
    loops = _loops(topology, loop_name)
    on_loops = {key(b) for loop in loops for _, side in _sides(loop) for b in side.branches}

    def plain(record: Any) -> dict[str, Any]:
        data = asdict(record)
        data.pop("object", None)
        return data

    branches = [b for b in topology.branches if loop_name is None or key(b.name) in on_loops]
    data: dict[str, Any] = {
        "loops": [plain(loop) for loop in loops],
        "branches": [{**plain(b), "inlet": b.inlet, "outlet": b.outlet} for b in branches],
    }
    if loop_name is None:
        data.update(component_sets=[plain(s) for s in topology.component_sets],
                    zone_connections=[plain(z) for z in topology.zone_connections],
                    air_paths=[plain(p) for p in topology.air_paths],
                    outdoor_air_nodes=topology.outdoor_air_nodes,
                    nodes={name: [plain(use) for use in uses] for name, uses in topology.nodes.items()})
    return data


BOX_W, BOX_H, GAP, LANE, MARGIN = 190, 34, 26, 220, 20
LANES_PER_ROW = 6  # wider sides wrap onto further rows of lanes


def as_svg(topology: Topology, loop_name: str | None = None) -> str:
    """One panel per loop side: branches in parallel lanes, left to right in branch-list
    order, components top to bottom in flow order with their nodes as points."""
    panels: list[str] = []
    y = MARGIN
    width = 2 * MARGIN + LANE
    for loop in _loops(topology, loop_name):
        for side_name, side in _sides(loop):
            branches = [topology.branch(name) for name in side.branches]
            rows = max((len(b.components) for b in branches if b), default=0)
            lanes = max(1, min(LANES_PER_ROW, len(branches)))
            width = max(width, 2 * MARGIN + lanes * LANE)
            panels.append(f'<text x="{MARGIN}" y="{y + 14}" class="title">{escape(loop.class_name)} '
                          f'\'{escape(loop.name)}\': {side_name} side</text>')
            block = 20 + rows * (BOX_H + GAP) + 10
            for lane, branch in enumerate(branches):
                x = MARGIN + (lane % LANES_PER_ROW) * LANE
                top = y + 30 + (lane // LANES_PER_ROW) * block
                if branch is None:
                    continue
                panels.append(f'<text x="{x}" y="{top + 10}" class="branch">{escape(branch.name)}</text>')
                for row, c in enumerate(branch.components):
                    by = top + 20 + row * (BOX_H + GAP)
                    panels.append(f'<g class="component"><title>{escape(c.class_name)} {escape(c.name)}: '
                                  f'{escape(c.inlet)} -&gt; {escape(c.outlet)}</title>'
                                  f'<rect x="{x}" y="{by}" width="{BOX_W}" height="{BOX_H}" rx="4"/>'
                                  f'<text x="{x + 6}" y="{by + 14}">{escape(c.class_name)}</text>'
                                  f'<text x="{x + 6}" y="{by + 28}" class="name">{escape(c.name)}</text></g>')
                    cx = x + BOX_W / 2
                    panels.append(f'<circle cx="{cx}" cy="{by - 6}" r="3" class="node"><title>{escape(c.inlet)}'
                                  f'</title></circle>')
                    panels.append(f'<circle cx="{cx}" cy="{by + BOX_H + 6}" r="3" class="node"><title>'
                                  f'{escape(c.outlet)}</title></circle>')
            y += 30 + max(1, -(-len(branches) // LANES_PER_ROW)) * block + MARGIN
    style = ("text{font:11px sans-serif}.title{font-weight:bold;font-size:13px}.branch{fill:#555}"
             ".name{fill:#333}rect{fill:#eef4fb;stroke:#36c}.node{fill:#c33}")
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{y}" viewBox="0 0 {width} {y}">'
            f"<style>{style}</style>{''.join(panels)}</svg>")
