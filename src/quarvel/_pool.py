"""Worker processes that survive their tasks: the one pool behind ``quarvel.batch`` and the
command line.

Each worker runs one task at a time, so the pool always knows which task a worker was
running when it died (``os._exit``, a native crash, a signal) or ran past its time: that
task, and only that one, fails, and a fresh worker takes the dead one's place. A task's
exception or value that cannot travel back (it does not pickle, or does not unpickle
here) becomes that task's error instead of breaking the pool. An interrupt of the caller
(``KeyboardInterrupt``) ends every worker before it propagates: no process is left behind.
"""

from __future__ import annotations

import multiprocessing
import os
import pickle
import signal
import time
import traceback
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from functools import partial
from multiprocessing.connection import Connection, wait
from typing import Any

STOP = b""  # the message that ends a worker


class WorkerError(Exception):
    """A task's failure that could not travel back as itself: a worker that died, ran past
    its time limit, or raised an exception (or returned a value) that does not pickle.
    ``remote_traceback`` holds the worker's traceback when there was one."""

    def __init__(self, message: str, remote_traceback: str | None = None) -> None:
        super().__init__(message)
        self.remote_traceback = remote_traceback

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (str(self), self.remote_traceback))


class TaskTimeout(WorkerError, TimeoutError):
    """A task that ran past its time limit; its worker was ended."""


@dataclass(frozen=True, slots=True)
class Done:
    """What one task gave: its value, or the exception it raised."""

    value: Any = None
    error: BaseException | None = None


def portable(exc: BaseException) -> BaseException:
    """`exc` itself when it survives a pickle round trip, else a WorkerError that says what
    it was (with its traceback)."""
    try:
        pickle.loads(pickle.dumps(exc))
        return exc
    except Exception:
        text = "".join(traceback.format_exception(exc))
        return WorkerError(f"{type(exc).__qualname__}: {exc}", text)


def run_one(fn: Callable[[Any], Any], item: Any) -> Done:
    """Runs a task and catches everything it raises, SystemExit and KeyboardInterrupt
    included: a task ends itself, never its worker or the batch."""
    try:
        return Done(value=fn(item))
    except BaseException as exc:  # noqa: BLE001  (a task's failure is its result)
        return Done(error=exc)


def pack(done: Done) -> bytes:
    """The result as it travels: pickled here, so that a value that does not pickle fails
    its own task, in the worker."""
    if done.error is not None:
        return pickle.dumps(Done(error=portable(done.error)))
    try:
        value = pickle.dumps(done.value)
    except Exception as exc:
        return pickle.dumps(Done(error=WorkerError(f"the task's value cannot be pickled: {exc!r}")))
    return pickle.dumps(Done(value=_Pickled(value)))


def unpack(data: bytes) -> Done:
    done: Done = pickle.loads(data)
    if isinstance(done.value, _Pickled):
        try:
            return Done(value=pickle.loads(done.value.data))
        except Exception as exc:
            return Done(error=WorkerError(f"the task's value cannot be unpickled here: {exc!r}"))
    return done


class _Pickled:
    """A value pickled in the worker, unpickled apart from the result that carries it."""

    __slots__ = ("data",)

    def __init__(self, data: bytes) -> None:
        self.data = data

    def __reduce__(self) -> tuple[Any, ...]:
        return (_Pickled, (self.data,))


def _worker_main(conn: Connection, initializer: Callable[..., Any] | None, initargs: tuple[Any, ...]) -> None:
    # An interrupt at the terminal reaches the whole process group: the parent decides.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if initializer is not None:
        initializer(*initargs)
    fn_data, fn = None, None
    while True:
        try:
            message = conn.recv_bytes()
        except (EOFError, OSError):
            return
        if message == STOP:
            return
        new_fn_data, item = pickle.loads(message)
        if new_fn_data is not None and new_fn_data != fn_data:
            fn_data, fn = new_fn_data, pickle.loads(new_fn_data)
        assert fn is not None
        conn.send_bytes(pack(run_one(fn, item)))


def context() -> Any:
    """Fresh processes (forkserver where there is one): forking a process that runs
    threads, as a notebook or a Dask client does, can deadlock the child."""
    methods = multiprocessing.get_all_start_methods()
    return multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")


@dataclass
class _Worker:
    process: multiprocessing.process.BaseProcess
    conn: Connection
    task: int | None = None
    started: float = 0.0
    fn_sent: bytes | None = None


