"""Running the engine (through a stand-in program the tests write) and reading the
engine's real outputs."""

import csv
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

import quarvel
from quarvel import batch, results
from quarvel.idd import IDD
from quarvel.idf import IDF
from quarvel.results.store import EsoStore
from quarvel.simulation import EngineNotFoundError, SimulationError, run

from .realdata import REAL, needs_real_data

RESULTS = REAL / "results"

STAND_IN = '''#!{python}
"""A stand-in for the engine: honours its command line, writes outputs, fails or hangs on request."""
import json, os, shutil, subprocess, sys, time
args = sys.argv[1:]
def option(flag, default=None):
    return args[args.index(flag) + 1] if flag in args else default
folder, prefix, model = option("-d", "."), option("-p", "eplus"), args[-1]
text = open(model, encoding="utf-8", errors="replace").read()
with open(os.path.join(folder, "standin-args.json"), "w") as f:
    json.dump({{"args": args, "sqlite": "Output:SQLite" in text}}, f)
out = lambda ext: os.path.join(folder, prefix + "out." + ext)
if "! standin: hang" in text:
    child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(600)"])
    open(os.path.join(folder, "child.pid"), "w").write(str(child.pid))
    time.sleep(600)
if "! standin: fatal" in text:
    open(out("err"), "w").write("Program Version,Engine, Version 25.2.0\\n"
        "   ** Severe  ** Node Connection Error, Node=\\"LOST NODE\\", Zone=\\"OFFICE\\" is not connected.\\n"
        "   **   ~~~   ** ..referenced by Zone=OFFICE\\n"
        "   **  Fatal  ** Errors occurred on processing input file. Preceding condition(s) cause termination.\\n"
        "   ************* Engine Terminated--Fatal Error Detected. 0 Warning; 1 Severe Errors; "
        "Elapsed Time=00hr 00min  0.10sec\\n")
    open(out("end"), "w").write("Engine Terminated--Fatal Error Detected. 0 Warning; 1 Severe Errors; "
                                "Elapsed Time=00hr 00min  0.10sec\\n")
    sys.exit(1)
source = os.environ.get("STANDIN_RESULTS")
if source and os.path.isdir(source):
    for name in os.listdir(source):
        shutil.copy(os.path.join(source, name), out(name.split(".", 1)[1]))
else:
    open(out("err"), "w").write("Program Version,Engine, Version 25.2.0\\n"
        "   ** Warning ** A warning of the stand-in.\\n"
        "   ************* Engine Completed Successfully-- 1 Warning; 0 Severe Errors; Elapsed Time=00hr 00min  0.01sec\\n")
    open(out("end"), "w").write("Engine Completed Successfully-- 1 Warning; 0 Severe Errors; "
                                "Elapsed Time=00hr 00min  0.01sec\\n")
'''


@pytest.fixture
def engine(tmp_path, monkeypatch):
    path = tmp_path / "engine"
    path.write_text(STAND_IN.format(python=sys.executable))
    path.chmod(0o755)
    monkeypatch.setenv("QUARVEL_ENGINE", str(path))
    return path


@pytest.fixture
def models(tmp_path):
    text = quarvel.EXAMPLE_IDF.read_text()
    made = {}
    for name, note in (("ok", ""), ("fatal", "! standin: fatal\n"), ("hang", "! standin: hang\n")):
        made[name] = tmp_path / f"{name}.idf"
        made[name].write_text(note + text)
    return made


def test_a_run_writes_its_copy_and_reports(engine, models, tmp_path):
    before = models["ok"].read_bytes()
    done = run(models["ok"], tmp_path / "chicago.epw", out_dir=tmp_path / "run", design_days=True, csv=True,
               prefix="eplus")
    assert done.ok and done.returncode == 0 and done.folder == tmp_path / "run" and done.elapsed > 0
    seen = json.loads((done.folder / "standin-args.json").read_text())
    assert seen["sqlite"] and "Output:SQLite" not in before.decode()  # added to the copy only
    assert models["ok"].read_bytes() == before
    assert seen["args"][:4] == ["-d", str(tmp_path / "run"), "-p", "eplus"]
    assert {"-w", "-D", "-r"} <= set(seen["args"]) and seen["args"][-1] == str(done.input)
    assert (done.summary.completed, done.summary.warnings, done.summary.severe) == (True, 1, 0)
    assert [m.severity for m in done.messages] == ["warning"]


