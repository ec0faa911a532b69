"""Benchmarks of running the engine and reading its results: batch dispatch per run (with
a stand-in engine that exits at once), every series of a run against pandas.read_sql of
the same rows, the .eso reader against a plain line-by-line reader."""

from __future__ import annotations

import sqlite3
import sys
import tempfile
from pathlib import Path

import quarvel
from quarvel import batch, results
from quarvel.results.store import EsoStore

REAL = Path(__file__).parent.parent.parent / "shared" / "real-data"
QUICK_ENGINE = "#!{python}\nimport sys\n"


def _plain_eso(path: Path) -> dict[str, list[float]]:
    """What a user would write: every data line split, every value kept by id."""
    values: dict[str, list[float]] = {}
    in_data = False
    with open(path, encoding="utf-8", errors="replace") as stream:
        for line in stream:
            if not in_data:
                in_data = line.startswith("End of Data Dictionary")
                continue
            parts = line.strip().split(",")
            if len(parts) == 2 and parts[0].isdigit() and int(parts[0]) > 6:
                values.setdefault(parts[0], []).append(float(parts[1]))
    return values


def section_simulation(timed, row, spread):
    print("Running and results (medians)")
    with tempfile.TemporaryDirectory() as tmp:
        engine = Path(tmp) / "engine"
        engine.write_text(QUICK_ENGINE.format(python=sys.executable))
        engine.chmod(0o755)
        models = [quarvel.EXAMPLE_IDF] * 20
        whole = timed(lambda: batch.run(models, engine=engine, jobs=2, out_dir=Path(tmp) / "runs", progress=False),
                      3)
        bare = timed(lambda: [__import__("subprocess").run([str(engine)]) for _ in models], 3)
        row("batch.run dispatch per run (20 runs, 2 at a time)", f"{(whole[0] - bare[0] / 2) / 20 * 1000:.1f}", "ms",
            f"beyond starting the engine; target 50 ms {spread(whole)}")
    folder = REAL / "results" / "LgOffVAV"
    if not folder.is_dir():
        print("  (the shared results are not here: readers not measured)")
        return
    import pandas as pd

    found = results.open(folder)
    hourly = [v for v in found.variables() if not v.is_meter]
    ids = [v.id for v in hourly]
    ours = timed(lambda: found._need_store().points(ids))
    db = sqlite3.connect(f"file:{folder / 'eplusout.sql'}?mode=ro", uri=True)
    marks = ",".join("?" * len(ids))
    query = ("SELECT d.ReportDataDictionaryIndex, t.Month, t.Day, t.Hour, t.Minute, d.Value FROM ReportData d "
             f"JOIN Time t ON t.TimeIndex = d.TimeIndex WHERE d.ReportDataDictionaryIndex IN ({marks})")
    plain = timed(lambda: pd.read_sql(query, db, params=ids))
    count = sum(len(p) for p in found._need_store().points(ids).values())
    row(f"every series of LgOffVAV ({count} values)", f"{ours[0] * 1000:.1f}", "ms",
        f"{ours[0] / plain[0]:.2f}x pandas.read_sql; target 1.5x {spread(ours)}")
    eso_path = folder / "eplusout.eso"
    store = EsoStore([eso_path])
    every = [v.id for v in store.variables()]
    eso = timed(lambda: store.points(every))
    naive = timed(lambda: _plain_eso(eso_path))
    row("the .eso reader, every series", f"{eso[0] * 1000:.1f}", "ms",
        f"{naive[0] / eso[0]:.1f}x faster than a line-by-line reader; target 5x {spread(eso)}")
    found.close()
