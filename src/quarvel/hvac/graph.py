"""The HVAC systems of a model as plain records: loops and their sides, branches and
their components, the parent-child relations that join nodes, zone connections, air
paths, outdoor-air nodes, and every node with the objects that use it.

Names compare in any letter case, as the engine compares them; records keep the spelling
of the model. Which fields are nodes, and which of a component's nodes are inlets or
outlets, the schema tells (fields of type node, named Inlet or Outlet).
"""

from __future__ import annotations

import weakref
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from quarvel.idf import _branch_scan, _connection_scan

if TYPE_CHECKING:
    from quarvel.idf import IDF, IDFObject

# The fields of each loop class, by side: branch list, connector list, inlet node(s),
# outlet node(s). The names are the schema's.
LOOP_SIDES: dict[str, tuple[str, dict[str, tuple[str | None, str | None, str, str]]]] = {
    "AirLoopHVAC": ("Air", {
        "supply": ("Branch List Name", "Connector List Name", "Supply Side Inlet Node Name",
                   "Supply Side Outlet Node Names"),
        "demand": (None, None, "Demand Side Inlet Node Names", "Demand Side Outlet Node Name")}),
    "PlantLoop": ("Plant", {
        "supply": ("Plant Side Branch List Name", "Plant Side Connector List Name", "Plant Side Inlet Node Name",
                   "Plant Side Outlet Node Name"),
        "demand": ("Demand Side Branch List Name", "Demand Side Connector List Name", "Demand Side Inlet Node Name",
                   "Demand Side Outlet Node Name")}),
    "CondenserLoop": ("Condenser", {
        "supply": ("Condenser Side Branch List Name", "Condenser Side Connector List Name",
                   "Condenser Side Inlet Node Name", "Condenser Side Outlet Node Name"),
        "demand": ("Condenser Demand Side Branch List Name", "Condenser Demand Side Connector List Name",
                   "Demand Side Inlet Node Name", "Demand Side Outlet Node Name")}),
}


def key(name: Any) -> str:
    """A name as the engine compares it. The model's values never carry blanks at their
    ends, so a string needs only its letter case made one."""
    if type(name) is str:
        return name.upper()
    return str(name or "").strip().upper()


def _text(value: Any) -> str:
    """A field's value as text: "" for an empty field."""
    if type(value) is str:
        return value
    return "" if value is None else str(value)


@dataclass(slots=True)
class Component:
    class_name: str
    name: str
    inlet: str
    outlet: str
    field_index: int  # where the branch lists it (its object type field)


@dataclass(slots=True)
class Branch:
    name: str
    loop: str | None
    loop_type: str | None  # "Air", "Plant Supply", "Plant Demand", "Condenser Supply", "Condenser Demand"
    components: list[Component]
    object: Any = field(repr=False, compare=False, default=None)

    @property
    def inlet(self) -> str | None:
        return self.components[0].inlet if self.components else None

    @property
    def outlet(self) -> str | None:
        return self.components[-1].outlet if self.components else None


@dataclass(slots=True)
class Side:
    branch_list: str | None
    connector_list: str | None
    inlet_nodes: list[str]
    outlet_nodes: list[str]
    branches: list[str]  # in branch-list order
    connectors: list[tuple[str, str]]  # (class, name)


@dataclass(slots=True)
class Loop:
    kind: str  # "Air", "Plant", "Condenser"
    class_name: str
    name: str
    supply: Side
    demand: Side
    object: Any = field(repr=False, compare=False, default=None)


@dataclass(slots=True)
class ComponentSet:
    parent_class: str
    parent_name: str
    class_name: str
    name: str
    inlet: str | None
    outlet: str | None


@dataclass(slots=True)
class ZoneConnection:
    zone: str
    equipment_list: str | None
    inlet_nodes: list[str]
    exhaust_nodes: list[str]
    zone_node: str | None
    return_nodes: list[str]


