"""The ``quarvel`` command line: ``python -m quarvel`` or ``quarvel``.

Exit status: 0 on success, 1 on a finding (``check`` found dangling references), 2 on
bad usage or bad input (a missing file, a schema or model that does not load).
"""

from __future__ import annotations

import argparse
import os
import sys

from quarvel.cli.commands import COMMANDS
from quarvel.cli.errors import EXIT_OK, EXIT_USAGE, UsageError


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quarvel", description="Read, check and rewrite IDF model files against their schema (IDD).")
    parser.add_argument("--debug", action="store_true", help="show a traceback for errors")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS:
        command.add_parser(commands)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return int(args.run(args))
    except UsageError as exc:
        if args.debug:
            raise
        print(f"quarvel: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print("quarvel: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader (a pager, head) went away; stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_OK
