"""The HVAC systems: topology of the shared models, the node connection rules on broken
copies of them, and the command that shows the loops."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from quarvel.hvac import topology
from quarvel.idd import IDD
from quarvel.idf import IDF

from .realdata import REAL, REAL_MODELS, REAL_SCHEMA, needs_real_data

pytestmark = needs_real_data
FIVE_ZONE = REAL / "models" / "5ZoneAirCooled.idf"


@pytest.fixture(scope="module")
def schema():
    return IDD.from_file(REAL_SCHEMA)


@pytest.mark.parametrize("path", REAL_MODELS, ids=lambda p: p.stem)
def test_the_shared_models_have_connected_loops_and_no_findings(schema, path):
    model = IDF.from_file(schema, path)
    graph = topology(model)
    loop_classes = ("AirLoopHVAC", "PlantLoop", "CondenserLoop")
    assert len(graph.loops) == sum(len(model[c]) for c in loop_classes if c in model)
    assert len(graph.branches) == (len(model["Branch"]) if "Branch" in model else 0)
    listed = {b.upper() for loop in graph.loops for side in (loop.supply, loop.demand) for b in side.branches}
    for branch in graph.branches:
        assert branch.name.upper() in listed and branch.loop_type is not None
        for before, after in zip(branch.components, branch.components[1:]):
            assert before.outlet.upper() == after.inlet.upper()
        for c in branch.components:
            uses = graph.nodes[c.outlet.upper()]
            assert any(u.class_name == "Branch" and u.name == branch.name for u in uses)
    assert model.validate(select=[f"E50{i}" for i in range(1, 9)]) == []


def test_the_five_zone_model(schema):
    graph = topology(IDF.from_file(schema, FIVE_ZONE))
    assert [(loop.class_name, loop.name) for loop in graph.loops] == [
        ("AirLoopHVAC", "VAV Sys 1"), ("PlantLoop", "Hot Water Loop"), ("PlantLoop", "Chilled Water Loop"),
        ("CondenserLoop", "Condenser Water Loop")][:len(graph.loops)]
    main = graph.branch("vav sys 1 main branch")
    assert (main.loop, main.loop_type, main.inlet, main.outlet) == ("VAV Sys 1", "Air", "VAV Sys 1 Inlet Node",
                                                                    "VAV Sys 1 Outlet Node")
    assert [c.class_name for c in main.components] == ["AirLoopHVAC:OutdoorAirSystem", "Coil:Cooling:Water",
                                                       "Coil:Heating:Water", "Fan:VariableVolume"]
    assert graph.branch("Central Boiler Branch").loop_type == "Plant Supply"
    assert graph.branch("SPACE1-1 Reheat Branch").loop_type == "Plant Demand"
    oa = [s for s in graph.component_sets if s.parent_class == "AirLoopHVAC:OutdoorAirSystem"]
    assert oa and all(s.parent_name == "OA Sys 1" for s in oa)
    assert any(s.parent_class == "ZoneHVAC:AirDistributionUnit" for s in graph.component_sets)
    assert {p.kind for p in graph.air_paths} == {"supply", "return"} and graph.zone_connections


def _set(model, class_name, name, field, value):
    model.get_object_by_name(class_name, name)[field] = value


BROKEN = {
    "component-node-mismatch": (
        lambda m: _set(m, "Fan:VariableVolume", "Supply Fan 1", "Air Outlet Node Name", "Somewhere Else"),
        "E501", "Branch", "VAV Sys 1 Main Branch", "Component 4 Outlet Node Name"),
    "branch-chain-broken": (
        lambda m: (_set(m, "Branch", "VAV Sys 1 Main Branch", "Component 3 Inlet Node Name", "Loose Node"),
                   _set(m, "Coil:Heating:Water", "Main Heating Coil 1", "Air Inlet Node Name", "Loose Node")),
        "E502", "Branch", "VAV Sys 1 Main Branch", "Component 3 Inlet Node Name"),
    "branch-not-listed": (
        lambda m: m.add_object("Branch", ["Lost Branch", "", "Pipe:Adiabatic", "Lost Pipe", "Lost In", "Lost Out"]),
        "E503", "Branch", "Lost Branch", "Name"),
    "branch-listed-twice": (
        lambda m: _set(m, "BranchList", "Heating Supply Side Branches", "Branch 5 Name", "Central Boiler Branch"),
        "E504", "BranchList", "Heating Supply Side Branches", "Branch 5 Name"),
    "connector-branch-elsewhere": (
        lambda m: _set(m, "Connector:Splitter", "Heating Supply Splitter", "Outlet Branch 2 Name",
                       "SPACE1-1 Reheat Branch"),
        "E505", "Connector:Splitter", "Heating Supply Splitter", "Outlet Branch 2 Name"),
    "loop-node-mismatch": (
        lambda m: _set(m, "PlantLoop", "Hot Water Loop", "Plant Side Inlet Node Name", "HW Elsewhere"),
        "E506", "PlantLoop", "Hot Water Loop", "Plant Side Inlet Node Name"),
    "node-outlet-twice": (
        lambda m: (_set(m, "Branch", "Heating Supply Bypass Branch", "Component 1 Outlet Node Name",
                        "Central Boiler Outlet Node"),
                   _set(m, "Pipe:Adiabatic", "Heating Supply Side Bypass", "Outlet Node Name",
                        "Central Boiler Outlet Node")),
        "E507", "Branch", "Heating Supply Bypass Branch", "Component 1 Outlet Node Name"),
    "missing-component": (
        lambda m: _set(m, "Branch", "Central Boiler Branch", "Component 1 Name", "No Such Boiler"),
        "E508", "Branch", "Central Boiler Branch", "Component 1 Name"),
}


MESSAGES = {
    "component-node-mismatch": "Branch 'VAV Sys 1 Main Branch' gives Fan:VariableVolume 'Supply Fan 1' the outlet "
                               "node 'VAV Sys 1 Outlet Node', but its own outlet nodes are 'Somewhere Else'.",
    "branch-chain-broken": "Coil:Heating:Water 'Main Heating Coil 1' takes its air or water from node 'Loose Node', "
                           "but the component before it (Coil:Cooling:Water 'Main Cooling Coil 1') leaves at "
                           "'Main Cooling Coil 1 Outlet Node'.",
    "branch-not-listed": "Branch 'Lost Branch' is on no branch list: no loop simulates it.",
    "branch-listed-twice": "Branch 'Central Boiler Branch' is listed here and in BranchList 'Heating Supply Side "
                           "Branches'.",
    "connector-branch-elsewhere": "Connector:Splitter 'Heating Supply Splitter' joins branch 'SPACE1-1 Reheat "
                                  "Branch', which is not on BranchList 'Heating Supply Side Branches' of PlantLoop "
                                  "'Hot Water Loop'.",
    "loop-node-mismatch": "The supply side begins at node 'HW Elsewhere', but its first branch 'Heating Supply "
                          "Inlet Branch' begins at 'HW Supply Inlet Node'.",
    "node-outlet-twice": "Node 'Central Boiler Outlet Node' is the outlet of Pipe:Adiabatic 'Heating Supply Side "
                         "Bypass' and of Boiler:HotWater 'Central Boiler' on branch 'Central Boiler Branch'.",
    "missing-component": "Branch 'Central Boiler Branch' names Boiler:HotWater 'No Such Boiler', which the model "
                         "does not have.",
}


@pytest.mark.parametrize("fault", BROKEN, ids=list(BROKEN))
def test_each_connection_error_is_found_on_its_object(schema, fault):
    model = IDF.from_file(schema, FIVE_ZONE)
    edit, code, class_name, name, field_name = BROKEN[fault]
    edit(model)
    found = [f for f in model.validate() if f.code.startswith("E50")]
    assert [(f.code, f.rule, f.class_name, f.object_name, f.field_name) for f in found if f.code == code] == [
        (code, fault, class_name, name, field_name)]
    assert [f.message for f in found if f.code == code] == [MESSAGES[fault]]
    assert found[0].line is not None or class_name == "Branch" and name == "Lost Branch"


def quarvel(*args):
    entry = Path(sys.executable).parent / "quarvel"
    return subprocess.run([str(entry), *map(str, args)], capture_output=True, text=True,
                          env={**os.environ, "QUARVEL_IDD_PATH": str(REAL)})


def test_the_command_shows_the_loops(tmp_path):
    text = quarvel("hvac", FIVE_ZONE, "--loop", "hot water loop")
    assert text.returncode == 0, text.stderr
    assert text.stdout.splitlines()[:3] == [
        "PlantLoop 'Hot Water Loop'",
        "  supply side: HW Supply Inlet Node -> HW Supply Outlet Node (BranchList 'Heating Supply Side Branches')",
        "    Branch 'Heating Supply Inlet Branch'"]
    data = json.loads(quarvel("hvac", FIVE_ZONE, "--format", "json").stdout)
    assert len(data["branches"]) == len(topology(IDF.from_file(IDD.from_file(REAL_SCHEMA), FIVE_ZONE)).branches)
    picture = quarvel("hvac", FIVE_ZONE, "--format", "svg", "-o", tmp_path / "loops.svg")
    drawn = (tmp_path / "loops.svg").read_text()
    assert picture.returncode == 0 and drawn.startswith("<svg") and drawn.count('class="component"') == sum(
        len(b["components"]) for b in data["branches"] if b["loop"])
    # Each plant side runs through a splitter and a mixer (a bar each), the branches between
    # them side by side: the inlet branch joins the splitter, which joins each branch it feeds.
    assert drawn.count('class="bar"') == 8 and "Connector:Splitter 'Heating Demand Splitter'" in drawn
    hot_water = topology(IDF.from_file(IDD.from_file(REAL_SCHEMA), FIVE_ZONE)).loop("Hot Water Loop")
    joins = drawn.split("Connector:Splitter 'Heating Demand Splitter'")[1].split("Connector:Mixer")[0]
    assert joins.count("<line") == 1 + len(hot_water.demand.branches) - 2  # inlet and outlet branches aside
    missing = quarvel("hvac", FIVE_ZONE, "--loop", "Hot Watr Loop")
    assert missing.returncode == 2 and "Did you mean 'Hot Water Loop'?" in missing.stderr


@pytest.mark.parametrize("field", ["Component 1 Inlet Node Name", "Component 1 Outlet Node Name"])
def test_node_names_compare_in_any_letter_case(schema, field):
    model = IDF.from_file(schema, FIVE_ZONE)
    branch = model.get_object_by_name("Branch", "Central Boiler Branch")
    branch[field] = branch[field].swapcase()
    assert [f.code for f in model.validate() if f.code.startswith("E50")] == []
    assert topology(model).branch("central boiler branch").components[0].inlet == branch[2 + 2]


@pytest.mark.parametrize("scan, args", [
    ("_branch_scan", ()), ("_branch_scan", ("model", ())), ("_branch_scan", (None, "loops")),
    ("_branch_scan", (None, (("AirLoopHVAC", 1),))), ("_branch_scan", (None, (("AirLoopHVAC", *["x"] * 8),))),
    ("_connection_scan", (None, (1, 2, 3, 4), ())), ("_connection_scan", (None, (1, 2, 3, 4, 5), (("Zone",),))),
    ("_connection_scan", (None, (1, 2, 3, 4, 5), (("Zone", "", -1, ((1,),), True),)))])
def test_the_native_scans_refuse_what_they_cannot_read(schema, scan, args):
    import quarvel.idf

    model = IDF.from_file(schema, FIVE_ZONE)
    with pytest.raises(TypeError):
        getattr(quarvel.idf, scan)(*(model if a is None else a for a in args))


def test_the_checks_see_an_edit_made_after_they_ran(schema):
    model = IDF.from_file(schema, FIVE_ZONE)
    assert [f.code for f in model.validate() if f.code.startswith("E50")] == []
    before = topology(model).branch("Central Boiler Branch").components[0].inlet
    _set(model, "Branch", "Central Boiler Branch", "Component 1 Name", "No Such Boiler")
    assert [f.code for f in model.validate() if f.code.startswith("E50")] == ["E508"]
    assert topology(model).branch("Central Boiler Branch").components[0].name == "No Such Boiler"
    assert topology(model).branch("Central Boiler Branch").components[0].inlet == before
    _set(model, "PlantLoop", "Hot Water Loop", "Plant Side Outlet Node Name", "HW Out Elsewhere")
    assert [f.message for f in model.validate() if f.code == "E506"] == [
        "The supply side ends at node 'HW Out Elsewhere', which its last branch 'Heating Supply Outlet Branch' "
        "does not end at."]
