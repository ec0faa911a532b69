"""The same job over many models: ``quarvel.batch.map(fn, paths, schema=...)``.

Each model is loaded in a worker, ``fn(model)`` is called there, and what it returns
comes back; results come in the order of ``paths``, one ``Outcome`` each, and a model
that fails (to load, or in ``fn``) gives an outcome with its error instead of stopping
the batch.

Workers are a process pool on this machine by default; any
``concurrent.futures.Executor`` may be given instead, and so may a Dask
``distributed.Client`` (the ``quarvel[dask]`` extra), which runs the batch on its
cluster. The schema travels to each worker once: tasks carry only its digest, and a
worker keeps the schemas it has received.
"""

from __future__ import annotations

import os
import pickle
import time
from collections.abc import Callable, Iterable
from concurrent.futures import Executor, Future, ProcessPoolExecutor
from dataclasses import dataclass
from functools import partial
from typing import Any

from quarvel import _pool
from quarvel._pool import TaskTimeout, WorkerError
from quarvel.idd import IDD
from quarvel.idf import IDF

# The schemas this process has: given to map() here, or received by a worker.
__all__ = ["ModelText", "Outcome", "TaskTimeout", "WorkerError", "map", "model_text", "register_dask", "run"]

_SCHEMAS: dict[str, IDD] = {}


@dataclass(frozen=True, slots=True)
class Outcome:
    """What one model gave: ``value`` (what ``fn`` returned) or ``error`` (what was raised)."""

    path: str
    value: Any = None
    error: BaseException | None = None

    @property
    def ok(self) -> bool:
        return self.error is None

    def unwrap(self) -> Any:
        """The value, or the error raised."""
        if self.error is not None:
            raise self.error
        return self.value


class _SchemaRef:
    """A schema as tasks carry it: its digest, and the schema itself only when the
    worker may not have it yet."""

    __slots__ = ("digest", "schema")

    def __init__(self, digest: str, schema: IDD | None = None) -> None:
        self.digest = digest
        self.schema = schema

    def __reduce__(self) -> tuple[Any, ...]:
        return (_SchemaRef, (self.digest, self.schema))

    def resolve(self) -> IDD | None:
        if self.schema is not None:
            _SCHEMAS.setdefault(self.digest, self.schema)
            return self.schema
        return _SCHEMAS.get(self.digest)


class _NeedSchema:
    """What a task returns when its worker lacks the schema: send it again with it."""


class ModelText:
    """A model in memory as it travels to a worker: its compact text (one object a line)
    with its comments, in its own order; the indexes are rebuilt on arrival, by the load.
    Writing and loading it again costs less than one load of the model's file (a pickle,
    whose form is fixed, about six)."""

    __slots__ = ("label", "text")

    def __init__(self, label: str, text: str) -> None:
        self.label = label
        self.text = text

    def __reduce__(self) -> tuple[Any, ...]:
        return (ModelText, (self.label, self.text))

    def __str__(self) -> str:
        return self.label


def model_text(model: IDF) -> str:
    """The form a model in memory travels in: its compact text with its comments, in its order."""
    return model.format(compact=True, comments=True, preserve_order=True)


def register_dask() -> None:
    """Makes an ``IDF`` passed to any Dask task travel as its text (and its schema once
    per process) instead of as a pickle. Done on import when ``distributed`` is already
    imported, and by ``map`` on a cluster; call it after importing ``distributed`` late."""
    from quarvel import _dask

    _dask.register()


def _travelling(item: Any, index: int, digest: str) -> str | ModelText:
    """A path as a str; a model in memory as its text (against the batch's schema only)."""
    if isinstance(item, ModelText):
        return item
    if isinstance(item, IDF):
        if item.idd is None or item.idd.digest != digest:
            raise ValueError(f"model {index} of the batch has another schema than the batch's")
        return ModelText(f"<model {index}>", model_text(item))
    return os.fspath(item)


def _load_and_call(fn: Callable[[IDF], Any], schema: IDD, item: str | ModelText) -> Any:
    if isinstance(item, ModelText):
        return fn(IDF.from_string(schema, item.text))
    return fn(IDF.from_file(schema, item))


