"""The speed targets on real inputs, each figure beside its floor measured in the same run.

Uses the shared real schema and models when they are here (the engine's models and library
files concatenated to 40 MB and more), the generated inputs otherwise.
"""

from __future__ import annotations

import copy
import gc
import pickle
import subprocess
import sys
import tempfile
from pathlib import Path

from quarvel.idd import IDD
from quarvel.idf import IDF
from workflows import DATA, MB, REAL, large_text

_timed = None  # the runner's timer, set by section_targets

# Every byte that is not a delimiter of IDF text: deleting them is one pass over the bytes
# that finds every delimiter, the floor for a parser.
_NOT_DELIMITERS = bytes(b for b in range(256) if b not in b",;!\n")

# The first schema load of a fresh process, in ms: what a script that opens one pays,
# with every page of the schema touched for the first time.
FIRST_LOAD_PROBE = """
import sys, time
from quarvel.idd import IDD
start = time.perf_counter()
IDD.from_file(sys.argv[1])
print((time.perf_counter() - start) * 1000)
"""

PEAK_PROBE = """
import sys
from quarvel.idd import IDD
from quarvel.idf import IDF
def status(key):
    with open('/proc/self/status') as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith(key))
idd = IDD.from_file(sys.argv[1])
with open('/proc/self/clear_refs', 'w') as f:
    f.write('5')  # the peak so far is forgotten: it starts again from what is resident now
before = status('VmRSS')
model = IDF.from_file(idd, sys.argv[2])
print(status('VmHWM') - before)
"""


def schema_path() -> Path:
    return REAL / "schema-25.2.idd" if REAL.is_dir() else DATA / "full.idd"


def section_targets(timed, row, spread):
    global _timed
    _timed = timed
    print("Targets (floors beside each figure)")
    path = schema_path()
    data = path.read_bytes()
    idd_load = timed(lambda: IDD.from_file(path), 9)
    idd_floor = timed(lambda: data.translate(None, _NOT_DELIMITERS), 9)
    row(f"IDD.from_file {path.name} ({len(data) / MB:.1f} MB)", f"{idd_load[0] * 1000:.1f}", "ms",
        f"target 12 ms; floor {idd_floor[0] * 1000:.1f} ms (delimiter pass) {spread(idd_load)}")
    firsts = sorted(float(subprocess.check_output([sys.executable, "-c", FIRST_LOAD_PROBE, str(path)]))
                    for _ in range(7))
    row("  the same, first load of a fresh process", f"{firsts[3]:.1f}", "ms",
        f"(7 processes, {firsts[0]:.1f}..{firsts[-1]:.1f} ms)")
    idd = IDD.from_file(path)

    schema, label, text = large_text(40 * MB)
    idd = IDD.from_file(schema)
    with tempfile.TemporaryDirectory() as tmp:
        big = Path(tmp) / "big.idf"
        big.write_text(text, encoding="latin-1")
        raw = big.read_bytes()
        size = len(raw)
        load, ratios = _load_against_floor(lambda: IDF.from_file(idd, big),
                                           lambda: raw.translate(None, _NOT_DELIMITERS), 7)
        row(f"IDF.from_file {label}", f"{size / load[0] / MB:.0f}", "MB/s",
            f"{ratios[0]:.2f}x one delimiter pass, target 2x (pairs {ratios[1]:.2f}..{ratios[2]:.2f}x) "
            f"{spread(load)}")

        small = Path(tmp) / "small.idf"
        small.write_bytes(raw[: size // 10].rsplit(b";", 1)[0] + b";\n")
        small_load = timed(lambda: IDF.from_file(idd, small), 9)
        per_mb_small = small_load[0] / (small.stat().st_size / MB)
        per_mb_large = load[0] / (size / MB)
        row("time per MB, 40 MB vs 4 MB of the same objects", f"{per_mb_large / per_mb_small:.2f}", "x",
            "(linear growth is 1.0)")

        peak = int(subprocess.check_output([sys.executable, "-c", PEAK_PROBE, str(schema), str(big)]))
        row("peak memory while loading / file size", f"{peak / size:.2f}", "x", f"({peak / MB:.0f} MB peak growth)")

        model = IDF.from_file(idd, big)
        reload = timed(lambda: IDF.from_string(idd, model.format()), 3)
        deep = timed(lambda: copy.deepcopy(model), 3)
        row("copy.deepcopy(model)", f"{deep[0] * 1000:.0f}", "ms",
            f"{deep[0] / reload[0]:.2f}x from_string(format()) ({reload[0] * 1000:.0f} ms) {spread(deep)}")
        blob = pickle.dumps(model, protocol=pickle.HIGHEST_PROTOCOL)
        dumps = timed(lambda: pickle.dumps(model, protocol=pickle.HIGHEST_PROTOCOL), 3)
        loads = timed(lambda: pickle.loads(blob), 3)
        row("pickle.dumps + pickle.loads", f"{(dumps[0] + loads[0]) * 1000:.0f}", "ms",
            f"{(dumps[0] + loads[0]) / load[0]:.2f}x from_file (dumps {dumps[0] * 1000:.0f}, "
            f"loads {loads[0] * 1000:.0f} ms)")
        del model, blob
        gc.collect()
    _shared_name(row)


def _load_against_floor(load, floor, pairs):
    """The load's times and its ratios to the floor, each load paired with a floor pass run
    right after it: on a machine whose speed drifts from minute to minute, a ratio of two
    medians taken minutes apart says more about the drift than about the load."""
    loads, ratios = [], []
    for _ in range(pairs):
        load_time = _timed(load, 1)[0]
        loads.append(load_time)
        ratios.append(load_time / _timed(floor, 1)[0])
    return _summary(loads), _summary(ratios)


def _summary(values):
    values = sorted(values)
    return values[len(values) // 2], values[0], values[-1]


def _shared_name(row):
    """Removing objects that all refer to one name: the cost per object should not grow."""
    schema = IDD.from_file(schema_path())
    if REAL.is_dir():
        referrer = "People,P{i},Zone1,Occupancy,People,1;\n"
        head = "Zone,Zone1;\nSchedule:Constant,Occupancy,,1;\n"
        cls = "People"
    else:
        idd = schema
        cls = next(c for c in idd.class_names() if idd.field_info(c, 1)["object_lists"])
        target_cls = next(c for c in idd.class_names()
                          if set(idd.field_info(c, 0)["references"]) & set(idd.field_info(cls, 1)["object_lists"]))
        referrer = f"{cls},P{{i}},Shared;\n"
        head = f"{target_cls},Shared;\n"
    costs = {}
    for count in (10_000, 40_000):
        text = head + "".join(referrer.format(i=i) for i in range(count))
        costs[count] = _timed(lambda model: model.remove_all_objects(cls), 7,
                              setup=lambda: IDF.from_string(schema, text))[0]
    row("remove 40k objects referring to one name, vs 10k", f"{costs[40_000] / costs[10_000]:.1f}", "x",
        f"(linear is 4x; {costs[10_000] * 1000:.0f} ms and {costs[40_000] * 1000:.0f} ms)")