@dataclass(slots=True)
class AirPath:
    kind: str  # "supply" or "return"
    name: str
    node: str | None  # the supply path's inlet, the return path's outlet
    components: list[tuple[str, str]]  # (class, name): splitters, mixers, plenums


@dataclass(slots=True)
class NodeUse:
    class_name: str
    name: str
    field_name: str


@dataclass(slots=True)
class Topology:
    loops: list[Loop] = field(default_factory=list)
    branches: list[Branch] = field(default_factory=list)
    component_sets: list[ComponentSet] = field(default_factory=list)
    zone_connections: list[ZoneConnection] = field(default_factory=list)
    air_paths: list[AirPath] = field(default_factory=list)
    outdoor_air_nodes: list[str] = field(default_factory=list)
    reader: Any = field(default=None, repr=False, compare=False)
    _nodes: dict[str, list[NodeUse]] | None = field(default=None, repr=False, compare=False)
    _branch_index: dict[str, Branch] | None = field(default=None, repr=False, compare=False)

    @property
    def nodes(self) -> dict[str, list[NodeUse]]:
        """Every node name (upper-cased) with the objects and fields that use it; read
        from the model on first use (the checks do not need it)."""
        if self._nodes is None:
            self._nodes = _node_uses(self.reader) if self.reader is not None else {}
        return self._nodes

    def loop(self, name: str) -> Loop | None:
        return next((loop for loop in self.loops if key(loop.name) == key(name)), None)

    def branch(self, name: str) -> Branch | None:
        if self._branch_index is None or len(self._branch_index) != len(self.branches):
            self._branch_index = {}
            for b in self.branches:
                self._branch_index.setdefault(key(b.name), b)
        return self._branch_index.get(key(name))

    def text(self, loop: str | None = None) -> str:
        from quarvel.hvac.render import as_text

        return as_text(self, loop)

    def as_data(self, loop: str | None = None) -> dict[str, Any]:
        from quarvel.hvac.render import as_data

        return as_data(self, loop)

    def svg(self, loop: str | None = None) -> str:
        from quarvel.hvac.render import as_svg

        return as_svg(self, loop)

    def _repr_svg_(self) -> str:
        return self.svg()


class _Reader:
    def __init__(self, model: IDF) -> None:
        self.model = model
        self.idd: Any = model.idd

    def _objects(self, class_name: str) -> tuple[IDFObject, ...]:
        return self.model[class_name] if class_name in self.model else ()

    def find(self, class_name: str, name: Any) -> IDFObject | None:
        """The object of a class by name (any letter case); None for no such class or name."""
        if not name:
            return None
        return self.model.get_object_by_name(class_name, name if type(name) is str else str(name))

    def nodes(self, value: Any) -> list[str]:
        """A node name, or the nodes of the NodeList it names (the first of that name, as
        the engine takes it)."""
        if not value:
            return []
        text = value if type(value) is str else str(value)
        found = self.find("NodeList", text) if "NodeList" in self.model else None
        return [text] if found is None else [str(v) for v in found.get_values()[1:] if v not in (None, "")]


def topology(model: IDF) -> Topology:
    """The model's systems as records (see the module's docstring)."""
    result = loops_and_branches(model)
    reader = result.reader
    result.component_sets = [ComponentSet("Branch", name, c[0], c[1], c[2], c[3])
                             for _, name, components, _ in scan(model)[1] for c in components]
    result.zone_connections, children = _connections(model)
    result.component_sets += children
    result.air_paths = [_air_path(reader, kind, o) for kind, cls in (("supply", "AirLoopHVAC:SupplyPath"),
                                                                      ("return", "AirLoopHVAC:ReturnPath"))
                        for o in reader._objects(cls)]
    result.outdoor_air_nodes = [n for o in reader._objects("OutdoorAir:NodeList") for v in o.get_values()
                                for n in reader.nodes(v)] + [str(o[0]) for o in reader._objects("OutdoorAir:Node")]
    return result