class _Task:
    """What a worker of the batch's own pool runs for each path: the schema was installed
    in the worker when it started."""

    __slots__ = ("digest", "fn")

    def __init__(self, fn: Callable[[IDF], Any], digest: str) -> None:
        self.fn = fn
        self.digest = digest

    def __call__(self, path: str | ModelText) -> Any:
        return _load_and_call(self.fn, _SCHEMAS[self.digest], path)

    def __reduce__(self) -> tuple[Any, ...]:
        return (_Task, (self.fn, self.digest))


def _run(path: str | ModelText, fn: Callable[[IDF], Any], ref: _SchemaRef, packed: bool = False) -> Any:
    """A task for an executor: an Outcome, or with `packed` (another process) its
    travelling form, in which what does not pickle fails this task alone."""
    schema = ref.resolve()
    if schema is None:
        return _NeedSchema()
    done = _pool.run_one(partial(_load_and_call, fn, schema), path)
    if packed:
        return _pool.pack(done)
    return _outcome(path, done)


def _outcome(path: str | ModelText, done: _pool.Done) -> Outcome:
    return Outcome(str(path), value=done.value, error=done.error)


def _install(schema: IDD, digest: str) -> None:
    """A pool worker's initializer: the schema, received once per worker."""
    _SCHEMAS[digest] = schema


def _schema_of(schema: IDD | str | os.PathLike[str]) -> IDD:
    return schema if isinstance(schema, IDD) else IDD.from_file(schema)


def _is_dask_client(executor: object) -> bool:
    kind = type(executor)
    return kind.__module__.split(".")[0] == "distributed" and hasattr(executor, "scatter")


def map(  # the batch counterpart of the built-in
    fn: Callable[[IDF], Any],
    paths: Iterable[str | os.PathLike[str] | IDF | ModelText],
    *,
    schema: IDD | str | os.PathLike[str],
    executor: Executor | Any | None = None,
    timeout: float | None = None,
    in_process: bool | str = False,
) -> list[Outcome]:
    """Loads each model against ``schema``, calls ``fn(model)`` and returns the outcomes
    in the order of ``paths``.

    ``paths`` may also hold models in memory (``IDF`` objects of ``schema``, such as the
    variants a parametric script makes): each travels as its text (``ModelText``) and is
    loaded again in the worker, so ``fn`` gets a copy; its outcome's ``path`` is
    "<model N>", N its place in ``paths``.

    ``executor``: None for worker processes of this machine's cores (at most one per
    model), a ``concurrent.futures.Executor``, or a Dask ``distributed.Client``.
    For worker processes, ``fn`` must be picklable (a function defined at module level);
    a Dask cluster also takes lambdas and closures.

    A model whose worker dies (``os._exit``, a crash) or, with ``timeout`` (seconds, the
    default pool only), runs too long fails with ``WorkerError`` (``TaskTimeout``); an
    exception or a value that cannot travel back fails its own model the same way; the
    other models are not affected. ``SystemExit`` and ``KeyboardInterrupt`` raised by
    ``fn`` are that model's error. An interrupt of the caller ends every worker and
    propagates.
    """
    idd = _schema_of(schema)
    digest = idd.digest
    if digest is None:
        raise ValueError("the schema holds no dictionary")
    items = [_travelling(item, i, digest) for i, item in enumerate(paths)]
    _SCHEMAS[digest] = idd
    if not items:
        return []
    if in_process not in (False, True, "auto"):
        raise ValueError(f"in_process must be True, False or 'auto', not {in_process!r}")
    if in_process is not False:
        if executor is not None or timeout is not None:
            raise ValueError("in_process works without an executor and without a timeout")
        if in_process == "auto":
            _require_picklable(fn)  # the rest may go to workers
        here = _in_process(fn, idd, items, everything=in_process is True)
        if len(here) == len(items):
            return here
        return here + map(fn, items[len(here):], schema=idd, timeout=timeout)
    if _is_dask_client(executor):
        return _map_dask(executor, fn, items, digest, idd)
    if executor is None:
        _require_picklable(fn)
        with _pool.WorkerPool(_pool.default_workers(len(items)), _install, (idd, digest)) as pool:
            return [_outcome(path, done)
                    for path, done in zip(items, _pool.in_order(pool.imap_unordered(_Task(fn, digest), items,
                                                                                      timeout=timeout)))]
    if timeout is not None:
        raise ValueError("timeout works with the default worker processes only")
    packed = isinstance(executor, ProcessPoolExecutor)
    if packed:
        _require_picklable(fn)
    workers = getattr(executor, "_max_workers", None) or os.cpu_count() or 1
    return _map_executor(executor, fn, items, digest, idd, first_wave=workers, packed=packed)


