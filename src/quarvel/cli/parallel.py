"""Running a command over many models in worker processes, with a progress bar."""

from __future__ import annotations

import os
import sys
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor
from typing import TypeVar

T = TypeVar("T")
R = TypeVar("R")


def run_all(work: Callable[[T], R], items: Sequence[T], jobs: int, progress: bool = True) -> Iterator[R]:
    """Results of `work` on each item, in the items' order; in worker processes (never more
    than there are items) when there is more than one item and more than one job."""
    bar = _Progress(len(items), progress)
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
