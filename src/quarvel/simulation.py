"""Running the simulation engine on models: one run (``quarvel.run``) or many in parallel
(``run_many``, also as ``quarvel.batch.run``).

The engine is the user's own program, found from ``engine=``, else the environment
variable ``QUARVEL_ENGINE``. Its command line is ``ENGINE [options] INPUT`` with ``-w
WEATHER``, ``-d OUTDIR``, ``-D`` (design days only), ``-a`` (annual), ``-r`` (a CSV of the
series too), ``-x`` (expand templates first), ``-p PREFIX`` and ``-s STYLE`` (output file
names), ``-i IDD``; it exits non-zero when the run ends in a fatal error.

Each run writes the model into its own folder (kept), with an ``Output:SQLite`` object
added to that copy when the model has none, so that its results can always be read; the
user's model is never changed. The engine runs there as a child process in a process group
of its own, its output captured; a timeout or an interrupt kills the whole group.
"""

from __future__ import annotations

import os
import re
import signal
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterable
from concurrent.futures import Executor, ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

ENGINE_VARIABLE = "QUARVEL_ENGINE"
SQLITE_OBJECT = "\nOutput:SQLite,\n    SimpleAndTabular;        !- Option Type\n"
_HAS_SQLITE = re.compile(rb"^[ \t]*Output:SQLite[ \t]*,", re.IGNORECASE | re.MULTILINE)


class EngineNotFoundError(FileNotFoundError):
    """No engine was given, or the one given cannot be run."""


class SimulationError(RuntimeError):
    """A run that ended in a fatal error: `run` is its Run, `severe` its severe and fatal
    messages."""

    def __init__(self, run: Run) -> None:
        self.run = run
        self.severe = [m for m in run.messages if m.severity in ("severe", "fatal")]
        first = self.severe[0].text.splitlines()[0] if self.severe else f"exit status {run.returncode}"
        super().__init__(f"the run in {run.folder} failed ({run.status}): {first}")


@dataclass(slots=True)
class Run:
    """One run of the engine: how it ended, where its files are, what it said."""

    folder: Path
    input: Path
    returncode: int | None  # None when it was killed on its timeout
    elapsed: float  # seconds, measured here
    stdout: str
    stderr: str
    timed_out: bool = False
    prefix: str = "eplus"
    model: Any = field(default=None, repr=False)

    @property
    def ok(self) -> bool:
        return self.returncode == 0 and not self.timed_out

    @property
    def status(self) -> str:
        if self.timed_out:
            return "timed out"
        return "ok" if self.returncode == 0 else f"exit status {self.returncode}"

    @property
    def messages(self) -> list[Any]:
        from quarvel.results.messages import link_objects, read_messages

        err = self.folder / f"{self.prefix}out.err"
        found = read_messages(err) if err.is_file() else []
        if self.model is not None:
            link_objects(found, self.model)
        return found

    @property
    def summary(self) -> Any:
        from quarvel.results.messages import read_summary

        return read_summary(self.folder, self.prefix)

    def results(self) -> Any:
        from quarvel import results

        return results.open(self.folder, self.prefix, self.model)


def find_engine(engine: str | os.PathLike[str] | None = None) -> Path:
    """The engine's executable: `engine`, else $QUARVEL_ENGINE."""
    given = engine if engine is not None else os.environ.get(ENGINE_VARIABLE)
    if not given:
        raise EngineNotFoundError(f"no simulation engine given: pass engine=PATH, or set {ENGINE_VARIABLE} to the path "
                                  "of the engine's executable")
    path = Path(given)
    if not path.is_file() or not os.access(path, os.X_OK):
        raise EngineNotFoundError(f"{path}: not an executable file (the simulation engine, given by "
                                  f"{'engine=' if engine is not None else ENGINE_VARIABLE})")
    return path


def _model_bytes(model: Any) -> tuple[bytes, str, Any]:
    """The text to run, the input file's suffix, and the model object (None for a path)."""
    from quarvel.idf import IDF

    if isinstance(model, IDF):
        return model.format(preserve_order=True, comments=True).encode("utf-8") + b"\n", ".idf", model
    path = Path(model)
    return path.read_bytes(), path.suffix.lower() or ".idf", None


def _with_sqlite(data: bytes, suffix: str) -> bytes:
    if suffix != ".idf" or _HAS_SQLITE.search(data):
        return data
    return data + (b"" if data.endswith(b"\n") else b"\n") + SQLITE_OBJECT.encode()


def run(model: Any, weather: str | os.PathLike[str] | None = None, *, out_dir: str | os.PathLike[str] | None = None,
        engine: str | os.PathLike[str] | None = None, design_days: bool = False, annual: bool = False,
        timeout: float | None = None, check: bool = True, csv: bool = False, expand: bool = False,
        prefix: str = "eplus", idd: str | os.PathLike[str] | None = None,
        options: Iterable[str] = ()) -> Run:
    """Run the engine on `model` (an IDF, or the path of an IDF or epJSON file).

    The model is written into `out_dir` (default: a new folder under the system's
    temporary folder, kept), with Output:SQLite added to that copy when it has none.
    A run that ends in a fatal error (a non-zero exit) or passes `timeout` seconds
    raises SimulationError carrying its Run, unless `check` is false."""
    executable = find_engine(engine)
    if design_days and annual:
        raise ValueError("design_days and annual exclude each other")
    data, suffix, source = _model_bytes(model)
    folder = Path(out_dir) if out_dir is not None else Path(tempfile.mkdtemp(prefix="quarvel-run-"))
    folder.mkdir(parents=True, exist_ok=True)
    name = Path(model).stem if source is None else "model"
    target = folder / f"{name}{suffix}"
    target.write_bytes(_with_sqlite(data, suffix))
    command = [str(executable), "-d", str(folder), "-p", prefix]
    if weather is not None:
        command += ["-w", str(Path(weather).resolve())]
    command += ["-D"] if design_days else ["-a"] if annual else []
    command += ["-r"] if csv else []
    command += ["-x"] if expand else []
    command += ["-i", str(Path(idd).resolve())] if idd is not None else []
    command += [*options, str(target)]
    finished = _execute(command, folder, timeout)
    done = Run(folder, target, *finished, prefix=prefix, model=source)
    if check and not done.ok:
        raise SimulationError(done)
    return done