def loops_and_branches(model: IDF) -> Topology:
    """The loops and the branches alone: what the node connection rules read."""
    reader = _Reader(model)
    result = Topology(reader=reader)
    loops, branches, _ = scan(model)
    loop_of: dict[str, tuple[str, str]] = {}  # branch list -> (loop name, loop type), the first loop's
    held: dict[str, tuple[str, str]] = {}  # branch -> (loop name, loop type)
    for obj, name, supply, demand in loops:
        class_name = obj.class_name
        kind = LOOP_SIDES[class_name][0]
        made = []
        for side_name, (list_name, connectors, inlets, outlets, listed, joined) in (("Supply", supply),
                                                                                    ("Demand", demand)):
            made.append(Side(list_name or None, connectors or None, list(inlets), list(outlets), list(listed),
                             list(joined)))
            list_key = list_name.upper()
            if list_name and list_key not in loop_of:
                owner = loop_of[list_key] = (name, kind if kind == "Air" else f"{kind} {side_name}")
                for branch_name in listed:
                    held[branch_name.upper()] = owner
        result.loops.append(Loop(kind, class_name, name, made[0], made[1], obj))
    for obj, name, components, _ in branches:
        loop, loop_type = held.get(name.upper(), (None, None))
        result.branches.append(Branch(name, loop, loop_type,
                                      [Component(c[0], c[1], c[2], c[3], c[4]) for c in components], obj))
    return result


def scan(model: IDF) -> tuple[tuple[Any, ...], tuple[Any, ...], tuple[Any, ...]]:
    """The loops and branches as the native scan reads them (see quarvel.idf._branch_scan),
    kept in the model's memo until it changes: the checks and the topology read one scan."""
    memo = model._memo()
    found = memo.get("hvac.scan")
    if found is None:
        found = memo["hvac.scan"] = _branch_scan(model, _loop_classes(model.idd))
    return found  # type: ignore[no-any-return]


def _field_index(idd: Any, class_name: str, field_name: str | None) -> int:
    """A field's index by name, or -1 for none (no name, or a schema without the field)."""
    try:
        return idd.field_index(class_name, field_name) if field_name else -1  # type: ignore[no-any-return]
    except LookupError:
        return -1


def _loop_classes(idd: Any) -> tuple[tuple[Any, ...], ...]:
    """Each loop class with the indexes of its sides' fields, for the branch scan (-1 for
    a field the schema lacks)."""
    table = _schema_table(idd)
    found = table.get("loop classes")
    if found is None:
        found = table["loop classes"] = tuple(
            (class_name, *(_field_index(idd, class_name, f) for side in sides.values() for f in side))
            for class_name, (_, sides) in LOOP_SIDES.items())
    return found  # type: ignore[no-any-return]


# The classes whose objects name children by pairs of fields "... Object Type" and "... Name".
PARENT_CLASSES = ("AirLoopHVAC:UnitarySystem", "AirLoopHVAC:Unitary:Furnace:HeatCool", "AirLoopHVAC:UnitaryHeatCool",
                  "AirLoopHVAC:UnitaryHeatPump:AirToAir", "ZoneHVAC:PackagedTerminalAirConditioner",
                  "ZoneHVAC:PackagedTerminalHeatPump", "ZoneHVAC:FourPipeFanCoil", "ZoneHVAC:WaterToAirHeatPump")
ZONE_CONNECTION_FIELDS = ("Zone Conditioning Equipment List Name", "Zone Air Inlet Node or NodeList Name",
                          "Zone Air Exhaust Node or NodeList Name", "Zone Air Node Name",
                          "Zone Return Air Node or NodeList Name")


def _connections(model: IDF) -> tuple[list[ZoneConnection], list[ComponentSet]]:
    """The zone connections, and the parent-child relations beyond the branches:
    outdoor-air systems and their equipment, air distribution units and their terminals,
    and each object whose fields name a child by class and name (a unitary system and
    its fan and coils), each with the child's own first inlet and outlet."""
    zone_fields, rules = _connection_plan(model.idd)
    zones, children = _connection_scan(model, zone_fields, rules)
    return ([ZoneConnection(zone, equipment or None, list(inlets), list(exhausts), zone_node or None, list(returns))
             for zone, equipment, inlets, exhausts, zone_node, returns in zones],
            [ComponentSet(*child) for child in children])


