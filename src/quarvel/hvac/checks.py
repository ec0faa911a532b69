"""The node connection rules: the faults in loops, branches and their components that
stop the engine before it simulates, each found on the object and field at fault."""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from quarvel.diagnostics import Diagnostic, Rule
from quarvel.hvac.graph import LOOP_SIDES, scan

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
    _, branches, faults = scan(model)  # the raw records: the checks need none of the topology's own
    out: list[Diagnostic] = []
    for obj, name, components, faulty in branches:
        if faulty:
            out += _branch(obj, name, components)
    out += [WORDED[fault[0]](*fault[1:]) for fault in faults]
    return [f for f in out if f.code in enabled]


def _twice(branch_list: Any, index: int, name: str, first: str) -> Diagnostic:
    return _at(TWICE_LISTED, branch_list, index, f"Branch '{name}' is listed here and in BranchList '{first}'.")


def _unlisted(branch: Any, name: str) -> Diagnostic:
    return _at(UNLISTED_BRANCH, branch, 0, f"Branch '{name}' is on no branch list: no loop simulates it.")


def _side_field(loop: Any, side: str, which: int) -> int:
    field_name = LOOP_SIDES[loop.class_name][1][side][which]
    return loop.idd.field_index(loop.class_name, field_name)  # type: ignore[no-any-return]


def _inlet(loop: Any, side: str, node: str, first: str, first_inlet: str) -> Diagnostic:
    return _at(LOOP_NODE, loop, _side_field(loop, side, 2),
               f"The {side} side begins at node '{node}', but its first branch '{first}' begins at '{first_inlet}'.")


def _outlet(loop: Any, side: str, nodes: tuple[str, ...], last: str) -> Diagnostic:
    return _at(LOOP_NODE, loop, _side_field(loop, side, 3),
               f"The {side} side ends at node {', '.join(map(repr, nodes))}, which its last branch '{last}' "
               "does not end at.")


def _connector(connector: Any, index: int, class_name: str, name: str, branch: str, branch_list: str,
               loop: Any) -> Diagnostic:
    return _at(CONNECTOR_BRANCH, connector, index,
               f"{class_name} '{name}' joins branch '{branch}', which is not on BranchList '{branch_list}' of "
               f"{loop.class_name} '{loop[0]}'.")


# How each fault of the branch lists and loop sides that the scan finds is worded.
WORDED: dict[str, Callable[..., Diagnostic]] = {
    "twice": _twice, "unlisted": _unlisted, "inlet": _inlet, "outlet": _outlet, "connector": _connector}


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
