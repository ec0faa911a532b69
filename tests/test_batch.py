"""One job over many models: process pools, any executor, a real Dask cluster."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

from functools import partial
from pathlib import Path

import pytest

import quarvel
from quarvel import batch
from quarvel.cli import main, parallel
from quarvel.idd import IDD
from quarvel.idf import IDF, IDFParseError

from .realdata import REAL_MODELS, REAL_SCHEMA, needs_real_data
from .test_cli import quarvel as run_cli
from .test_tables import REQUIRE_EXTRAS


def zone_count(model):
    return len(model["Zone"])


def fail_on_two_zones(model):
    if len(model["Zone"]) == 2:
        raise RuntimeError("two zones")
    return "fine"


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    """Three good models (one with two zones), one that does not parse, one missing."""
    folder = tmp_path_factory.mktemp("models")
    text = quarvel.EXAMPLE_IDF.read_text()
    (folder / "a.idf").write_text(text)
    (folder / "b.idf").write_text(text + "Zone,Annex;\n")
    (folder / "c.idf").write_text(text)
    (folder / "broken.idf").write_text(text + "Zone,Annex\n")
    return [str(folder / name) for name in ("a.idf", "b.idf", "broken.idf", "missing.idf", "c.idf")]


def check_outcomes(outcomes, models):
    assert [o.path for o in outcomes] == models
    assert [o.value for o in outcomes] == [1, 2, None, None, 1]
    assert isinstance(outcomes[2].error, IDFParseError) and isinstance(outcomes[3].error, FileNotFoundError)
    assert [o.ok for o in outcomes] == [True, True, False, False, True]
    with pytest.raises(FileNotFoundError):
        outcomes[3].unwrap()


def test_default_pool(models):
    check_outcomes(batch.map(zone_count, models, schema=quarvel.EXAMPLE_IDD), models)


def test_errors_of_fn_are_outcomes(models):
    outcomes = batch.map(fail_on_two_zones, models, schema=quarvel.EXAMPLE_IDD)
    assert [o.value for o in outcomes] == ["fine", None, None, None, "fine"]
    assert str(outcomes[1].error) == "two zones"
    with pytest.raises(TypeError, match="fn must be picklable to run in worker processes"):
        batch.map(lambda model: 1, models, schema=quarvel.EXAMPLE_IDD)
    assert batch.map(zone_count, [], schema=quarvel.EXAMPLE_IDD) == []


# ---- one model's failure is its own -----------------------------------------------------


class Unrebuildable(Exception):
    def __init__(self, a, b):
        super().__init__(a)


class FailsToArrive:
    def __reduce__(self):
        return (_refuse, ())


def _refuse():
    raise RuntimeError("cannot be unpickled")


def _crash():
    import ctypes

    ctypes.string_at(0)


# A sanitizer catches the fault itself and ends the worker with abort().
CRASH_SIGNAL = "SIGABRT" if "asan" in os.environ.get("LD_PRELOAD", "") else "SIGSEGV"

FAILURES = {
    "os._exit": (lambda: os._exit(3), "WorkerError", "the worker process died while running this task (exit status 3)"),
    "a native crash": (_crash, "WorkerError", f"the worker process died while running this task (killed by {CRASH_SIGNAL})"),
    "sys.exit": (lambda: sys.exit(4), "SystemExit", "4"),
    "KeyboardInterrupt": (lambda: (_ for _ in ()).throw(KeyboardInterrupt), "KeyboardInterrupt", ""),
    "an exception that cannot be rebuilt": (lambda: (_ for _ in ()).throw(Unrebuildable("lost", "arg")),
                                            "WorkerError", "Unrebuildable: lost"),
    "a value that does not unpickle": (lambda: FailsToArrive(), "WorkerError",
                                       "the task's value cannot be unpickled here: RuntimeError('cannot be unpickled')"),
}


def fail_on_two_zones_by(model, how):
    if len(model["Zone"]) == 2:
        return FAILURES[how][0]()
    return len(model["Zone"])


@pytest.mark.parametrize("how", FAILURES)
def test_a_model_that_breaks_its_worker_fails_alone(models, how):
    good = [models[0], models[1], models[4]] * 2  # b.idf (two zones) twice among the others
    outcomes = batch.map(partial(fail_on_two_zones_by, how=how), good, schema=quarvel.EXAMPLE_IDD)
    assert [o.value for o in outcomes] == [1, None, 1] * 2
    _, kind, message = FAILURES[how]
    for failed in (outcomes[1], outcomes[4]):
        assert (type(failed.error).__name__, str(failed.error)) == (kind, message)


def sleep_on_two_zones(model):
    if len(model["Zone"]) == 2:
        time.sleep(3600)
    return 1


def test_a_model_past_its_time_limit_fails_and_its_worker_is_ended(models):
    start = time.monotonic()
    outcomes = batch.map(sleep_on_two_zones, [models[0], models[1], models[4]], schema=quarvel.EXAMPLE_IDD,
                         timeout=1.5)
    assert [o.value for o in outcomes] == [1, None, 1] and time.monotonic() - start < 30
    assert isinstance(outcomes[1].error, batch.TaskTimeout)
    assert str(outcomes[1].error) == "the task ran past its time limit of 1.5 s; its worker process was ended"


def test_an_interrupt_ends_the_batch_and_every_worker(models, tmp_path):
    script = f"""
