"""Benchmarks of running the engine and reading its results: batch dispatch per run (with
a stand-in engine that exits at once), every series of a run against pandas.read_sql of
the same rows, the .eso reader against a plain line-by-line reader. Besides the design-day
outputs of the shared results, an annual run is made from them (8,760 hours of every
hourly variable of LgOffVAV, in the engine's SQLite and text layouts), as the readers'
figures are meant for runs of that size."""

from __future__ import annotations

import sqlite3
import sys
import tempfile
from pathlib import Path

import quarvel
from quarvel import batch, results
from quarvel.results.store import EsoStore

REAL = Path(__file__).parent.parent.parent / "shared" / "real-data"
DATA = Path(__file__).parent / "data"
HOURS = 8760
_MONTH_DAYS = (31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31)


def _calendar() -> list[tuple[int, int, int, int]]:
    """(day of simulation, month, day, hour) of every hour of a year without 29 February."""
    out = []
    day_of_run = 0
    for month, days in enumerate(_MONTH_DAYS, start=1):
        for day in range(1, days + 1):
            day_of_run += 1
            out += [(day_of_run, month, day, hour) for hour in range(1, 25)]
    return out


def _annual_value(base: float, step: int) -> float:
    """A value that varies over the year around a design-day value (never the same digits)."""
    return base * (1.0 + 0.25 * ((step * 7919) % 1000) / 1000.0) + step * 1e-6


def annual_sql(folder: Path) -> Path:
    """The folder's SQLite output with its design days replaced by an annual run of its
    hourly variables."""
    import shutil

    out = DATA / "annual" / "eplusout.sql"
    if out.is_file():
        return out
    out.parent.mkdir(parents=True, exist_ok=True)
    work = out.with_suffix(".partial")
    shutil.copyfile(folder / "eplusout.sql", work)
    db = sqlite3.connect(work)
    hourly = [(i, v or 0.0) for i, v in db.execute(
        "SELECT d.ReportDataDictionaryIndex, (SELECT Value FROM ReportData r WHERE r.ReportDataDictionaryIndex = "
        "d.ReportDataDictionaryIndex LIMIT 1) FROM ReportDataDictionary d WHERE d.ReportingFrequency = 'Hourly'")]
    db.execute("DELETE FROM ReportData")
    db.execute("DELETE FROM Time")
    db.execute("INSERT INTO EnvironmentPeriods VALUES (3, 1, 'RUN PERIOD 1', 3)")
    db.executemany("INSERT INTO Time VALUES (?, 2001, ?, ?, ?, 0, 0, 60, 1, ?, 'Weekday', 3, 0)",
                   [(t + 1, month, day, hour, run_day) for t, (run_day, month, day, hour) in enumerate(_calendar())])
    db.executemany("INSERT INTO ReportData (TimeIndex, ReportDataDictionaryIndex, Value) VALUES (?, ?, ?)",
                   ((t + 1, i, _annual_value(v, t)) for t in range(HOURS) for i, v in hourly))
    db.commit()
    db.close()
    work.replace(out)
    return out


def annual_eso(folder: Path) -> Path:
    """The same annual run in the engine's text layout: the folder's data dictionary, then
    each hour's clock record and the values of its hourly variables."""
    out = DATA / "annual" / "eplusout.eso"
    if out.is_file():
        return out
    out.parent.mkdir(parents=True, exist_ok=True)
    head, _, _ = (folder / "eplusout.eso").read_text(encoding="utf-8", errors="replace").partition(
        "End of Data Dictionary")
    hourly = [int(line.split(",")[0]) for line in head.splitlines()[7:] if "!Hourly" in line]
    lines = [head + "End of Data Dictionary", "1,RUN PERIOD 1,  41.98, -87.92,  -6.00, 201.00"]
    for t, (run_day, month, day, hour) in enumerate(_calendar()):
        lines.append(f"2,{run_day},{month:2d},{day:2d}, 0,{hour:2d}, 0.00,60.00,Weekday")
        lines += [f"{i},{_annual_value(1.0 + i, t)!r}" for i in hourly]
    lines += ["End of Data", f" Number of Records Written={len(lines)}", ""]
    work = out.with_suffix(".partial")
    work.write_text("\n".join(lines), encoding="utf-8")
    work.replace(out)
    return out
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

    for label, source in (("LgOffVAV, design days", folder / "eplusout.sql"), ("an annual run", annual_sql(folder))):
        found = results.open(source)
        hourly = [v for v in found.variables() if not v.is_meter and v.frequency == "Hourly"]
        ids = [v.id for v in hourly]
        store = found._need_store()

        def every_point() -> None:  # a fresh store each time: nothing read before
            with results.open(source) as fresh:
                fresh._need_store().points(ids)

        def every_frame() -> None:
            with results.open(source) as fresh:
                [fresh.series(v.name, v.key, v.frequency) for v in hourly]

        ours = timed(every_point)
        frames = timed(every_frame, 3)
        db = sqlite3.connect(f"file:{source}?mode=ro", uri=True)
        marks = ",".join("?" * len(ids))
        query = ("SELECT d.ReportDataDictionaryIndex, t.Month, t.Day, t.Hour, t.Minute, d.Value FROM ReportData d "
                 f"JOIN Time t ON t.TimeIndex = d.TimeIndex WHERE d.ReportDataDictionaryIndex IN ({marks})")
        plain = timed(lambda: pd.read_sql(query, db, params=ids))
        count = sum(len(p) for p in store.points(ids).values())
        row(f"every hourly series, {label} ({count:,} values)", f"{ours[0] * 1000:.1f}", "ms",
            f"{ours[0] / plain[0]:.2f}x pandas.read_sql; target 1.5x {spread(ours)}")
        row("  the same as pandas frames (series() per variable)", f"{frames[0] * 1000:.1f}", "ms",
            f"{frames[0] / plain[0]:.2f}x pandas.read_sql {spread(frames)}")
        db.close()
        found.close()
    for label, eso_path in (("LgOffVAV, design days", folder / "eplusout.eso"), ("an annual run", annual_eso(folder))):
        store = EsoStore([eso_path])
        every = [v.id for v in store.variables()]
        eso = timed(lambda: store.points(every))
        naive = timed(lambda: _plain_eso(eso_path))
        row(f"the .eso reader, every series, {label}", f"{eso[0] * 1000:.1f}", "ms",
            f"{naive[0] / eso[0]:.1f}x faster than a line-by-line reader; target 5x {spread(eso)}")
