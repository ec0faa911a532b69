"""The ``quarvel`` command line: ``python -m quarvel`` or ``quarvel``.

Exit status: 0 on success, 1 on a finding (``check`` found an error), 2 on bad usage or
bad input (a missing file, a schema or model that does not load).
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import NoReturn

from quarvel import __version__
from quarvel.cli.errors import EXIT_OK, EXIT_USAGE, UsageError, printable
from quarvel.cli.streams import Output, OutputError, reserve_standard_descriptors


class _Parser(argparse.ArgumentParser):
    """Usage errors in one line, like every other error of the command line."""

    def error(self, message: str) -> NoReturn:
        print(printable(f"{self.prog}: {message} (see {self.prog} --help)"), file=sys.stderr)
        raise SystemExit(EXIT_USAGE)


def build_parser() -> argparse.ArgumentParser:
    from quarvel.cli.commands import COMMANDS

    parser = _Parser(
        prog="quarvel", description="Read, check and rewrite IDF model files against their schema (IDD).",
        epilog="example: quarvel check model.idf --idd schema.idd   (quarvel COMMAND --help for more)")
    parser.add_argument("--version", action="version", version=f"quarvel {__version__}")
    parser.add_argument("--debug", action="store_true", help="show a traceback for errors")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS:
        command.register(commands)
    return parser


def main(argv: list[str] | None = None) -> int:
    reserve_standard_descriptors()
    original = sys.stdout
    sys.stdout = Output(original)  # type: ignore[assignment]
    try:
        status = _main(argv)
        sys.stdout.flush()  # a full device is found here, before the status says all went well
        return status
    except OutputError as exc:
        print(printable(f"quarvel: {exc}"), file=sys.stderr)
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader (a pager, head) went away; stop quietly.
        if original is not None:
            os.dup2(os.open(os.devnull, os.O_WRONLY), original.fileno())
        return EXIT_OK
    finally:
        sys.stdout = original


def _main(argv: list[str] | None) -> int:
    parser = build_parser()
    # Words may stand anywhere among the options (quarvel refs office.idf --idd s.idd Zone
    # Office): argparse leaves those after an option over; they join the command's words.
    try:
        args, extra = parser.parse_known_args(argv)
    except SystemExit as exc:  # --help, --version, or a usage error already said
        sys.stdout.flush()
        return int(exc.code or 0) if not isinstance(exc.code, str) else EXIT_USAGE
    options = [word for word in extra if word.startswith("-") and word != "-"]
    if options:
        try:
            parser.error(f"unrecognized arguments: {' '.join(options)}")
        except SystemExit:
            return EXIT_USAGE
    args.words = [*args.words, *extra]
    try:
        return int(args.run(args))
    except UsageError as exc:
        if args.debug or isinstance(exc, OutputError):
            raise
        print(printable(f"quarvel: {exc}"), file=sys.stderr)
        return EXIT_USAGE
    except (MemoryError, OverflowError) as exc:
        if args.debug:
            raise
        print(f"quarvel: {'out of memory' if isinstance(exc, MemoryError) else exc}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print("quarvel: interrupted", file=sys.stderr)
        return 130