import os, sys, time
sys.path.insert(0, {str(Path(__file__).parent.parent)!r})
import quarvel
from quarvel import batch
from tests.test_batch import write_pid_and_hang
if __name__ == "__main__":
    try:
        batch.map(write_pid_and_hang, {[models[0], models[4]]!r} * 2, schema=quarvel.EXAMPLE_IDD)
    except KeyboardInterrupt:
        print("interrupted")
"""
    pids = tmp_path / "pids"
    pids.mkdir()
    child = subprocess.Popen([sys.executable, "-c", script], env={**os.environ, "PID_FOLDER": str(pids)},
                             stdout=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while len(list(pids.iterdir())) < 2 and time.monotonic() < deadline:
        time.sleep(0.1)
    workers = [int(p.name) for p in pids.iterdir()]
    assert len(workers) == 2
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=60)
    assert out.strip() == "interrupted"
    for pid in workers:
        with pytest.raises(ProcessLookupError):
            os.kill(pid, 0)


def write_pid_and_hang(model):
    (Path(os.environ["PID_FOLDER"]) / str(os.getpid())).touch()
    time.sleep(3600)


def schema_sends(monkeypatch):
    """Counts the tasks that carry the schema itself, not only its digest."""
    sent = []
    original = batch._SchemaRef.__reduce__

    def counting(self):
        if self.schema is not None:
            sent.append(1)
        return original(self)

    monkeypatch.setattr(batch._SchemaRef, "__reduce__", counting)
    return sent


@pytest.mark.parametrize("kind", ["threads", "processes"])
def test_any_executor_and_the_schema_travels_once_per_worker(models, monkeypatch, kind):
    sent = schema_sends(monkeypatch)
    many = models * 8
    with (ThreadPoolExecutor(2) if kind == "threads" else ProcessPoolExecutor(2)) as executor:
        outcomes = batch.map(zone_count, many, schema=quarvel.EXAMPLE_IDD, executor=executor)
    assert [o.value for o in outcomes] == [1, 2, None, None, 1] * 8
    if kind == "processes":
        assert 2 <= len(sent) <= 4  # the first wave, and a retry at most per worker


@pytest.fixture(scope="module")
def cluster():
    if REQUIRE_EXTRAS:
        import distributed
    else:
        distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=40) as cluster, distributed.Client(cluster) as client:
        yield cluster, client


def test_dask_cluster(cluster, models, monkeypatch):
    _, client = cluster
    submitted = []
    submit = client.submit
    monkeypatch.setattr(client, "submit", lambda fn, *args, **kw: submitted.append(fn) or submit(fn, *args, **kw))
    check_outcomes(batch.map(zone_count, models, schema=quarvel.EXAMPLE_IDD, executor=client), models)
    pids = batch.map(lambda model: os.getpid(), models * 4, schema=quarvel.EXAMPLE_IDD, executor=client)
    assert {o.value for o in pids if o.ok} <= set(client.run(os.getpid).values())
    assert submitted == [batch._SchemaRef] * 2  # the schema, sent once per batch whatever the number of models
    in_memory = IDF.from_file(IDD.from_file(quarvel.EXAMPLE_IDD), models[1])
    assert batch.map(zone_count, [in_memory], schema=quarvel.EXAMPLE_IDD, executor=client)[0].value == 2
    held = client.run(lambda: list(__import__("quarvel.batch").batch._SCHEMAS))
    assert len(held) == 2 and all(digests == [quarvel.idd.IDD.from_file(quarvel.EXAMPLE_IDD).digest]
                                  for digests in held.values())


@pytest.mark.parametrize("how", ["os._exit", "sys.exit", "an exception that cannot be rebuilt"])
def test_a_model_that_breaks_a_dask_worker_fails_alone(cluster, models, how):
    _, client = cluster
    good = [models[0], models[1], models[4]]
    outcomes = batch.map(partial(fail_on_two_zones_by, how=how), good, schema=quarvel.EXAMPLE_IDD, executor=client)
    assert [o.value for o in outcomes] == [1, None, 1]
    expected = {"os._exit": "KilledWorker", "sys.exit": "SystemExit", "an exception that cannot be rebuilt": "WorkerError"}
    assert type(outcomes[1].error).__name__ == expected[how]
    client.wait_for_workers(2, timeout=60)  # the nannies bring the killed workers back


def test_cli_on_a_dask_cluster(cluster, tmp_path, monkeypatch, capsys):
    local, _ = cluster
    for name in ("one", "two", "three"):
        shutil.copy(quarvel.EXAMPLE_IDF, tmp_path / f"{name}.idf")
    args = ["check", tmp_path, "--idd", quarvel.EXAMPLE_IDD]
    here, there = run_cli(*args), run_cli(*args, "--scheduler", local.scheduler_address)
    assert there.returncode == here.returncode == 0 and there.stdout == here.stdout
    assert there.stdout.count("0 errors") == 3
    monkeypatch.setattr(parallel, "CONNECT_SECONDS", 1)
    assert main(["info", "--example", "--scheduler", "tcp://127.0.0.1:1"]) == 2
    assert capsys.readouterr().err.startswith("quarvel: tcp://127.0.0.1:1: cannot reach the Dask scheduler")


@needs_real_data
def test_real_models_in_a_batch():
    outcomes = batch.map(zone_count, REAL_MODELS, schema=REAL_SCHEMA)
    assert all(o.ok for o in outcomes) and [o.value for o in outcomes][REAL_MODELS.index(
        next(p for p in REAL_MODELS if p.name == "5ZoneAirCooled.idf"))] == 6


def pid_after(model, seconds=0.0):
    time.sleep(seconds)
    return os.getpid()


@pytest.mark.parametrize(("in_process", "seconds", "here"), [
    (True, 0.0, [True] * 4),
    ("auto", 0.0, [True] * 4),  # four tiny tasks: cheaper here than starting a worker
    ("auto", 0.1, [True, False, False, False]),  # the first one shows the batch would take 0.4 s
    (False, 0.0, [False] * 4),
])
def test_small_batches_may_run_in_this_process(models, in_process, seconds, here):
    good = [models[0], models[1], models[4], models[0]]
    outcomes = batch.map(partial(pid_after, seconds=seconds), good, schema=quarvel.EXAMPLE_IDD,
                         in_process=in_process)
    assert [o.value == os.getpid() for o in outcomes] == here and all(o.ok for o in outcomes)


def test_in_process_failures_are_outcomes_and_bad_options_are_refused(models):
    check_outcomes(batch.map(zone_count, models, schema=quarvel.EXAMPLE_IDD, in_process=True), models)
    good = [models[0], models[1], models[4]]
    outcomes = batch.map(partial(fail_on_two_zones_by, how="sys.exit"), good, schema=quarvel.EXAMPLE_IDD,
                         in_process=True)
    assert [o.value for o in outcomes] == [1, None, 1] and type(outcomes[1].error) is SystemExit
    with pytest.raises(ValueError, match="in_process must be True, False or 'auto', not 'yes'"):
        batch.map(len, models, schema=quarvel.EXAMPLE_IDD, in_process="yes")
    with pytest.raises(ValueError, match="in_process works without an executor and without a timeout"):
        batch.map(len, models, schema=quarvel.EXAMPLE_IDD, in_process=True, timeout=1)


def names_and_comments(model):
    return [z["Name"] for z in model["Zone"]], model.header_comments, model.format(comments=True)


@pytest.mark.parametrize("executor", ["default", "threads", "in_process"])
def test_models_in_memory_travel_as_their_text(models, executor):
    from concurrent.futures import ThreadPoolExecutor

    schema = IDD.from_file(quarvel.EXAMPLE_IDD)
    variants = []
    for multiplier in (2, 3):
        variant = IDF.from_file(schema, models[1])
        variant["Zone"][0]["Multiplier"] = multiplier
        variant.header_comments = [f" variant {multiplier}"]
        variants.append(variant)
    options = {"threads": {"executor": ThreadPoolExecutor(2)}, "in_process": {"in_process": True}}.get(executor, {})
    outcomes = batch.map(names_and_comments, [variants[0], models[0], variants[1]], schema=schema, **options)
    assert [o.path for o in outcomes] == ["<model 0>", models[0], "<model 2>"]
    for outcome, variant in zip(outcomes[::2], variants, strict=True):
        assert outcome.value == names_and_comments(variant)  # values, comments and order arrive whole
    other = IDF.from_string(IDD.from_string("Zone,\n  A1; \\field Name\n"), "Zone, A;")
    with pytest.raises(ValueError, match="model 1 of the batch has another schema than the batch's"):
        batch.map(len, [variants[0], other], schema=schema)


def test_a_model_passed_to_a_dask_task_travels_as_text(cluster, models):
    from distributed.protocol import deserialize, serialize

    _, client = cluster
    batch.register_dask()  # distributed came after quarvel here
    model = IDF.from_file(IDD.from_file(quarvel.EXAMPLE_IDD), models[1])
    model.header_comments = [" sent"]
    header, frames = serialize(model, serializers=("dask",))
    assert header["serializer"] == "dask" and bytes(frames[0]).decode() == batch.model_text(model)
    assert deserialize(header, frames).format(comments=True) == model.format(comments=True)
    assert client.submit(lambda m: (len(m["Zone"]), m.header_comments), model).result() == (2, [" sent"])
