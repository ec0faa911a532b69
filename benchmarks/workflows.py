"""Benchmarks of what users do with loaded models: comparing them and running batches."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

from quarvel import batch
from quarvel.idd import IDD
from quarvel.idf import IDF

MB = 1024 * 1024
HERE = Path(__file__).parent
DATA = HERE / "data"
REAL = HERE.parent.parent / "shared" / "real-data"


def largest_real_model(section: str) -> tuple[IDD, Path] | None:
    """The real schema and LgOffVAV.idf, the largest shared model; None (said so) without
    the shared data."""
    path = REAL / "models" / "LgOffVAV.idf"
    if not path.is_file():
        print(f"{section}: skipped (the shared real data is not here)")
        return None
    return IDD.from_file(REAL / "schema-25.2.idd"), path


def large_text(least_bytes: int) -> tuple[Path, str, str]:
    """(schema, label, text): the real models and library files concatenated until the
    text holds `least_bytes`, when the shared real data is here; else the generated model."""
    if not REAL.is_dir():
        return DATA / "full.idd", "model_30MB.idf (generated)", (DATA / "model_30MB.idf").read_text()
    parts = [p.read_text(encoding="latin-1") for p in sorted((REAL / "models").glob("*.idf"))]
    parts += [p.read_text(encoding="latin-1") for p in sorted((REAL / "datasets").glob("*.idf"))]
    text, size = [], 0
    while size < least_bytes:
        for part in parts:
            text.append(part)
            size += len(part)
    joined = "".join(text)
    return REAL / "schema-25.2.idd", f"real models and library files ({len(joined) / MB:.0f} MB)", joined


def every_hundredth_number_changed(text: str) -> str:
    count = 0

    def bump(match: re.Match[str]) -> str:
        nonlocal count
        count += 1
        return match.group(1) + "9" if count % 100 == 0 else match.group(0)

    return re.sub(r"([,\n]\s*-?\d+\.\d+)", bump, text)


def section_diff(timed, row, spread):
    print("Diff (time next to loading one of the two models)")
    schema_path, label, text = large_text(40 * MB)
    idd = IDD.from_file(schema_path)
    old = IDF.from_string(idd, text)
    new = IDF.from_string(idd, every_hundredth_number_changed(text))
    load = timed(lambda: IDF.from_string(idd, text))
    compare = timed(lambda: old.diff(new))
    again = IDF.from_string(idd, text)
    same = timed(lambda: old.diff(again))
    changes = len(old.diff(new))
    row(f"load {label}", f"{load[0] * 1000:.0f}", "ms", spread(load))
    row("diff against it with every 100th decimal changed", f"{compare[0] * 1000:.0f}", "ms",
        f"{compare[0] / load[0]:.2f}x loading, {changes} changes {spread(compare)}")
    row("diff against the same text loaded again", f"{same[0] * 1000:.0f}", "ms", f"{same[0] / load[0]:.2f}x loading {spread(same)}")


def section_batch(timed, row, spread):
    print("Batches (quarvel.batch.map over a folder of models, counting objects)")
    if REAL.is_dir():
        schema_path, sources = REAL / "schema-25.2.idd", sorted((REAL / "models").glob("*.idf"))
    else:
        schema_path, sources = DATA / "full.idd", [DATA / "model_10MB.idf"]
    idd = IDD.from_file(schema_path)
    with tempfile.TemporaryDirectory() as tmp:
        paths = []
        for copy in range(40 // len(sources) + 1):
            for source in sources:
                path = Path(tmp) / f"{copy}-{source.name}"
                path.write_bytes(source.read_bytes())
                paths.append(path)
        size = sum(p.stat().st_size for p in paths) / MB
        serial = timed(lambda: [len(IDF.from_file(idd, p)) for p in paths])
        row(f"{len(paths)} models ({size:.0f} MB) in this process, no pool", f"{len(paths) / serial[0]:.1f}",
            "models/s", spread(serial))
        for workers in (1, 2):
            with ProcessPoolExecutor(workers) as pool:
                batch.map(len, paths[:workers], schema=idd, executor=pool)  # workers started
                run = timed(lambda: batch.map(len, paths, schema=idd, executor=pool))
            row(f"{len(paths)} models with {workers} worker process{'es' if workers > 1 else ''}",
                f"{len(paths) / run[0]:.1f}", "models/s", f"{spread(run)} on {os.cpu_count()} cores")


def section_epjson(timed, row, spread):
    print("epJSON (converting next to loading the same IDF text)")
    if not REAL.is_dir():
        print("  (needs the shared real data: the engine's JSON schema)")
        return
    from quarvel.epjson import Mapping

    mapping_load = timed(lambda: Mapping.from_file(REAL / "schema-25.2.epJSON"))
    row("Mapping.from_file schema-25.2.epJSON (10 MB)", f"{mapping_load[0] * 1000:.0f}", "ms", spread(mapping_load))
    mapping = Mapping.from_file(REAL / "schema-25.2.epJSON")
    idd = IDD.from_file(REAL / "schema-25.2.idd")
    largest = sorted((REAL / "datasets").glob("*.idf"), key=lambda p: -p.stat().st_size)
    cases = [(p.name, [p]) for p in largest if p.name != "RefrigerationCompressorCurves.idf"][:2]
    cases.append(("the 10 real models", sorted((REAL / "models").glob("*.idf"))))
    for label, paths in cases:
        texts = [p.read_text(encoding="latin-1") for p in paths]
        models = [IDF.from_string(idd, t) for t in texts]
        documents = [m.to_epjson(mapping) for m in models]
        load = timed(lambda: [IDF.from_string(idd, t) for t in texts])
        to_json = timed(lambda: [m.to_epjson(mapping) for m in models])
        back = timed(lambda: [IDF.from_epjson(idd, d, mapping) for d in documents])
        size = sum(len(t) for t in texts) / MB
        row(f"load {label} ({size:.1f} MB)", f"{load[0] * 1000:.0f}", "ms", spread(load))
        row("  to_epjson (model to dict)", f"{to_json[0] * 1000:.0f}", "ms",
            f"{to_json[0] / load[0]:.2f}x loading {spread(to_json)}")
        row("  from_epjson (dict to model)", f"{back[0] * 1000:.0f}", "ms", f"{back[0] / load[0]:.2f}x loading {spread(back)}")


def _shared_name_model(idd, count):
    """A zone and `count` objects that all refer to it by name."""
    from quarvel.idf import IDF

    text = "Zone, Office;\n" + "".join(f"Lights, L{i}, Office, Lighting;\n" for i in range(count))
    return IDF.from_string(idd, text)


def section_bulk_edits(timed, row, spread):
    """Bulk edits at 80,000 objects against 10,000: linear scales 8x (target: within 9x)."""
    import random

    import quarvel
    from quarvel.idd import IDD

    print("Bulk edits (80k objects against 10k; 8x is linear, target 9x)")
    idd = IDD.from_file(quarvel.EXAMPLE_IDD)

    def in_order(model):
        for obj in list(model["Lights"]):
            model.remove_object(obj)

    def in_reverse(model):
        for obj in reversed(model["Lights"]):
            model.remove_object(obj)

    def shuffled(model):
        objects = list(model["Lights"])
        random.Random(1).shuffle(objects)
        for obj in objects:
            model.remove_object(obj)

    def add(model):
        for i in range(len(model["Lights"])):
            model.add_object("Lights", {"Name": f"N{i}", "Zone or ZoneList Name": "Office"})

    def set_every(model):
        for obj in model["Lights"]:
            obj["Zone or ZoneList Name"] = "Office"

    edits = {"remove_object in load order": in_order, "remove_object in reverse order": in_reverse,
             "remove_object in random order": shuffled, "remove_all_objects": lambda m: m.remove_all_objects("Lights"),
             "add_object": add, "rename with every object referring": lambda m: m["Zone"][0].rename("Annex"),
             "set a field on every object": set_every}
    for label, edit in edits.items():
        costs = []
        for count in (10_000, 80_000):
            runs = []
            for _ in range(5):
                model = _shared_name_model(idd, count)
                runs.append(timed(lambda: edit(model), 1)[0])
            costs.append(sorted(runs)[2])
        row(label, f"{costs[1] * 1000:.1f}", "ms", f"{costs[1] / costs[0]:.1f}x the 10k cost (target 9x)")


# One bulk edit in a fresh process: argv = count, edit (or "none" for the load alone).
BULK_EDIT_SCRIPT = """
import random, sys
import quarvel
from quarvel.idd import IDD
from quarvel.idf import IDF
count, edit = int(sys.argv[1]), sys.argv[2]
idd = IDD.from_file(quarvel.EXAMPLE_IDD)
model = IDF.from_string(idd, "Zone, Office;\\n" + "".join(f"Lights, L{i}, Office, Lighting;\\n" for i in range(count)))
lights = list(model["Lights"])
random.Random(1).shuffle(lights)
if edit == "remove_random":
    for obj in lights:
        model.remove_object(obj)
