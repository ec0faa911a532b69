"""Fault-injection sweep: each allocation of each operation is made to fail in turn.

    python tools/faultinject/sweep.py [--python] [--every K] [--ops NAME,...] [--list]

The shim (failalloc.cpp, built here with the C++ compiler) is preloaded into a worker
process per operation. For N = 1, 2, ... the worker makes the N-th allocation of the
operation fail (C++ allocations; with --python, the interpreter's as well) until the
operation no longer reaches N. After every try:

- the operation either gives the same result as it does without a failure, or raises
  MemoryError;
- when it raised, the model (text, object list and indexes) is exactly as before;
- either way the model's indexes agree with its objects, and nothing was reported as
  unraisable.

A worker that dies is reported with the operation and N. With --every K only every
K-th point is tried (the continuous-integration run); the full sweep is the default.
Exit status 1 when anything was found.
"""

from __future__ import annotations

import argparse
import copy
import ctypes
import os
import pickle
import subprocess
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
SHIM_SOURCE = Path(__file__).with_name("failalloc.cpp")
SHIM = ROOT / "build" / "faultinject" / "failalloc.so"
DATA = ROOT / "tests" / "data"
MARK = "@@"


def build_shim() -> Path:
    if SHIM.exists() and SHIM.stat().st_mtime >= SHIM_SOURCE.stat().st_mtime:
        return SHIM
    SHIM.parent.mkdir(parents=True, exist_ok=True)
    compiler = os.environ.get("CXX", "g++")
    include = sysconfig.get_paths()["include"]
    subprocess.run([compiler, "-std=c++17", "-O1", "-shared", "-fPIC", f"-I{include}", str(SHIM_SOURCE), "-o",
                    str(SHIM)], check=True)
    return SHIM


# ---- the operations -------------------------------------------------------------------
# Each takes a fresh context (made with allocation failures off) and returns a value that
# compares equal between a run with a failure that was recovered from and one without.


def _context():
    from quarvel.idd import IDD
    from quarvel.idf import IDF

    schema = IDD.from_file(DATA / "test.idd")
    edited = IDF.from_file(schema, DATA / "office.idf")
    edited["Zone"][0]["Multiplier"] = 7
    edited.remove_object(edited["People"][0])
    import quarvel
    from quarvel.epjson import Mapping
    from quarvel.utils import eso_points

    example_schema = IDD.from_file(quarvel.EXAMPLE_IDD)
    example = IDF.from_file(example_schema, quarvel.EXAMPLE_IDF)
    mapping = Mapping.from_file(quarvel.EXAMPLE_EPJSON)
    return {"schema": schema, "model": IDF.from_file(schema, DATA / "office.idf"), "IDF": IDF, "IDD": IDD,
            "edited": edited, "model_text": (DATA / "office.idf").read_text(),
            "schema_text": (DATA / "test.idd").read_text(), "example": example, "example_schema": example_schema,
            "mapping": mapping, "document": example.to_epjson(mapping), "eso_points": eso_points,
            "plant": _plant_loop()}


def _zone(ctx):
    return ctx["model"]["Zone"][0]


OPERATIONS = {
    "load": lambda c: c["IDF"].from_string(c["schema"], c["model_text"]),
    "load_schema": lambda c: c["IDD"].from_string(c["schema_text"]),
    "set_name": lambda c: _zone(c).__setitem__("Name", "Renamed Zone"),
    "rename_with_references": lambda c: _zone(c).rename("Renamed Zone"),
    "diff": lambda c: [str(change) for change in c["model"].diff(c["edited"])],
    "set_plain_field": lambda c: _zone(c).__setitem__("Multiplier", 4),
    "update": lambda c: _zone(c).update({"Name": "Updated", "Multiplier": 2, "X Origin": 1.5}),
    "add_object": lambda c: c["model"].add_object("People", ["New People", "West Zone", "Occupancy"]),
    "remove_object": lambda c: c["model"].remove_object(_zone(c)),
    "remove_all_objects": lambda c: c["model"].remove_all_objects("BuildingSurface:Detailed"),
    "get_object_by_name": lambda c: c["model"].get_object_by_name("Zone", "EAST ZONE"),
    "get_referencing_objects": lambda c: _zone(c).get_referencing_objects("Name"),
    "get_referenced_object": lambda c: c["model"]["People"][0].get_referenced_object(1),
    "find_dangling_references": lambda c: c["model"].find_dangling_references(),
    "format": lambda c: c["model"].format(),
    "pickle": lambda c: pickle.loads(pickle.dumps(c["model"])),
    "deepcopy": lambda c: copy.deepcopy(c["model"]),
    "copy": lambda c: copy.copy(c["model"]),
    "class_info": lambda c: [c["schema"].class_info(n) for n in c["schema"].class_names()[:5]],
    "field_info": lambda c: c["schema"].field_info("BuildingSurface:Detailed", "Vertex 3 Z-coordinate"),
    "iterate": lambda c: list(c["model"]),
    "validate": lambda c: [(d.code, d.line, d.message) for d in c["model"].validate()],
    "validate_native": lambda c: [(d.code, d.line, d.message) for d in c["model"]._validate()],
    "to_epjson": lambda c: c["example"].to_epjson(c["mapping"]),
    "from_epjson": lambda c: c["IDF"].from_epjson(c["example_schema"], c["document"], c["mapping"]),
    "epjson_members": lambda c: _epjson_members(c),
    "epjson_line": lambda c: _epjson_lines(c),
    # The path as str: CPython turns a failed __fspath__ lookup of a Path into TypeError.
    "load_file": lambda c: c["IDF"].from_file(c["schema"], str(DATA / "office.idf")).format(comments=True),
    "load_with_comments": lambda c: c["IDF"].from_string(c["schema"], COMMENTED).format(comments=True),
    "geometry_measures": lambda c: _measures(c["example"]),
    "eso_points": lambda c: c["eso_points"](ESO, {7: 2, 8: 4, 9: 5}, 2001),
    "hvac_scans": lambda c: _hvac_scans(c),
}