def test_a_fatal_run_raises_with_its_messages_linked_to_the_model(engine, models, tmp_path):
    schema = IDD.from_file(quarvel.EXAMPLE_IDD)
    model = IDF.from_file(schema, models["fatal"])
    model.add_object("Zone", ["Office Annex"])
    model["Zone"][0]["Name"] = "Office"
    with pytest.raises(SimulationError) as failure:
        run(model, out_dir=tmp_path / "fatal")
    error = failure.value
    assert error.run.returncode == 1 and [m.severity for m in error.severe] == ["severe", "fatal"]
    assert str(error).startswith(f"the run in {tmp_path / 'fatal'} failed (exit status 1): Node Connection Error")
    first = error.severe[0]
    assert (first.class_name, first.object_name, first.object) == ("Zone", "Office", model["Zone"][0])
    assert first.text.endswith("..referenced by Zone=OFFICE")
    kept = run(models["fatal"], out_dir=tmp_path / "again", check=False)
    assert not kept.ok and kept.summary.severe == 1 and not kept.summary.completed


def test_a_hung_run_is_killed_with_its_children(engine, models, tmp_path):
    start = time.perf_counter()
    with pytest.raises(SimulationError, match="timed out"):
        run(models["hang"], out_dir=tmp_path / "hang", timeout=2)
    assert time.perf_counter() - start < 30
    child = int((tmp_path / "hang" / "child.pid").read_text())
    for _ in range(100):
        if not _alive(child):
            break
        time.sleep(0.05)
    assert not _alive(child)


def _alive(pid: int) -> bool:
    """Whether a process runs (a killed one whose parent died may linger as a zombie)."""
    try:
        status = Path(f"/proc/{pid}/status").read_text()
    except FileNotFoundError:
        return False
    return "\nState:\tZ" not in status


def test_the_engine_must_be_given(models, monkeypatch, tmp_path):
    monkeypatch.delenv("QUARVEL_ENGINE", raising=False)
    with pytest.raises(EngineNotFoundError, match="set QUARVEL_ENGINE to the path of the engine's executable"):
        run(models["ok"])
    with pytest.raises(EngineNotFoundError, match="not an executable file"):
        run(models["ok"], engine=tmp_path / "nothing")


def test_a_batch_goes_on_past_failed_and_hung_runs(engine, models, tmp_path):
    seen = []
    outcomes = batch.run([models["ok"], models["fatal"], models["hang"], models["ok"]], None, jobs=2, timeout=10,
                         out_dir=tmp_path / "runs", progress=lambda done, total, o: seen.append((done, total)))
    assert [o.ok for o in outcomes] == [True, False, False, True]
    assert [o.run.status for o in outcomes] == ["ok", "exit status 1", "timed out", "ok"]
    assert sorted(seen) == [(1, 4), (2, 4), (3, 4), (4, 4)]
    assert sorted(p.name for p in (tmp_path / "runs").iterdir()) == ["0000-ok", "0001-fatal", "0002-hang", "0003-ok"]


def test_the_command_line_runs_and_says_how_each_went(engine, models, tmp_path):
    result = subprocess.run([str(Path(sys.executable).parent / "quarvel"), "run", models["ok"], models["fatal"],
                             "-w", tmp_path / "w.epw", "-D", "-o", tmp_path / "cli", "-q"],
                            capture_output=True, text=True, env={**os.environ, "QUARVEL_ENGINE": str(engine)})
    assert result.returncode == 1, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith(f"{models['ok']}: ok, 1 warnings, 0 severe, ")
    assert lines[1].startswith(f"{models['fatal']}: failed (exit status 1), 0 warnings, 1 severe, ")


# ---- the readers, on the engine's real outputs ------------------------------------------