def _connection_plan(idd: Any) -> tuple[tuple[int, ...], tuple[tuple[Any, ...], ...]]:
    """Where the connection scan finds its fields in this schema (-1: no such field)."""
    table = _schema_table(idd)
    found = table.get("connection plan")
    if found is None:
        rules: list[tuple[Any, ...]] = [
            ("AirLoopHVAC:OutdoorAirSystem", "AirLoopHVAC:OutdoorAirSystem:EquipmentList",
             _field_index(idd, "AirLoopHVAC:OutdoorAirSystem", "Outdoor Air Equipment List Name"), (), False),
            ("ZoneHVAC:AirDistributionUnit", "", -1,
             ((_field_index(idd, "ZoneHVAC:AirDistributionUnit", "Air Terminal Object Type"),
               _field_index(idd, "ZoneHVAC:AirDistributionUnit", "Air Terminal Name")),), False)]
        for class_name in PARENT_CLASSES:
            try:
                fields = idd.class_info(class_name)["fields"]
            except LookupError:
                continue
            pairs = tuple((i, fields.index(f.replace("Object Type", "Name"))) for i, f in enumerate(fields)
                          if f.endswith("Object Type") and f.replace("Object Type", "Name") in fields)
            rules.append((class_name, "", -1, pairs, True))
        found = table["connection plan"] = (
            tuple(_field_index(idd, "ZoneHVAC:EquipmentConnections", f) for f in ZONE_CONNECTION_FIELDS), tuple(rules))
    return found  # type: ignore[no-any-return]


def _air_path(reader: _Reader, kind: str, obj: IDFObject) -> AirPath:
    values = [str(v or "").strip() for v in obj.get_values()]
    return AirPath(kind, values[0], values[1] if len(values) > 1 and values[1] else None,
                   [(values[i], values[i + 1]) for i in range(2, len(values) - 1, 2) if values[i]])


# Per schema object: each class's node fields, as (index, name) of the fields the schema
# lists, and those of them named for a word. Asked once per class and schema; schemas
# never change. (Not by the schema's digest: making it hashes the whole schema text.)
_node_fields: weakref.WeakKeyDictionary[Any, dict[Any, Any]] = weakref.WeakKeyDictionary()


def _schema_table(idd: Any) -> dict[Any, Any]:
    table = _node_fields.get(idd)
    if table is None:
        table = _node_fields[idd] = {}
    return table


def node_field_table(idd: Any, class_name: str) -> tuple[tuple[int, str], ...]:
    table = _schema_table(idd)
    found = table.get(class_name)
    if found is None:
        found = tuple((i, name) for i, name in enumerate(idd.class_info(class_name)["fields"])
                      if idd.field_info(class_name, i)["type"] == "node")
        table[class_name] = found
    return found  # type: ignore[no-any-return]


def _node_uses(reader: _Reader) -> dict[str, list[NodeUse]]:
    """Every node field's value, with the object and field that name it (fields of
    repeated groups beyond those the schema lists take their group's number)."""
    idd = reader.idd
    uses: dict[str, list[NodeUse]] = {}
    for class_name in reader.model.get_class_names():
        fields = node_field_table(idd, class_name)
        if not fields:
            continue
        listed = len(idd.class_info(class_name)["fields"])
        for obj in reader.model[class_name]:
            values = obj.get_values()
            for i, field_name in fields:
                if i < len(values) and values[i] not in (None, ""):
                    uses.setdefault(key(values[i]), []).append(NodeUse(class_name, str(obj[0]), field_name))
            for i in range(listed, len(values)):
                if values[i] not in (None, "") and idd.field_info(class_name, i)["type"] == "node":
                    uses.setdefault(key(values[i]), []).append(
                        NodeUse(class_name, str(obj[0]), idd.field_name(class_name, i, False)))
    return uses