def _hvac_scans(ctx):
    """The native HVAC scans over a small plant loop of the shared schema (nothing
    without it); the model and the plans are made before the allocations fail."""
    if ctx.get("plant") is None:
        return None
    from quarvel.idf import _branch_scan, _connection_scan

    model, loop_classes, (zone_fields, rules) = ctx["plant"]
    return _branch_scan(model, loop_classes), _connection_scan(model, zone_fields, rules)


def _plant_loop():
    from quarvel.hvac import graph
    from quarvel.idd import IDD
    from quarvel.idf import IDF

    path = ROOT.parent / "shared" / "real-data" / "schema-25.2.idd"
    if not path.exists():
        return None
    model = IDF.from_string(IDD.from_file(path), "")
    model.add_object("PlantLoop", {"Name": "Loop", "Plant Side Inlet Node Name": "In",
                                   "Plant Side Outlet Node Name": "Out", "Plant Side Branch List Name": "Branches"})
    model.add_object("BranchList", ["Branches", "Pump Branch", "Pipe Branch"])
    model.add_object("Branch", ["Pump Branch", "", "Pump:ConstantSpeed", "Pump", "In", "Mid",
                                "Pipe:Adiabatic", "Lost", "mid", "Out"])
    model.add_object("Branch", ["Pipe Branch", "", "Pipe:Adiabatic", "Pipe", "Mid", "Out"])
    model.add_object("Pump:ConstantSpeed", ["Pump", "In", "Other"])
    model.add_object("NodeList", ["In", "A", "B"])
    model.add_object("ZoneHVAC:AirDistributionUnit", ["Unit", "Out", "Pump:ConstantSpeed", "Pump"])
    model.add_object("ZoneHVAC:EquipmentConnections", ["Zone", "", "In", "", "Zone Node", "Return"])
    return model, graph._loop_classes(model.idd), graph._connection_plan(model.idd)




ESO = (b"Program Version\n7,1,Zone A,Zone Air Temperature [C] !Hourly\nEnd of Data Dictionary\n"
       b"1,DAY\n2,1, 1,21, 0, 1, 0.00,60.00,Monday\n7,1.5\n8,2\n4,1, 1\n8,3\n5,1\n9,4\n")


def _measures(model):
    from quarvel import geometry

    m = geometry.measure(model)
    return ([(s.surface.name, round(s.area, 9), s.orientation) for s in m.surfaces],
            [(z.name, round(z.floor_area, 9), z.volume and round(z.volume, 9)) for z in m.zones.values()],
            len(geometry.svg(model)))

# Operations whose own code is Python (the native parts have operations of their own):
# with the interpreter's allocations failing, CPython 3.13.0 itself can crash in them
# (sorted(key=...) and dict.setdefault corrupt their objects when an allocation fails, and
# making a function object dereferences a failed allocation), so the --python pass leaves
# them out. `validate` runs the native rules (`validate_native`, swept in both passes)
# and then rules written in Python.
PYTHON_LEVEL = {"to_epjson", "from_epjson", "geometry_measures", "validate"}


def _epjson_members(ctx):
    from quarvel.idf import _epjson_members

    mapping, model = ctx["mapping"], ctx["example"]
    return [_epjson_members(mapping.get(name).plan, model[name]) for name in sorted(model.get_class_names())]


def _epjson_lines(ctx):
    from quarvel.idf import _epjson_line

    mapping = ctx["mapping"]
    lines = []
    for class_name, objects in ctx["document"].items():
        plan = mapping.get(class_name).plan
        for key, body in objects.items():
            lines.append(_epjson_line(plan, key, body, f'{class_name}["{key}"]'))
    return lines


COMMENTED = """! header
! more header

! above
Zone,
  West,   ! inline
  ! above a field
  0;
Zone, East;  ! after
! the end
"""


def _described(value):
    """A result in a form that compares by content, made after the failures are off."""
    from quarvel.idd import IDD
    from quarvel.idf import IDF, IDFObject

    if isinstance(value, IDFObject):
        return value.class_name, value.get_values()
    if isinstance(value, IDF):
        return value.format()
    if isinstance(value, IDD):
        return value.class_names()
    if isinstance(value, (list, tuple)):
        return [_described(item) for item in value]
    return value


