"""Running a command over many models: in worker processes of the batch pool, or on a
Dask cluster, with a progress bar."""

from __future__ import annotations

import os
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import Any, TypeVar

from quarvel import _pool
from quarvel.cli.errors import UsageError

T = TypeVar("T")
R = TypeVar("R")

CONNECT_SECONDS = 10  # to reach a cluster's scheduler


def run_all(work: Callable[[T], R], items: Sequence[T], jobs: int, failed: Callable[[T, BaseException], R],
            progress: bool = True, scheduler: str | None = None) -> Iterator[R]:
    """Results of `work` on each item, in the items' order; in worker processes (never more
    than there are items) when there is more than one item and more than one job, or on
    the Dask cluster at `scheduler`. A task whose worker died, or whose result could not
    travel back, gives `failed(item, error)`."""
    bar = _Progress(len(items), progress)
    if scheduler:
        results: Iterator[_pool.Done] = _on_cluster(work, items, scheduler)
    elif min(jobs, len(items)) <= 1:
        results = (_pool.Done(value=work(item)) for item in items)
    else:
        pool = _pool.WorkerPool(min(jobs, len(items)))
        results = _pool.in_order(pool.imap_unordered(work, items))
    try:
        for item, done in zip(items, results):
            bar.step()
            yield failed(item, done.error) if done.error is not None else done.value
    finally:
        if not scheduler and min(jobs, len(items)) > 1:
            pool.close()
    bar.done()


def dask_client(address: str) -> Any:
    """A client of the Dask scheduler at `address`, or a one-line error."""
    try:
        from distributed import Client
    except ImportError:
        raise UsageError("--scheduler needs Dask: install it with pip install 'quarvel[dask]'") from None
    try:
        return Client(address, timeout=CONNECT_SECONDS)
    except (OSError, TimeoutError, ValueError) as exc:
        raise UsageError(f"{address}: cannot reach the Dask scheduler ({exc})") from None


def _on_cluster(work: Callable[[T], R], items: Sequence[T], address: str) -> Iterator[_pool.Done]:
    with dask_client(address) as client:
        yield from _pool.on_dask(client, work, items)


def default_jobs() -> int:
    return max(1, min(os.cpu_count() or 1, 8))


class _Progress:
    """A bar on stderr, shown only on a terminal and for more than a few files."""

    def __init__(self, total: int, wanted: bool) -> None:
        self.total = total
        self.count = 0
        self.shown = wanted and total > 3 and sys.stderr is not None and sys.stderr.isatty()

    def step(self) -> None:
        self.count += 1
        if self.shown:
            filled = 30 * self.count // self.total
            sys.stderr.write(f"\r[{'#' * filled}{'.' * (30 - filled)}] {self.count}/{self.total}")
            sys.stderr.flush()

    def done(self) -> None:
        if self.shown:
            sys.stderr.write("\n")