elif edit == "rename":
    model["Zone"][0].rename("Annex")
elif edit == "set":
    for obj in model["Lights"]:
        obj["Zone or ZoneList Name"] = "Office"
elif edit == "add":
    for i in range(count):
        model.add_object("Lights", {"Name": f"N{i}", "Zone or ZoneList Name": "Office"})
"""


def _instructions(count, edit):
    """Instructions callgrind counts for the script, less those of the same script without the edit."""
    import shutil

    def run(what):
        with tempfile.TemporaryDirectory() as tmp:
            done = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={tmp}/out", sys.executable,
                                   "-c", BULK_EDIT_SCRIPT, str(count), what], capture_output=True, text=True, check=True)
        return int(re.search(r"Collected : (\d+)", done.stderr).group(1))

    assert shutil.which("valgrind")
    return run(edit) - run("none")


def section_bulk_counts(timed, row, spread):
    """The bulk edits' instruction counts at 80k and 10k objects (callgrind: repeatable
    where wall time is not, and blind to the caches that make 80k objects slower per object)."""
    import shutil

    if not shutil.which("valgrind"):
        print("Bulk edit instruction counts: skipped (no valgrind)")
        return
    print("Bulk edit instruction counts (callgrind, 80k objects against 10k; 8x is linear, target 9x)")
    for label, edit in (("remove_object in random order", "remove_random"), ("rename with every object referring",
                        "rename"), ("set a field on every object", "set"), ("add_object", "add")):
        small, large = _instructions(10_000, edit), _instructions(80_000, edit)
        row(label, f"{large / 1e6:.0f}", "M instr", f"{large / small:.1f}x the 10k count (target 9x)")


def _count(model):
    return len(model)


def _busy_20ms(model):
    end = time.perf_counter() + 0.02
    while time.perf_counter() < end:
        pass
    return len(model)


def section_small_batches(timed, row, spread):
    """200 copies of the bundled example: a task of nothing, and one of 20 ms of work."""
    import shutil

    import quarvel

    print("Small batches (200 copies of the bundled example; 2 worker processes)")
    idd = IDD.from_file(quarvel.EXAMPLE_IDD)
    with tempfile.TemporaryDirectory() as tmp:
        paths = []
        for i in range(200):
            paths.append(Path(tmp) / f"m{i}.idf")
            shutil.copy(quarvel.EXAMPLE_IDF, paths[-1])
        for label, fn in (("len(model)", _count), ("20 ms of work", _busy_20ms)):
            loop = timed(lambda: [fn(IDF.from_file(idd, p)) for p in paths], 3)
            pooled = timed(lambda: batch.map(fn, paths, schema=idd), 3)
            auto = timed(lambda: batch.map(fn, paths, schema=idd, in_process="auto"), 3)
            row(f"{label}: a loop in this process", f"{loop[0] * 1000:.0f}", "ms", spread(loop))
            row(f"{label}: batch.map", f"{pooled[0] * 1000:.0f}", "ms",
                f"{loop[0] / pooled[0]:.2f}x the loop's speed {spread(pooled)}")
            row(f"{label}: batch.map in_process='auto'", f"{auto[0] * 1000:.0f}", "ms",
                f"{loop[0] / auto[0]:.2f}x the loop's speed {spread(auto)}")


def section_transport(timed, row, spread):
    """A model in memory sent to a worker: as its text (what batch.map does) against a
    pickle and against a load of the file."""
    import pickle

    print("Models in memory travelling to workers (model_100000obj.idf)")
    idd = IDD.from_file(DATA / "full.idd")
    path = DATA / "model_100000obj.idf"
    model = IDF.from_file(idd, path)
    load = timed(lambda: IDF.from_file(idd, path))
    trip = timed(lambda: IDF.from_string(idd, batch._travelling(model, 0, idd.digest).text))
    pickled = timed(lambda: pickle.loads(pickle.dumps(model)))
    row("load of the file (for scale)", f"{load[0] * 1000:.0f}", "ms", spread(load))
    row("as text: written and loaded again", f"{trip[0] * 1000:.0f}", "ms",
        f"{trip[0] / load[0]:.2f}x the load (target 1.5x) {spread(trip)}")
    row("as a pickle: dumped and loaded", f"{pickled[0] * 1000:.0f}", "ms", f"{pickled[0] / load[0]:.2f}x the load")
    try:
        from distributed.protocol import deserialize, serialize
    except ImportError:
        serialize = None
    if serialize is not None:
        batch.register_dask()
        dask = timed(lambda: deserialize(*serialize(model, serializers=("dask",))))
        row("Dask's serialisation: serialised and deserialised", f"{dask[0] * 1000:.0f}", "ms",
            f"{dask[0] / load[0]:.2f}x the load (target 1.5x) {spread(dask)}")
    with ProcessPoolExecutor(2) as pool:
        batch.map(len, [path, path], schema=idd, executor=pool)  # workers started
        by_path = timed(lambda: batch.map(len, [path] * 4, schema=idd, executor=pool), 3)
        in_memory = timed(lambda: batch.map(len, [model] * 4, schema=idd, executor=pool), 3)
    row("batch.map of 4 paths on 2 workers", f"{by_path[0] * 1000:.0f}", "ms", spread(by_path))
    row("batch.map of 4 models in memory on 2 workers", f"{in_memory[0] * 1000:.0f}", "ms",
        f"{in_memory[0] / by_path[0]:.2f}x the paths' {spread(in_memory)}")