class WorkerPool:
    """`workers` processes; `initializer(*initargs)` runs once in each (and in every
    worker that replaces one)."""

    def __init__(self, workers: int, initializer: Callable[..., Any] | None = None,
                 initargs: tuple[Any, ...] = ()) -> None:
        self.size = max(1, workers)
        self._initializer, self._initargs = initializer, initargs
        self._context = context()
        self._workers: list[_Worker] = []

    def __enter__(self) -> WorkerPool:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _start(self) -> _Worker:
        ours, theirs = self._context.Pipe(duplex=True)
        process = self._context.Process(target=_worker_main, args=(theirs, self._initializer, self._initargs),
                                        daemon=True)
        process.start()
        theirs.close()
        worker = _Worker(process, ours)
        self._workers.append(worker)
        return worker

    def _end(self, worker: _Worker) -> None:
        """Ends a worker now (it is running a task that failed it, or the pool stops)."""
        if worker.process.is_alive():
            worker.process.kill()
        worker.process.join()
        worker.conn.close()
        self._workers.remove(worker)

    def imap_unordered(self, fn: Callable[[Any], Any], items: Iterable[Any], *,
                       timeout: float | None = None) -> Iterator[tuple[int, Done]]:
        """(index, Done) for every item, as they finish. `timeout`: seconds one task may run
        before its worker is ended and the task fails with TaskTimeout."""
        fn_data = pickle.dumps(fn)
        pending = list(enumerate(items))
        pending.reverse()  # popped from the end, in order
        left = len(pending)
        try:
            while left:
                for worker in [w for w in self._workers if w.task is None]:
                    if pending:
                        self._give(worker, fn_data, *pending.pop())
                while pending and len(self._workers) < self.size:
                    self._give(self._start(), fn_data, *pending.pop())
                for index, done in self._collect(timeout):
                    left -= 1
                    yield index, done
        except BaseException:
            self.close(kill=True)
            raise

    def _give(self, worker: _Worker, fn_data: bytes, index: int, item: Any) -> None:
        send_fn = fn_data if worker.fn_sent is not fn_data else None
        worker.conn.send_bytes(pickle.dumps((send_fn, item)))
        worker.fn_sent = fn_data
        worker.task, worker.started = index, time.monotonic()

    def _collect(self, timeout: float | None) -> list[tuple[int, Done]]:
        """Waits for a result, a worker's death or the next time limit; returns what ended."""
        busy = [w for w in self._workers if w.task is not None]
        wait_for: float | None = None
        if timeout is not None and busy:
            wait_for = max(0.0, min(w.started + timeout for w in busy) - time.monotonic())
        ready = set(wait([w.conn for w in busy] + [w.process.sentinel for w in busy], wait_for))
        finished: list[tuple[int, Done]] = []
        for worker in busy:
            assert worker.task is not None
            index = worker.task
            if worker.conn in ready:
                try:
                    data = worker.conn.recv_bytes()
                except (EOFError, OSError):
                    data = None
                if data is not None:
                    worker.task = None
                    finished.append((index, unpack(data)))
                    continue
            if worker.conn in ready or worker.process.sentinel in ready:
                worker.process.join()
                finished.append((index, Done(error=WorkerError(
                    f"the worker process died while running this task ({_how_it_ended(worker.process.exitcode)})"))))
                self._end(worker)
            elif timeout is not None and time.monotonic() - worker.started >= timeout:
                finished.append((index, Done(error=TaskTimeout(f"the task ran past its time limit of {timeout:g} s; "
                                                               f"its worker process was ended"))))
                self._end(worker)
        return finished

    def close(self, kill: bool = False) -> None:
        """Stops the workers: idle ones are asked to stop, busy ones (or all, with `kill`)
        are ended."""
        for worker in list(self._workers):
            if kill or worker.task is not None:
                self._end(worker)
                continue
            try:
                worker.conn.send_bytes(STOP)
            except OSError:
                pass
        for worker in list(self._workers):
            worker.process.join(5)
            self._end(worker)


def _how_it_ended(exitcode: int | None) -> str:
    if exitcode is not None and exitcode < 0:
        try:
            return f"killed by {signal.Signals(-exitcode).name}"
        except ValueError:
            return f"killed by signal {-exitcode}"
    return f"exit status {exitcode}"


def in_order(results: Iterable[tuple[int, Done]]) -> Iterator[Done]:
    """The results of imap_unordered in the order of their items, each as soon as every
    item before it is done."""
    waiting: dict[int, Done] = {}
    expected = 0
    for index, done in results:
        waiting[index] = done
        while expected in waiting:
            yield waiting.pop(expected)
            expected += 1


def packed_call(item: Any, task: Callable[..., Any], **fixed: Any) -> bytes:
    """A task on a cluster: `task(item, **fixed)`, every failure caught, the result in its
    travelling form."""
    return pack(run_one(partial(task, **fixed), item))


def on_dask(client: Any, task: Callable[..., Any], items: Iterable[Any], **fixed: Any) -> Iterator[Done]:
    """`task(item, **fixed)` for each item on a Dask cluster, in order; `fixed` may hold Dask
    futures, which the cluster resolves. A task Dask gives up on (its workers died) gives
    its error; an interrupt cancels what is left."""
    items = list(items)
    futures = client.map(packed_call, items, task=task, pure=False, **fixed)
    try:
        for item, future in zip(items, futures):
            try:
                yield unpack(future.result())
            except Exception as exc:
                yield _alone(client, item, task, fixed, exc)
    except BaseException:
        client.cancel(futures)
        raise


def _alone(client: Any, item: Any, task: Callable[..., Any], fixed: dict[str, Any], error: Exception) -> Done:
    """A task that Dask gave up on because its workers died is run once more on its own:
    it may only have shared a worker with the task that killed it. A task that kills its
    worker alone fails with Dask's error."""
    if type(error).__name__ != "KilledWorker":
        return Done(error=error)
    future = client.submit(packed_call, item, task=task, pure=False, **fixed)
    try:
        return unpack(future.result())
    except Exception as again:
        return Done(error=again)


def default_workers(count: int) -> int:
    """One worker per core, never more than there are tasks."""
    return max(1, min(count, os.cpu_count() or 1))
