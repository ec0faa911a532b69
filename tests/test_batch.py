"""One job over many models: process pools, any executor, a real Dask cluster."""

from __future__ import annotations

import os
import shutil
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import pytest

import quarvel
from quarvel import batch
from quarvel.cli import main, parallel
from quarvel.idf import IDFParseError

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
    sent = schema_sends(monkeypatch)
    check_outcomes(batch.map(zone_count, models, schema=quarvel.EXAMPLE_IDD, executor=client), models)
    pids = batch.map(lambda model: os.getpid(), models * 4, schema=quarvel.EXAMPLE_IDD, executor=client)
    assert {o.value for o in pids if o.ok} <= set(client.run(os.getpid).values())
    assert len(sent) == 2  # scattered once per batch, whatever the number of models
    held = client.run(lambda: list(__import__("quarvel.batch").batch._SCHEMAS))
    assert len(held) == 2 and all(digests == [quarvel.idd.IDD.from_file(quarvel.EXAMPLE_IDD).digest]
                                  for digests in held.values())


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
