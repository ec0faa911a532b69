"""The ``quarvel`` command line."""

from __future__ import annotations

import argparse
import sys
import time
from importlib import resources
from pathlib import Path

EXIT_OK, EXIT_FINDING, EXIT_USAGE = 0, 1, 2


class UsageError(Exception):
    """Bad input named by the user: reported as one line, exit status 2."""


def example_paths() -> tuple[Path, Path]:
    data = resources.files("quarvel") / "data"
    return Path(str(data / "example.idf")), Path(str(data / "example.idd"))


def load(model_path: Path, idd_path: Path):
    from quarvel.idd import IDD
    from quarvel.idf import IDF

    try:
        idd = IDD.from_file(idd_path)
    except OSError as exc:
        raise UsageError(f"{idd_path}: {exc.strerror or exc}") from exc
    except ValueError as exc:
        raise UsageError(f"{idd_path}: {exc}") from exc
    try:
        return idd, IDF.from_file(idd, model_path)
    except OSError as exc:
        raise UsageError(f"{model_path}: {exc.strerror or exc}") from exc
    except ValueError as exc:
        raise UsageError(f"{model_path}: {exc}") from exc


def cmd_info(args: argparse.Namespace) -> int:
    model_path, idd_path = resolve_inputs(args)
    start = time.perf_counter()
    idd, model = load(model_path, idd_path)
    elapsed = time.perf_counter() - start
    counts = [(name, len(model[name])) for name in idd.class_names()]
    present = [(name, n) for name, n in counts if n]
    print(f"model:   {model_path}")
    print(f"schema:  {idd_path} (version {idd.version or 'unknown'})")
    print(f"objects: {sum(n for _, n in present)} in {len(present)} classes")
    print(f"loaded in {elapsed * 1000:.1f} ms")
    width = max((len(name) for name, _ in present), default=0)
    for name, n in present:
        print(f"  {name:<{width}}  {n}")
    return EXIT_OK


def resolve_inputs(args: argparse.Namespace) -> tuple[Path, Path]:
    if args.example:
        if args.model or args.idd:
            raise UsageError("--example takes no MODEL and no --idd")
        return example_paths()
    if not args.model or not args.idd:
        raise UsageError("give MODEL and --idd SCHEMA (or --example)")
    return Path(args.model), Path(args.idd)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="quarvel", description="Read, check and rewrite IDF model files.")
    parser.add_argument("--debug", action="store_true", help="show tracebacks of errors")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    info = commands.add_parser("info", help="summarise a model: objects per class, schema version, load time")
    info.add_argument("model", nargs="?", metavar="MODEL", help="the IDF file")
    info.add_argument("--idd", metavar="SCHEMA", help="the schema (IDD) file")
    info.add_argument("--example", action="store_true", help="use the bundled example model and schema")
    info.set_defaults(run=cmd_info)
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except UsageError as exc:
        if args.debug:
            raise
        print(f"quarvel: {exc}", file=sys.stderr)
        return EXIT_USAGE
