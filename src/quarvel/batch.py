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

import multiprocessing
import os
import pickle
from collections.abc import Callable, Iterable
from concurrent.futures import Executor, Future, ProcessPoolExecutor
from dataclasses import dataclass
from typing import Any

from quarvel.idd import IDD
from quarvel.idf import IDF

# The schemas this process has: given to map() here, or received by a worker.
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


def _run(path: str, fn: Callable[[IDF], Any], ref: _SchemaRef) -> Outcome | _NeedSchema:
    schema = ref.resolve()
    if schema is None:
        return _NeedSchema()
    try:
        return Outcome(path, value=fn(IDF.from_file(schema, path)))
    except Exception as exc:  # one model's failure is its outcome
        return Outcome(path, error=exc)


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
    paths: Iterable[str | os.PathLike[str]],
    *,
    schema: IDD | str | os.PathLike[str],
    executor: Executor | Any | None = None,
) -> list[Outcome]:
    """Loads each model against ``schema``, calls ``fn(model)`` and returns the outcomes
    in the order of ``paths``.

    ``executor``: None for a process pool of this machine's cores (at most one worker
    per model), a ``concurrent.futures.Executor``, or a Dask ``distributed.Client``.
    For worker processes, ``fn`` must be picklable (a function defined at module level);
    a Dask cluster also takes lambdas and closures.
    """
    items = [os.fspath(p) for p in paths]
    idd = _schema_of(schema)
    digest = idd.digest
    if digest is None:
        raise ValueError("the schema holds no dictionary")
    _SCHEMAS[digest] = idd
    if not items:
        return []
    if _is_dask_client(executor):
        return _map_dask(executor, fn, items, digest, idd)
    if executor is None:
        _require_picklable(fn)
        workers = min(len(items), os.cpu_count() or 1)
        # A fresh process per worker (forkserver where there is one): forking a process
        # that runs threads, as a notebook or a Dask client does, can deadlock the child.
        methods = multiprocessing.get_all_start_methods()
        context = multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")
        with ProcessPoolExecutor(max_workers=workers, mp_context=context, initializer=_install,
                                 initargs=(idd, digest)) as pool:
            return _map_executor(pool, fn, items, digest, idd, first_wave=0)
    if isinstance(executor, ProcessPoolExecutor):
        _require_picklable(fn)
    workers = getattr(executor, "_max_workers", None) or os.cpu_count() or 1
    return _map_executor(executor, fn, items, digest, idd, first_wave=workers)


def _require_picklable(fn: Callable[..., Any]) -> None:
    try:
        pickle.dumps(fn)
    except (pickle.PicklingError, AttributeError, TypeError) as exc:
        raise TypeError(f"fn must be picklable to run in worker processes (a function defined at module level): "
                        f"{exc}") from None


def _map_executor(executor: Executor, fn: Callable[[IDF], Any], items: list[str], digest: str, idd: IDD,
                  first_wave: int) -> list[Outcome]:
    """Tasks carry the digest; the first `first_wave` carry the schema as well, so that
    each worker's first task is likely to bring it. A task that finds its worker
    without the schema is sent again with it."""

    def submit(index: int, with_schema: bool) -> Future[Any]:
        ref = _SchemaRef(digest, idd if with_schema else None)
        return executor.submit(_run, items[index], fn, ref)

    futures = [submit(i, i < first_wave) for i in range(len(items))]
    outcomes: list[Outcome] = []
    for index, future in enumerate(futures):
        result = _result(future, items[index])
        if isinstance(result, _NeedSchema):
            result = _result(submit(index, True), items[index])
        assert isinstance(result, Outcome)
        outcomes.append(result)
    return outcomes


def _result(future: Future[Any], path: str) -> Outcome | _NeedSchema:
    try:
        return future.result()
    except Exception as exc:  # a worker that died, a result that did not travel
        return Outcome(path, error=exc)


def _map_dask(client: Any, fn: Callable[[IDF], Any], items: list[str], digest: str, idd: IDD) -> list[Outcome]:
    """On a Dask cluster: the schema is scattered to every worker once and tasks refer to it."""
    ref = _SchemaRef(digest, idd)
    [shared] = client.scatter([ref], broadcast=True, hash=False)
    futures = client.map(_run, items, fn=fn, ref=shared, pure=False)
    outcomes: list[Outcome] = []
    for path, future in zip(items, futures):
        result = _result(future, path)
        assert isinstance(result, Outcome)
        outcomes.append(result)
    return outcomes
