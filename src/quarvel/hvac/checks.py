"""The node connection rules: the faults in loops, branches and their components that
stop the engine before it simulates, each found on the object and field at fault."""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from quarvel.diagnostics import Diagnostic, Rule
from quarvel.hvac.graph import LOOP_SIDES, Branch, Side, _Reader, key, loops_and_branches

if TYPE_CHECKING:
    from quarvel.idf import IDF

COMPONENT_NODE = Rule("E501", "component-node-mismatch", "error",
                      "a branch names a node for a component that the component's own node fields do not")
BROKEN_CHAIN = Rule("E502", "branch-chain-broken", "error",
                    "a component's inlet on a branch is not the outlet of the component before it")
UNLISTED_BRANCH = Rule("E503", "branch-not-listed", "error", "a branch that no branch list holds")
TWICE_LISTED = Rule("E504", "branch-listed-twice", "error", "a branch that branch lists hold more than once")
CONNECTOR_BRANCH = Rule("E505", "connector-branch-elsewhere", "error",
                        "a splitter or mixer joins a branch that is not on its loop side's branch list")
LOOP_NODE = Rule("E506", "loop-node-mismatch", "error",
                 "a loop side's inlet or outlet node is not its first or last branch's")
TWO_OUTLETS = Rule("E507", "node-outlet-twice", "error", "a node that two components have as their outlet")
MISSING_COMPONENT = Rule("E508", "missing-component", "error", "a branch names a component the model lacks")
RULES = (COMPONENT_NODE, BROKEN_CHAIN, UNLISTED_BRANCH, TWICE_LISTED, CONNECTOR_BRANCH, LOOP_NODE, TWO_OUTLETS,
         MISSING_COMPONENT)
BRANCH_CLASSES = ("Branch", "BranchList")

Make = Callable[[Rule, object, str], Diagnostic]


def _at(rule: Rule, obj: Any, index: int, message: str) -> Diagnostic:
    """A finding on one field of an object."""
    name = str(obj[0]) if len(obj) and obj[0] not in (None, "") else None
    field_name = obj.idd.field_name(obj.class_name, index, False)
    return Diagnostic(rule.code, rule.rule, rule.severity, obj.class_name, name, obj, index, field_name, obj.line,
                      message)


def findings(model: IDF, enabled: set[str], make: Make) -> list[Diagnostic]:
    if not any(rule.code in enabled for rule in RULES) or "Branch" not in model:
        return []
    graph = loops_and_branches(model)
    reader = graph.reader
    out: list[Diagnostic] = []
    outlets: dict[str, tuple[str, str, str]] = {}
    for branch in graph.branches:
        out += _branch(reader, branch, outlets)
    out += _lists(model, graph)
    by_name = {b.name.upper(): b for b in reversed(graph.branches)}  # the first of a name, as the engine takes
    for loop in graph.loops:
        for side_name, side in (("supply", loop.supply), ("demand", loop.demand)):
            out += _side(reader, by_name, loop.object, side_name, side)
    return [f for f in out if f.code in enabled]


def _branch(reader: _Reader, branch: Branch, outlets: dict[str, tuple[str, str, str]]) -> list[Diagnostic]:
    out = []
    obj = branch.object
    before = None
    for c in branch.components:
        component = reader.find(c.class_name, c.name)
        if component is None:
            out.append(_at(MISSING_COMPONENT, obj, c.field_index + 1,
                           f"Branch '{branch.name}' names {c.class_name} '{c.name}', which the model does not have."))
        else:
            for word, entry, offset, own in zip(("Inlet", "Outlet"), (c.inlet, c.outlet), (2, 3),
                                                reader.own_nodes(component)):
                if own and entry and entry.upper() not in [n.upper() for n in own]:
                    out.append(_at(COMPONENT_NODE, obj, c.field_index + offset,
                                   f"Branch '{branch.name}' gives {c.class_name} '{c.name}' the {word.lower()} node "
                                   f"'{entry}', but its own {word.lower()} nodes are {', '.join(map(repr, own))}."))
        if before is not None and c.inlet.upper() != before.outlet.upper():
            out.append(_at(BROKEN_CHAIN, obj, c.field_index + 2,
                           f"{c.class_name} '{c.name}' takes its air or water from node '{c.inlet}', but the "
                           f"component before it ({before.class_name} '{before.name}') leaves at '{before.outlet}'."))
        if c.outlet:
            this = (c.class_name, c.name, branch.name)
            first = outlets.setdefault(c.outlet.upper(), this)
            if first != this:
                out.append(_at(TWO_OUTLETS, obj, c.field_index + 3,
                               f"Node '{c.outlet}' is the outlet of {c.class_name} '{c.name}' and of "
                               f"{first[0]} '{first[1]}' on branch '{first[2]}'."))
        before = c
    return out


def _lists(model: IDF, graph: Any) -> list[Diagnostic]:
    out = []
    seen: dict[str, str] = {}
    for branch_list in model["BranchList"] if "BranchList" in model else ():
        values = branch_list.get_values()
        for index, name in enumerate(values[1:], start=1):
            if not name:
                continue
            name_key = key(name)
            if name_key in seen:
                out.append(_at(TWICE_LISTED, branch_list, index,
                               f"Branch '{name}' is listed here and in BranchList '{seen[name_key]}'."))
            else:
                seen[name_key] = str(values[0])
    for branch in graph.branches:
        if branch.name.upper() not in seen:
            out.append(_at(UNLISTED_BRANCH, branch.object, 0,
                           f"Branch '{branch.name}' is on no branch list: no loop simulates it."))
    return out


def _side(reader: _Reader, by_name: dict[str, Branch], loop: Any, side_name: str, side: Side) -> list[Diagnostic]:
    if not side.branches:
        return []
    out = []
    listed = [name.upper() for name in side.branches]
    branches = [by_name.get(name) for name in listed]
    first, last = branches[0], branches[-1]
    *_, inlet_field, outlet_field = LOOP_SIDES[loop.class_name][1][side_name]

    if side.inlet_nodes and first is not None and first.inlet and key(side.inlet_nodes[0]) != key(first.inlet):
        out.append(_at(LOOP_NODE, loop, loop.idd.field_index(loop.class_name, inlet_field),
                       f"The {side_name} side begins at node '{side.inlet_nodes[0]}', but its first branch "
                       f"'{first.name}' begins at '{first.inlet}'."))
    if len(side.outlet_nodes) == 1 and last is not None and last.outlet:
        wrong = key(side.outlet_nodes[0]) != key(last.outlet)
    else:
        branch_outlets = {key(b.outlet) for b in branches if b is not None and b.outlet}
        wrong = any(key(node) not in branch_outlets for node in side.outlet_nodes)
    if wrong:
        out.append(_at(LOOP_NODE, loop, loop.idd.field_index(loop.class_name, outlet_field),
                       f"The {side_name} side ends at node {', '.join(map(repr, side.outlet_nodes))}, which its "
                       f"last branch '{last.name if last else side.branches[-1]}' does not end at."))
    joined = set(listed)
    for class_name, name in side.connectors:
        connector = reader.find(class_name, name)
        if connector is None:
            continue
        for index, branch_name in enumerate(connector.get_values()[1:], start=1):
            if branch_name and key(branch_name) not in joined:
                out.append(_at(CONNECTOR_BRANCH, connector, index,
                               f"{class_name} '{name}' joins branch '{branch_name}', which is not on "
                               f"BranchList '{side.branch_list}' of {loop.class_name} '{loop[0]}'."))
    return out