def _objects(values):
    return [o.get_values() if o is not None else None for o in values]


def _memory_error_behind(error: BaseException) -> bool:
    """Raised for exhausted memory, or for an error that the interpreter raised while
    handling that (the pickler, for one, reports a failed import as a PicklingError)."""
    if isinstance(error, pickle.PicklingError) and "import of module" in str(error):
        return True  # the pickler's own handling of a failed import, which drops the cause
    while error is not None:
        if isinstance(error, MemoryError):
            return True
        error = error.__cause__ or error.__context__
    return False


def _model_snapshot(ctx):
    model = ctx["model"]
    state = model.__reduce__()[2]
    return model.format(), _objects(state[1]), state[2], state[3], state[4]


# ---- the worker ---------------------------------------------------------------------------


def worker(name: str, python_allocations: bool, every: int) -> int:
    sys.path.insert(0, str(ROOT / "tests"))
    from invariants import check_invariants  # the tests' own checker

    shim = ctypes.CDLL(None)
    arm, disarm, failed = shim.quarvel_failalloc_arm, shim.quarvel_failalloc_disarm, shim.quarvel_failalloc_failed
    arm.argtypes = [ctypes.c_long]
    disarm.restype = ctypes.c_long
    if python_allocations:
        shim.quarvel_failalloc_hook_python()
    unraisable = []
    sys.unraisablehook = lambda info: unraisable.append(repr(info.exc_value))
    operation = OPERATIONS[name]

    reference_ctx = _context()
    expected = _described(operation(reference_ctx))
    expected_after = _model_snapshot(reference_ctx)
    findings = 0
    n = 1
    while True:
        ctx = _context()
        before = _model_snapshot(ctx)
        print(f"{MARK} {name} {n}", flush=True)
        unraisable.clear()
        outcome, result = "ok", None
        arm(n)
        try:
            result = operation(ctx)
        except BaseException as error:  # noqa: BLE001 - every outcome is judged below
            outcome, result = "raised", error
        disarm()
        reached = failed()
        if outcome == "ok":
            result = _described(result)
        problems = []
        if outcome == "raised" and not _memory_error_behind(result):
            problems.append(f"raised {type(result).__name__}: {result} instead of MemoryError")
        if outcome == "raised" and _model_snapshot(ctx) != before:
            problems.append("raised, but the model changed")
        if outcome == "ok" and result != expected:
            problems.append(f"gave a wrong result: {result!r:.200}")
        if outcome == "ok" and _model_snapshot(ctx) != expected_after:
            problems.append("succeeded, but the model is not as it should be")
        try:
            check_invariants(ctx["model"])
        except AssertionError as error:
            problems.append(f"indexes disagree with the objects: {error}")
        if unraisable:
            problems.append(f"reported as unraisable: {unraisable[0]:.200}")
        for problem in problems:
            findings += 1
            print(f"FINDING {name} at allocation {n}: {problem}", flush=True)
        if not reached:
            print(f"{MARK} done {name} {n - 1} allocations", flush=True)
            return 1 if findings else 0
        n += every


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", action="store_true", help="fail the interpreter's allocations too")
    parser.add_argument("--every", type=int, default=1, metavar="K", help="try every K-th allocation only")
    parser.add_argument("--ops", help="comma-separated operations (default: all)")
    parser.add_argument("--list", action="store_true", help="list the operations")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.list:
        print("\n".join(OPERATIONS))
        return 0
    if args.worker:
        return worker(args.worker, args.python, args.every)
    shim = build_shim()
    env = dict(os.environ, LD_PRELOAD=f"{shim}:{os.environ.get('LD_PRELOAD', '')}".rstrip(":"))
    names = args.ops.split(",") if args.ops else [n for n in OPERATIONS if not (args.python and n in PYTHON_LEVEL)]
    status = 0
    for name in names:
        command = [sys.executable, __file__, "--worker", name, "--every", str(args.every)]
        if args.python:
            command.append("--python")
        run = subprocess.run(command, env=env, capture_output=True, text=True)
        lines = run.stdout.splitlines()
        for line in lines:
            if line.startswith("FINDING"):
                print(line)
        done = [line for line in lines if line.startswith(f"{MARK} done")]
        if run.returncode != 0 and not done or run.returncode < 0:
            last = next((line for line in reversed(lines) if line.startswith(MARK)), f"{MARK} {name} ?")
            print(f"CRASH {name}: the worker died (status {run.returncode}) at allocation {last.split()[-1]}")
            print("\n".join(run.stderr.splitlines()[-15:]))
            status = 1
        elif run.returncode != 0:
            status = 1
        if done:
            print(f"{name}: {done[0].split()[3]} allocation points, every {args.every}")
    print("fault injection found nothing" if status == 0 else "fault injection found faults")
    return status


if __name__ == "__main__":
    sys.exit(main())