def _execute(command: list[str], folder: Path, timeout: float | None) -> tuple[int | None, float, str, str, bool]:
    """(exit status, seconds, stdout, stderr, timed out) of the engine, run in a process
    group of its own that is killed whole on a timeout or an interrupt."""
    start = time.perf_counter()
    process = subprocess.Popen(command, cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               stdin=subprocess.DEVNULL, start_new_session=True)
    _running.add(process)
    try:
        out, err = process.communicate(timeout=timeout)
        timed_out = False
    except subprocess.TimeoutExpired:
        _kill_group(process)
        out, err = process.communicate()
        timed_out = True
    except BaseException:
        _kill_group(process)
        process.communicate()
        raise
    finally:
        _running.discard(process)
    code = None if timed_out else process.returncode
    return code, time.perf_counter() - start, out.decode("utf-8", "replace"), err.decode("utf-8", "replace"), timed_out


# The engines running in this process's threads: an interrupt of a batch kills them all.
_running: set[subprocess.Popen[bytes]] = set()


def _kill_group(process: subprocess.Popen[bytes]) -> None:
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        process.kill()


# ---- many runs ----


@dataclass(slots=True)
class RunOutcome:
    """What one model of a batch came to: its Run (also when the run failed) or the error
    that kept it from running."""

    model: Any
    run: Run | None = None
    error: BaseException | None = None

    @property
    def ok(self) -> bool:
        return self.error is None and self.run is not None and self.run.ok


def _one(item: tuple[int, Any], options: dict[str, Any]) -> RunOutcome:
    index, model = item
    out_dir = options.pop("out_dir", None)
    folder = Path(out_dir) / f"{index:04d}-{_label(model)}" if out_dir else None
    try:
        return RunOutcome(model, run(model, out_dir=folder, check=False, **options))
    except Exception as exc:
        return RunOutcome(model, error=exc)


def _label(model: Any) -> str:
    from quarvel.idf import IDF

    return "model" if isinstance(model, IDF) else re.sub(r"[^A-Za-z0-9_.-]", "_", Path(model).stem)


def run_many(models: Iterable[Any], weather: str | os.PathLike[str] | None = None, *, jobs: int | None = None,
             executor: Executor | Any = None, progress: bool | Callable[[int, int, RunOutcome], None] | None = None,
             **options: Any) -> list[RunOutcome]:
    """Run the engine on each model (one engine process per model, `jobs` at a time on
    this machine, or on `executor`: any Executor, or a Dask Client), each in its own folder
    under `out_dir`; a RunOutcome per model in order. A failed or hung run (see `timeout`)
    never stops the others. `progress` draws a bar on standard error when it is a terminal
    (True forces it, False never) or is called as progress(done, total, outcome).
    Models travel to other processes as text."""
    items = list(enumerate(_travelling(m) for m in models))
    options = {"weather": weather, **options}
    if options.get("out_dir") is None:
        options["out_dir"] = tempfile.mkdtemp(prefix="quarvel-batch-")
    report = _progress(progress, len(items))
    if executor is not None and hasattr(executor, "gather") and hasattr(executor, "submit"):  # a Dask client
        client: Any = executor
        return _collect([client.submit(_one, item, dict(options), pure=False) for item in items], items, report)
    pool = executor or ThreadPoolExecutor(max_workers=jobs or os.cpu_count() or 1)
    try:
        return _collect([pool.submit(_one, item, dict(options)) for item in items], items, report)
    except BaseException:
        for process in list(_running):
            _kill_group(process)
        raise
    finally:
        if executor is None:
            pool.shutdown(cancel_futures=True)


def _collect(futures: list[Any], items: list[tuple[int, Any]],
             report: Callable[[RunOutcome | None], None]) -> list[RunOutcome]:
    """The outcome of each future in order; one that failed to come back is an error."""
    outcomes = []
    for (_, model), future in zip(items, futures):
        try:
            outcome = future.result()
        except Exception as exc:
            outcome = RunOutcome(model, error=exc)
        outcomes.append(outcome)
        report(outcome)
    return outcomes


def _travelling(model: Any) -> Any:
    """A model as it crosses to another process: an IDF stays one (it pickles as its
    text and values), a path stays a path."""
    from quarvel.idf import IDF

    return model if isinstance(model, IDF) else str(model)


def _progress(progress: Any, total: int) -> Callable[[RunOutcome | None], None]:
    done = 0
    failed = 0
    draw = progress is True or (progress is None and sys.stderr.isatty())

    def report(outcome: RunOutcome | None) -> None:
        nonlocal done, failed
        done += 1
        failed += 0 if outcome is not None and outcome.ok else 1
        if callable(progress) and progress is not True:
            progress(done, total, outcome)
        elif draw:
            width = 30
            filled = width * done // max(total, 1)
            sys.stderr.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {done}/{total} runs, {failed} failed")
            if done == total:
                sys.stderr.write("\n")
            sys.stderr.flush()

    return report
