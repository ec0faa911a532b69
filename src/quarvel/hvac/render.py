"""The loops of a topology as an indented text tree, as plain data (for JSON) and as an
SVG diagram: each side's branches in flow order, those between a splitter and its mixer
side by side, components as labelled boxes with their nodes as points, joined by lines."""

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
LANES_PER_ROW = 6  # wider stages wrap onto further rows of lanes
BAR = 22  # the height a splitter or mixer bar takes
STUB = 10  # the length of a join that a wrapped row only hints at
HALO = "paint-order:stroke;stroke:#fff;stroke-width:3px"  # labels stay readable over the lines
STYLE = ("text{font:11px sans-serif}.title{font-weight:bold;font-size:13px}"
         f".branch{{fill:#555;{HALO}}}.name{{fill:#333}}rect{{fill:#eef4fb;stroke:#36c}}.node{{fill:#c33}}"
         f"line{{stroke:#999}}.bar{{fill:#555;stroke:none}}.connector{{fill:#555;font-size:10px;{HALO}}}")


def _stages(topology: Topology, side: Side) -> list[tuple[str, Any]]:
    """A side's branches as stages in flow order: ("branches", [names]) and, between them,
    ("connector", (class, name)). Branches a splitter feeds stand side by side between it
    and its mixer; the others run one after another in branch-list order."""
    model = topology.reader.model if topology.reader is not None else None
    splitter = mixer = None
    for class_name, name in side.connectors:
        found = model.get_object_by_name(class_name, name) if model is not None and name else None
        if found is None:
            continue
        values = [str(v) for v in found.get_values() if v not in (None, "")]
        if class_name.lower() == "connector:splitter" and splitter is None:
            splitter = (class_name, name, values[1:2], values[2:])
        elif class_name.lower() == "connector:mixer" and mixer is None:
            mixer = (class_name, name, values[1:2], values[2:])
    if splitter is None:
        return [("branches", [[b] for b in side.branches])] if side.branches else []
    parallel = {key(b) for b in splitter[3]}
    before = [b for b in side.branches if key(b) in {key(x) for x in splitter[2]}]
    middle = [b for b in side.branches if key(b) in parallel]
    after = [b for b in side.branches if key(b) not in parallel and b not in before]
    stages: list[tuple[str, Any]] = []
    if before:
        stages.append(("branches", [before]))
    stages.append(("connector", splitter[:2]))
    stages.append(("branches", [[b] for b in middle]))
    if mixer is not None:
        stages.append(("connector", mixer[:2]))
    if after:
        stages.append(("branches", [after]))
    return stages


Joint = tuple[float | None, float]  # a point (x, y) a later stage joins, or (None, y) for a bar


def as_svg(topology: Topology, loop_name: str | None = None) -> str:
    """One panel per loop side: the branches before a splitter, the splitter, the branches
    it feeds side by side, the mixer and the branches after it, top to bottom in flow
    order; components as boxes with their nodes as points, joined by lines."""
    parts: list[str] = []
    y: float = MARGIN
    width = 2 * MARGIN + LANE
    for loop in _loops(topology, loop_name):
        for side_name, side in _sides(loop):
            parts.append(f'<text x="{MARGIN}" y="{y + 14}" class="title">{escape(loop.class_name)} '
                         f'\'{escape(loop.name)}\': {side_name} side</text>')
            y += 30
            stages = _stages(topology, side)
            if not stages:
                parts.append(f'<text x="{MARGIN}" y="{y + 10}" class="branch">no branches</text>')
                y += 20
            widest = max((len(c) for k, c in stages if k == "branches"), default=1)
            span = min(LANES_PER_ROW, widest) * LANE - (LANE - BOX_W)
            width = max(width, 2 * MARGIN + span)
            ends: list[Joint] = []
            for kind, content in stages:
                if kind == "connector":
                    parts.append(f'<text x="{MARGIN}" y="{y + 6}" class="connector">{escape(content[0])} '
                                 f'\'{escape(content[1])}\'</text>'
                                 f'<rect x="{MARGIN}" y="{y + 10}" width="{span}" height="4" class="bar"/>')
                    # Lanes of the last row join the bar; those of wrapped rows above it show a
                    # stub (a line through the rows below would join them in series).
                    parts += [_line(x, top, y + 10) if top >= 0 else _line(x, -top, -top + STUB)
                              for x, top in ends if x is not None]
                    ends = [(None, y + 14)]
                    y += BAR
                else:
                    y, ends = _lanes(topology, content, y, ends, parts)
            y += MARGIN
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{y}" viewBox="0 0 {width} {y}">'
            f"<style>{STYLE}</style>{''.join(parts)}</svg>")


def _line(x: float, y1: float, y2: float) -> str:
    return f'<line x1="{x}" y1="{y1}" x2="{x}" y2="{y2}"/>'


def _lanes(topology: Topology, lanes: list[list[str]], y: float, ends: list[Joint],
           parts: list[str]) -> tuple[float, list[Joint]]:
    """Lanes side by side from `y`, each a column of branches in series, joined from the
    stage above (its bar, or the point of the same lane). Returns the y below them and
    each lane's last point."""
    bottoms: list[Joint] = []
    row_top = deepest = y
    for lane, names in enumerate(lanes):
        if lane and lane % LANES_PER_ROW == 0:
            row_top = deepest + GAP
        x = MARGIN + (lane % LANES_PER_ROW) * LANE
        cx = x + BOX_W / 2
        above = ends[0] if ends and ends[0][0] is None else ends[lane] if lane < len(ends) else None
        last = above[1] if above is not None and lane < LANES_PER_ROW else None
        stub = above is not None and last is None  # a wrapped row: a stub stands for the join
        top = row_top
        for name in names:
            branch = topology.branch(name)
            parts.append(f'<text x="{x}" y="{top + 10}" class="branch">{escape(name)}'
                         f'{"" if branch else " (missing)"}</text>')
            top += 20
            for c in branch.components if branch else ():
                if last is not None:
                    parts.append(_line(cx, last, top - 6))
                elif stub:
                    parts.append(_line(cx, top - 6 - STUB, top - 6))
                    stub = False
                parts.append(f'<g class="component"><title>{escape(c.class_name)} {escape(c.name)}: '
                             f'{escape(c.inlet)} -&gt; {escape(c.outlet)}</title>'
                             f'<rect x="{x}" y="{top}" width="{BOX_W}" height="{BOX_H}" rx="4"/>'
                             f'<text x="{x + 6}" y="{top + 14}">{escape(c.class_name)}</text>'
                             f'<text x="{x + 6}" y="{top + 28}" class="name">{escape(c.name)}</text></g>'
                             f'<circle cx="{cx}" cy="{top - 6}" r="3" class="node"><title>{escape(c.inlet)}'
                             f'</title></circle><circle cx="{cx}" cy="{top + BOX_H + 6}" r="3" class="node">'
                             f'<title>{escape(c.outlet)}</title></circle>')
                last = top + BOX_H + 6
                top += BOX_H + GAP
        bottoms.append((cx, last if last is not None else top))
        deepest = max(deepest, top)
    last_row = (len(lanes) - 1) // LANES_PER_ROW
    # A lane above the last row ends in a stub: its bottom is given negated.
    return deepest, [(x, bottom if lane // LANES_PER_ROW == last_row else -bottom)
                     for lane, (x, bottom) in enumerate(bottoms)]