# A batch that would take less than this in one process runs there with in_process="auto":
# about what starting two workers and sending them the schema costs on a 2-core machine.
IN_PROCESS_BELOW = 0.25


def _in_process(fn: Callable[[IDF], Any], idd: IDD, items: list[str | ModelText], everything: bool) -> list[Outcome]:
    """Outcomes of the models run here: all of them, or with `everything` False the first
    one and, when the batch is small enough, the rest."""
    outcomes: list[Outcome] = []
    started = time.perf_counter()
    for path in items:
        done = _pool.run_one(partial(_load_and_call, fn, idd), path)
        if isinstance(done.error, KeyboardInterrupt):
            raise done.error  # here an interrupt is the caller's
        outcomes.append(_outcome(path, done))
        if not everything and len(outcomes) == 1:
            if (time.perf_counter() - started) * len(items) >= IN_PROCESS_BELOW:
                break
    return outcomes


def _require_picklable(fn: Callable[..., Any]) -> None:
    try:
        pickle.dumps(fn)
    except (pickle.PicklingError, AttributeError, TypeError) as exc:
        raise TypeError(f"fn must be picklable to run in worker processes (a function defined at module level): "
                        f"{exc}") from None


def _map_executor(executor: Executor, fn: Callable[[IDF], Any], items: list[str | ModelText], digest: str, idd: IDD,
                  first_wave: int, packed: bool) -> list[Outcome]:
    """Tasks carry the digest; the first `first_wave` carry the schema as well, so that
    each worker's first task is likely to bring it. A task that finds its worker
    without the schema is sent again with it."""

    def submit(index: int, with_schema: bool) -> Future[Any]:
        ref = _SchemaRef(digest, idd if with_schema else None)
        return executor.submit(_run, items[index], fn, ref, packed)

    futures = [submit(i, i < first_wave) for i in range(len(items))]
    outcomes: list[Outcome] = []
    try:
        for index, future in enumerate(futures):
            result = _result(future, items[index])
            if isinstance(result, _NeedSchema):
                result = _result(submit(index, True), items[index])
            assert isinstance(result, Outcome)
            outcomes.append(result)
    except BaseException:
        for future in futures:
            future.cancel()
        raise
    return outcomes


def _result(future: Future[Any], path: str | ModelText) -> Outcome | _NeedSchema:
    try:
        result = future.result()
    except Exception as exc:  # a worker that died, a result that did not travel
        return Outcome(str(path), error=exc)
    if isinstance(result, bytes):
        return _outcome(path, _pool.unpack(result))
    return result  # type: ignore[no-any-return]


def _map_dask(client: Any, fn: Callable[[IDF], Any], items: list[str | ModelText], digest: str, idd: IDD) -> list[Outcome]:
    """On a Dask cluster: the schema travels to each worker once, as the result of a task
    that every model's task depends on; unlike scattered data, the cluster makes it again
    when the workers holding it die. A worker that dies takes its task to another
    worker, as Dask does, until Dask gives the task up; that model fails, the others go on."""
    register_dask()
    shared = client.submit(_SchemaRef, digest, idd, pure=False)
    return [_outcome(path, done) for path, done in zip(items, _pool.on_dask(client, _load_with, items, fn=fn,
                                                                               ref=shared))]


def _load_with(path: str | ModelText, fn: Callable[[IDF], Any], ref: _SchemaRef) -> Any:
    """A Dask task: the model at `path`, loaded against the schema `ref` brings."""
    schema = ref.resolve()
    assert schema is not None  # the reference carries its schema
    return _load_and_call(fn, schema, path)


def run(models: Any, weather: Any = None, **options: Any) -> Any:
    """Run the simulation engine on each model in parallel: see quarvel.simulation.run_many
    (one engine process per model; a RunOutcome per model, in order)."""
    from quarvel.simulation import run_many

    return run_many(models, weather, **options)
