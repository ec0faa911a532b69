"""The node connection rules: the faults in loops, branches and their components that
stop the engine before it simulates, each found on the object and field at fault."""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from quarvel.diagnostics import Diagnostic, Rule
from quarvel.hvac.graph import LOOP_SIDES, key, scan

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
    loops, branches = scan(model)  # the raw records: the checks need none of the topology's own
    out: list[Diagnostic] = []
    for obj, name, components, faulty in branches:
        if faulty:
            out += _branch(obj, name, components)
    out += _lists(model, branches)
    # Each branch name (upper-cased) to the first branch of that name, as the engine takes
    # it: (name, inlet, outlet), the ends None for a branch without components.
    by_name = {name.upper(): (name, components[0][2], components[-1][3]) if components else (name, None, None)
               for _, name, components, _ in reversed(branches)}
    for loop, _, supply, demand in loops:
        out += _side(model, by_name, loop, "supply", supply)
        out += _side(model, by_name, loop, "demand", demand)
    return [f for f in out if f.code in enabled]


# The faults the branch scan marks on a component (quarvel.idf._branch_scan).
MISSING, INLET_MISMATCH, OUTLET_MISMATCH, CHAIN_BROKEN = 1, 2, 4, 8


def _branch(obj: Any, branch_name: str, components: tuple[Any, ...]) -> list[Diagnostic]:
    out = []
    before: Any = None  # the component before, for a broken chain (never on the first)
    for c in components:
        class_name, name, inlet, outlet, index, faults, own_inlets, own_outlets, holder = c
        if faults & MISSING:
            out.append(_at(MISSING_COMPONENT, obj, index + 1,
                           f"Branch '{branch_name}' names {class_name} '{name}', which the model does not have."))
        for fault, word, entry, offset, own in ((INLET_MISMATCH, "inlet", inlet, 2, own_inlets),
                                                (OUTLET_MISMATCH, "outlet", outlet, 3, own_outlets)):
            if faults & fault:
                out.append(_at(COMPONENT_NODE, obj, index + offset,
                               f"Branch '{branch_name}' gives {class_name} '{name}' the {word} node "
                               f"'{entry}', but its own {word} nodes are {', '.join(map(repr, own))}."))
        if faults & CHAIN_BROKEN:
            out.append(_at(BROKEN_CHAIN, obj, index + 2,
                           f"{class_name} '{name}' takes its air or water from node '{inlet}', but the "
                           f"component before it ({before[0]} '{before[1]}') leaves at '{before[3]}'."))
        if holder is not None:
            out.append(_at(TWO_OUTLETS, obj, index + 3,
                           f"Node '{outlet}' is the outlet of {class_name} '{name}' and of "
                           f"{holder[0]} '{holder[1]}' on branch '{holder[2]}'."))
        before = c
    return out


def _lists(model: IDF, branches: tuple[Any, ...]) -> list[Diagnostic]:
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
    for obj, name, *_ in branches:
        if name.upper() not in seen:
            out.append(_at(UNLISTED_BRANCH, obj, 0, f"Branch '{name}' is on no branch list: no loop simulates it."))
    return out


def _side(model: IDF, by_name: dict[str, tuple[str, Any, Any]], loop: Any, side_name: str,
          side: tuple[Any, ...]) -> list[Diagnostic]:
    branch_list, _, inlet_nodes, outlet_nodes, side_branches, connectors = side
    if not side_branches:
        return []
    out = []
    listed = [name.upper() for name in side_branches]
    branches = [by_name.get(name) for name in listed]
    first, last = branches[0], branches[-1]
    *_, inlet_field, outlet_field = LOOP_SIDES[loop.class_name][1][side_name]

    if inlet_nodes and first is not None and first[1] and key(inlet_nodes[0]) != key(first[1]):
        out.append(_at(LOOP_NODE, loop, loop.idd.field_index(loop.class_name, inlet_field),
                       f"The {side_name} side begins at node '{inlet_nodes[0]}', but its first branch "
                       f"'{first[0]}' begins at '{first[1]}'."))
    if len(outlet_nodes) == 1 and last is not None and last[2]:
        wrong = key(outlet_nodes[0]) != key(last[2])
    else:
        branch_outlets = {key(b[2]) for b in branches if b is not None and b[2]}
        wrong = any(key(node) not in branch_outlets for node in outlet_nodes)
    if wrong:
        out.append(_at(LOOP_NODE, loop, loop.idd.field_index(loop.class_name, outlet_field),
                       f"The {side_name} side ends at node {', '.join(map(repr, outlet_nodes))}, which its "
                       f"last branch '{last[0] if last else side_branches[-1]}' does not end at."))
    joined = set(listed)
    for class_name, name in connectors:
        connector = model.get_object_by_name(class_name, name)
        if connector is None:
            continue
        for index, branch_name in enumerate(connector.get_values()[1:], start=1):
            if branch_name and key(branch_name) not in joined:
                out.append(_at(CONNECTOR_BRANCH, connector, index,
                               f"{class_name} '{name}' joins branch '{branch_name}', which is not on "
                               f"BranchList '{branch_list}' of {loop.class_name} '{loop[0]}'."))
    return out
