"""The ``quarvel`` command line: ``python -m quarvel`` or ``quarvel``.

Exit status: 0 on success, 1 on a finding (``check`` found an error), 2 on bad usage or
bad input (a missing file, a schema or model that does not load).
"""

from __future__ import annotations

import argparse
import os
import sys

from quarvel import __version__
from quarvel.cli.errors import EXIT_OK, EXIT_USAGE, UsageError, printable


def build_parser() -> argparse.ArgumentParser:
    from quarvel.cli.commands import COMMANDS

    parser = argparse.ArgumentParser(
        prog="quarvel", description="Read, check and rewrite IDF model files against their schema (IDD).",
        epilog="example: quarvel check model.idf --idd schema.idd   (quarvel COMMAND --help for more)")
    parser.add_argument("--version", action="version", version=f"quarvel {__version__}")
    parser.add_argument("--debug", action="store_true", help="show a traceback for errors")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS:
        command.register(commands)
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    # Words may stand anywhere among the options (quarvel refs office.idf --idd s.idd Zone
    # Office): argparse leaves those after an option over; they join the command's words.
    args, extra = parser.parse_known_args(argv)
    options = [word for word in extra if word.startswith("-") and word != "-"]
    if options:
        parser.error(f"unrecognized arguments: {' '.join(options)}")
    args.words = [*args.words, *extra]
    try:
        return int(args.run(args))
    except UsageError as exc:
        if args.debug:
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
    except BrokenPipeError:
        # The reader (a pager, head) went away; stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_OK
