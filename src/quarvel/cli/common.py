"""What the commands share: their inputs and options, running over many models, output."""

from __future__ import annotations

import argparse
import functools
import sys
from collections.abc import Callable
from dataclasses import dataclass, field
from importlib import resources
from pathlib import Path
from typing import Any

from quarvel.cli.errors import EXIT_OK, EXIT_USAGE, UsageError, printable
from quarvel.cli.loading import Source, load_schema, model_sources
from quarvel.cli.parallel import default_jobs, run_all


@dataclass
class Result:
    """What one model's run prints, and its exit status."""

    out: list[str] = field(default_factory=list)
    err: list[str] = field(default_factory=list)
    status: int = EXIT_OK
    records: list[dict[str, Any]] = field(default_factory=list)
    exact: bool = False  # `out` is text to write as it stands, its line ends included


def say(line: str, file: Any = None) -> None:
    """Prints a line of output, its control characters escaped."""
    print(printable(line), file=file or sys.stdout)


def write_output(target: str | None, text: str, quiet: bool) -> int:
    """Writes what a command made to `target` (None or - for standard output), replacing
    a file whole or not at all, and says so unless quiet."""
    if target in (None, "-"):
        sys.stdout.write(text)
        return EXIT_OK
    from quarvel._files import write_atomic

    try:
        write_atomic(target, text.encode())
    except OSError as exc:
        raise UsageError(f"{target}: {exc.strerror or exc}") from exc
    if not quiet:
        print(f"wrote {target}", file=sys.stderr)
    return EXIT_OK


def complain(line: str) -> None:
    say(f"quarvel: {line}", sys.stderr)


def example_paths() -> tuple[Path, Path]:
    data = resources.files("quarvel") / "data"
    return Path(str(data / "example.idf")), Path(str(data / "example.idd"))


def add_inputs(parser: argparse.ArgumentParser, words: str = "MODEL", several: bool = True) -> None:
    """The positional words (models: files, folders, `-`), the schema and the shared flags."""
    parser.add_argument("words", nargs="*", metavar=words,
                        help="IDF files, folders of them, or - for standard input" if several else None)
    parser.add_argument("--idd", metavar="SCHEMA",
                        help="the schema (IDD) file; without it, the known schema of the model's version "
                             "(see QUARVEL_IDD_PATH)")
    parser.add_argument("--example", action="store_true", help="use the bundled example model and schema")
    if several:
        parser.add_argument("-r", "--recursive", action="store_true", help="search folders and their subfolders")
        parser.add_argument("--jobs", "-j", type=int, default=default_jobs(), metavar="N",
                            help="worker processes for several models (default: %(default)s, at most one per model)")
        parser.add_argument("--scheduler", metavar="ADDRESS",
                            help="run on the Dask cluster whose scheduler is at ADDRESS (tcp://host:8786); "
                                 "its workers must see the files (needs quarvel[dask])")
    verbosity = parser.add_mutually_exclusive_group()
    verbosity.add_argument("-q", "--quiet", action="store_true", help="print only what matters: results, errors")
    verbosity.add_argument("-v", "--verbose", action="store_true", help="print more: load times, files written")


def inputs(args: argparse.Namespace, suffixes: tuple[str, ...] = (".idf",)) -> tuple[list[Source], str | None]:
    """The models and the schema path the arguments name (None: each model's own version's)."""
    if getattr(args, "jobs", 1) < 1:
        raise UsageError(f"--jobs must be at least 1, got {args.jobs}")
    if args.example:
        if args.words or args.idd:
            raise UsageError("--example takes no MODEL and no --idd")
        model, schema = example_paths()
        return [Source(str(model), model)], str(schema)
    if not args.words:
        raise UsageError("give at least one MODEL (a file, a folder, or - for standard input), or --example")
    return model_sources(args.words, getattr(args, "recursive", False), suffixes), args.idd


def run_tasks(args: argparse.Namespace, work: Callable[[Any], Result], items: list[Any],
              print_result: Callable[[Result], None] | None = None) -> int:
    """Runs `work` on each item, printing results in order; the worst status wins."""
    if args.idd_path is not None:
        load_schema(args.idd_path)  # a schema that does not load is reported once, up front
    status = EXIT_OK
    for result in run_all(work, items, args.jobs, _failed, progress=not args.quiet, scheduler=args.scheduler):
        if print_result:
            print_result(result)
        else:
            for line in result.out:
                say(line)
        for line in result.err:
            complain(line)
        status = max(status, result.status)
    return status


def _failed(item: Any, error: BaseException) -> Result:
    """A task that did not come back (its worker died): one error line naming its model."""
    source = item.args[0] if isinstance(item, functools.partial) and item.args else item
    label = getattr(source, "label", None)
    return Result(err=[f"{label}: {error}" if label else str(error)], status=EXIT_USAGE)


def single_model(args: argparse.Namespace, extra: str, count: int) -> tuple[Source, str | None, list[str]]:
    """For a command on one model (or the bundled example): the model, the schema path
    and the `count` words that follow the model, which `extra` names for messages."""
    words = list(args.words)
    if args.example:
        if args.idd or len(words) != count:
            raise UsageError(f"with --example give {extra} only" if count else "--example takes no MODEL and no --idd")
        model, schema = example_paths()
        return Source(str(model), model), str(schema), words
    if len(words) != count + 1:
        raise UsageError(f"give {' '.join(['MODEL', *([extra] if extra else [])])}")
    sources = model_sources(words[:1])
    if len(sources) != 1:
        raise UsageError(f"{words[0]}: give one model file, not a folder")
    return sources[0], args.idd, words[1:]


def call(task: Callable[[], Result]) -> Result:
    """Runs a prepared task: what run_tasks maps over a list of partial tasks."""
    return task()


def guarded(task: Callable[..., Result]) -> Callable[..., Result]:
    """Runs a per-model task; a model that does not load becomes an error line."""

    @functools.wraps(task)  # the name worker processes find it by
    def wrapper(source: Source, schema_path: str | None, *, debug: bool = False, **options: Any) -> Result:
        try:
            return task(source, schema_path, **options)
        except UsageError as exc:
            if debug:
                raise
            return Result(err=[str(exc)], status=EXIT_USAGE)

    return wrapper


def plural(count: int, word: str) -> str:
    return f"{count} {word}{'' if count == 1 else 's'}"


def examples(*lines: str) -> str:
    """An epilog of example command lines."""
    return "examples:\n" + "\n".join(f"  {line}" for line in lines)


def add_command(commands: argparse._SubParsersAction, name: str, help_text: str, epilog: str,
                words: str = "MODEL", several: bool = True) -> argparse.ArgumentParser:
    """A subcommand with its help, its examples kept as written, and the shared inputs."""
    parser = commands.add_parser(name, help=help_text, description=help_text, epilog=epilog,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    add_inputs(parser, words=words, several=several)
    return parser