@needs_real_data
@pytest.mark.parametrize("folder", sorted(RESULTS.iterdir()) if RESULTS.is_dir() else [], ids=lambda p: p.name)
def test_series_agree_with_the_engines_own_csv(folder, request):
    from_sql = results.open(folder)
    request.addfinalizer(from_sql.close)
    from_text = results.Results(folder, EsoStore([p for p in (folder / "eplusout.eso", folder / "eplusout.mtr")
                                                  if p.is_file()]))
    rows = list(csv.reader((folder / "eplusout.csv").read_text(encoding="utf-8", errors="replace").splitlines()))
    header = rows[0]
    labels = {"Hourly": "Hourly", "Timestep": "TimeStep"}
    series = [v for v in from_sql.variables() if v.frequency in labels and not v.is_meter]
    compared = 0
    for variable in series[:25]:
        label = f"{variable.key}:{variable.name} [{variable.units}]({labels[variable.frequency]})"
        if label not in header:
            continue
        column = header.index(label)
        expected = [float(r[column]) for r in rows[1:] if len(r) > column and r[column].strip()]
        sql = from_sql.points(variable.name, variable.key, variable.frequency)[variable.key]
        text = from_text.points(variable.name, variable.key, variable.frequency)[variable.key]
        assert [v for *_, v in sql] == pytest.approx(expected, rel=1e-9, abs=1e-9)
        assert text == sql  # the same environments, times and values from both files
        compared += 1
    assert compared > 0
    summary = from_sql.summary
    warnings = sum(m.severity == "warning" for m in from_sql.messages())
    assert summary.completed and (summary.warnings > 0) == (warnings > 0) and warnings <= summary.warnings


@needs_real_data
def test_frames_tables_and_messages(request):
    from .test_tables import need_pandas

    need_pandas()
    run_folder = RESULTS / "5ZoneAirCooled"
    found = results.open(run_folder / "eplusout.sql")
    request.addfinalizer(found.close)
    frame = found.series("Zone Air Temperature")
    assert frame.shape == (48, 6) and list(frame.index.names) == ["environment", "time"]
    assert frame.index.get_level_values("environment").nunique() == 2 and str(frame.dtypes.iloc[0]) == "float64"
    single = found.series("Zone Air Temperature", key="space1-1")
    assert single.name == "SPACE1-1" and single.equals(frame["SPACE1-1"].rename("SPACE1-1"))
    assert ("AnnualBuildingUtilityPerformanceSummary", "Entire Facility", "Site and Source Energy") in found.tables()
    table = found.table("AnnualBuildingUtilityPerformanceSummary", "Site and Source Energy")
    assert "Total Site Energy" in table.index and table["Total Energy [GJ]"].dtype == "float64"
    with pytest.raises(results.ResultsError) as missing:
        found.series("Zone Air Temprature")
    assert missing.value.__notes__ == ["Did you mean 'Zone Air Temperature'?"]
    assert [m.severity for m in found.messages()] == ["warning"] * 5


@needs_real_data
@pytest.mark.parametrize("folder", sorted(RESULTS.iterdir()) if RESULTS.is_dir() else [], ids=lambda p: p.name)
def test_the_text_output_reads_as_the_sqlite_output(folder, request):
    """Every variable of the .eso file, at every frequency: the same environments, times
    and values as the SQLite output gives."""
    from_sql = results.SqlStore(folder / "eplusout.sql")
    request.addfinalizer(from_sql.close)
    from_text = EsoStore([folder / "eplusout.eso"])
    sql_id = {(v.key.upper(), v.name, v.frequency): v.id for v in from_sql.variables()}
    text_ids = [v.id for v in from_text.variables()]
    pairs = {v.id: sql_id[(v.key.upper(), v.name, v.frequency)] for v in from_text.variables()}
    text, sql = from_text.points(text_ids), from_sql.points(pairs.values())
    assert len(text_ids) > 10 and all(text[i] == sql[pairs[i]] and text[i] for i in text_ids)


@needs_real_data
@pytest.mark.parametrize("whole", [True, False], ids=["read whole", "read per request"])
def test_frames_are_the_same_from_either_file_and_either_way_of_reading(whole, monkeypatch, request):
    from .test_tables import need_pandas

    need_pandas()
    folder = RESULTS / "5ZoneAirCooled"
    monkeypatch.setattr(results.SqlStore, "WHOLE_BELOW", 10**9 if whole else 0)
    from_sql = results.open(folder)
    request.addfinalizer(from_sql.close)
    from_text = results.Results(folder, EsoStore([folder / "eplusout.eso", folder / "eplusout.mtr"]))
    for name in ("Zone Air Temperature", "Site Outdoor Air Drybulb Temperature"):
        frame = from_sql.series(name, frequency="Hourly")
        assert frame.equals(from_text.series(name, frequency="Hourly")) and len(frame) > 0
    assert from_sql._need_store()._read_whole is whole


