"""Benchmarks of keeping a model's text for saves in its own layout: the cost at load
(time and memory) and at save, against the default load and save."""

from __future__ import annotations

import subprocess
import sys
import tempfile
from pathlib import Path

from quarvel.idd import IDD
from quarvel.idf import IDF

MB = 1024 * 1024
DATA = Path(__file__).parent / "data"

# Resident memory a load adds, in a fresh process: argv = schema, model, keep_layout.
MEMORY_PROBE = """
import gc, sys
from quarvel.idd import IDD
from quarvel.idf import IDF
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
idd = IDD.from_file(sys.argv[1])
data = open(sys.argv[2], "rb").read()
gc.collect()
before = rss()
model = IDF.open(sys.argv[2], schema=idd, keep_layout=sys.argv[3] == "1")
gc.collect()
print(rss() - before)
"""


def section_layout(timed, row, spread):
    print("Saving in the file's own layout (model_100000obj.idf; medians)")
    idd = IDD.from_file(DATA / "full.idd")
    path = DATA / "model_100000obj.idf"
    size = path.stat().st_size
    plain = timed(lambda: IDF.open(path, schema=idd))
    kept = timed(lambda: IDF.open(path, schema=idd, keep_layout=True))
    row("IDF.open", f"{plain[0] * 1000:.0f}", "ms", spread(plain))
    row("IDF.open keep_layout=True", f"{kept[0] * 1000:.0f}", "ms", f"{kept[0] / plain[0]:.2f}x {spread(kept)}")
    grown = {flag: int(subprocess.check_output([sys.executable, "-c", MEMORY_PROBE, str(DATA / "full.idd"),
                                                str(path), flag])) for flag in ("0", "1")}
    row("memory after IDF.open", f"{grown['0'] / MB:.0f}", "MB", f"{grown['0'] / size:.2f}x the file")
    row("memory after IDF.open keep_layout=True", f"{grown['1'] / MB:.0f}", "MB",
        f"+{(grown['1'] - grown['0']) / MB:.0f} MB")
    model = IDF.open(path, schema=idd, keep_layout=True)
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "out.idf"
        default = timed(lambda: model.save(out))
        row("save (library layout)", f"{default[0] * 1000:.0f}", "ms", spread(default))
        same = timed(lambda: model.save(out, layout="original"))
        row("save layout='original', no edits", f"{same[0] * 1000:.0f}", "ms",
            f"{same[0] / default[0]:.2f}x {spread(same)}")
        objects = list(model)
        for obj in objects[:: len(objects) // 100][:100]:
            if len(obj) > 1:
                obj[len(obj) - 1] = obj[len(obj) - 1]  # the same value: found unchanged
                obj[0] = f"{obj[0]} edited"
        edited = timed(lambda: model.save(out, layout="original"))
        row("save layout='original', 100 objects edited", f"{edited[0] * 1000:.0f}", "ms",
            f"{edited[0] / default[0]:.2f}x {spread(edited)}")
