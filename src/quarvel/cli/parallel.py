"""Running a command over many models in worker processes, with a progress bar."""

from __future__ import annotations

import os
import sys
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor
from typing import TypeVar

from quarvel.cli.errors import UsageError

T = TypeVar("T")
R = TypeVar("R")

CONNECT_SECONDS = 10  # to reach a cluster's scheduler


def run_all(work: Callable[[T], R], items: Sequence[T], jobs: int, progress: bool = True,
            scheduler: str | None = None) -> Iterator[R]:
    """Results of `work` on each item, in the items' order; in worker processes (never more
    than there are items) when there is more than one item and more than one job, or on
    the Dask cluster at `scheduler`."""
    bar = _Progress(len(items), progress)
    if scheduler:
        for result in _on_cluster(work, items, scheduler):
            bar.step()
            yield result
        bar.done()
        return
    workers = min(jobs, len(items))
    if workers <= 1:
        for item in items:
            result = work(item)
            bar.step()
            yield result
        bar.done()
        return
    with ProcessPoolExecutor(max_workers=workers) as pool:
        for result in pool.map(work, items):
            bar.step()
            yield result
    bar.done()


def _on_cluster(work: Callable[[T], R], items: Sequence[T], address: str) -> Iterator[R]:
    try:
        from distributed import Client
    except ImportError:
        raise UsageError("--scheduler needs Dask: install it with pip install 'quarvel[dask]'") from None
    try:
        client = Client(address, timeout=CONNECT_SECONDS)
    except (OSError, TimeoutError, ValueError) as exc:
        raise UsageError(f"{address}: cannot reach the Dask scheduler ({exc})") from None
    with client:
        for future in client.map(work, items, pure=False):
            yield future.result()


def default_jobs() -> int:
    return max(1, min(os.cpu_count() or 1, 8))


class _Progress:
    """A bar on stderr, shown only on a terminal and for more than a few files."""

    def __init__(self, total: int, wanted: bool) -> None:
        self.total = total
        self.count = 0
        self.shown = wanted and total > 3 and sys.stderr.isatty()

    def step(self) -> None:
        self.count += 1
        if self.shown:
            filled = 30 * self.count // self.total
            sys.stderr.write(f"\r[{'#' * filled}{'.' * (30 - filled)}] {self.count}/{self.total}")
            sys.stderr.flush()

    def done(self) -> None:
        if self.shown:
            sys.stderr.write("\n")