def test_sql_values_out_of_time_order_and_unknown_time_records(tmp_path):
    import sqlite3

    path = tmp_path / "out.sql"
    db = sqlite3.connect(path)
    db.executescript("""
        CREATE TABLE ReportDataDictionary (ReportDataDictionaryIndex INTEGER PRIMARY KEY, IsMeter INTEGER,
            KeyValue TEXT, Name TEXT, ReportingFrequency TEXT, Units TEXT);
        CREATE TABLE Time (TimeIndex INTEGER PRIMARY KEY, Year INTEGER, Month INTEGER, Day INTEGER, Hour INTEGER,
            Minute INTEGER, EnvironmentPeriodIndex INTEGER);
        CREATE TABLE EnvironmentPeriods (EnvironmentPeriodIndex INTEGER PRIMARY KEY, EnvironmentName TEXT);
        CREATE TABLE ReportData (ReportDataIndex INTEGER PRIMARY KEY, TimeIndex INTEGER,
            ReportDataDictionaryIndex INTEGER, Value REAL);
        INSERT INTO ReportDataDictionary VALUES (1, 0, 'A', 'T', 'Hourly', 'C'), (2, 0, 'B', 'T', 'Hourly', 'C');
        INSERT INTO EnvironmentPeriods VALUES (1, 'RUN');
        INSERT INTO Time VALUES (1, 2001, 1, 1, 1, 0, 1), (2, 2001, 1, 1, 2, 0, 1);
        INSERT INTO ReportData VALUES (1, 2, 1, 20.0), (2, 1, 1, 10.0), (3, 2, 1, 21.0), (4, 1, 2, NULL);
    """)
    db.commit()
    db.close()
    with results.open(path) as found:
        by_key = found.points("T")
        assert [(t.hour, v) for _, t, v in by_key["A"]] == [(1, 10.0), (2, 20.0), (2, 21.0)]
        assert [e for e, _, _ in by_key["A"]] == ["RUN"] * 3 and str(by_key["B"][0][2]) == "nan"
    db = sqlite3.connect(path)
    db.execute("INSERT INTO ReportData VALUES (5, 9, 2, 1.0)")
    db.commit()
    db.close()
    with results.open(path) as found, pytest.raises(ValueError, match="time record 9, which the Time table lacks"):
        found.points("T", "B")


def test_a_folder_without_results_is_refused(tmp_path):
    with pytest.raises(results.ResultsError, match="no results of a run here"):
        results.open(tmp_path)
    with pytest.raises(results.ResultsError, match="no such run folder"):
        results.open(tmp_path / "missing")


def test_results_of_the_stand_in_need_no_pandas(engine, models, tmp_path):
    done = run(models["ok"], out_dir=tmp_path / "plain")
    found = done.results()
    assert found.summary.warnings == 1 and found.messages()[0].text == "A warning of the stand-in."
    with pytest.raises(results.ResultsError, match="wrote no time series"):
        found.variables()


def test_a_batch_on_a_dask_cluster(engine, models, tmp_path):
    from .test_batch import REQUIRE_EXTRAS

    if REQUIRE_EXTRAS:
        import distributed
    else:
        distributed = pytest.importorskip("distributed")
    schema = IDD.from_file(quarvel.EXAMPLE_IDD)
    in_memory = IDF.from_file(schema, models["ok"])  # a model made in the script travels as itself
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False, dashboard_address=None,
                                  silence_logs=40) as cluster, distributed.Client(cluster) as client:
        outcomes = batch.run([models["ok"], in_memory, models["fatal"]], engine=engine, executor=client,
                             out_dir=tmp_path / "dask", progress=False)
    assert [o.ok for o in outcomes] == [True, True, False]
    assert outcomes[1].run.input.name == "model.idf" and outcomes[2].run.summary.severe == 1
