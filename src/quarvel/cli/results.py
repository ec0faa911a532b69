"""quarvel results: what a run of the engine reported."""

from __future__ import annotations

import argparse
import csv
import io
import json
from typing import Any

from quarvel.cli.common import examples, say
from quarvel.cli.errors import EXIT_OK, UsageError

HELP = "show what a run reported: its summary, variables, a series or a table"


def _emit(rows: list[list[Any]], header: list[str], args: argparse.Namespace) -> None:
    if args.json:
        say(json.dumps([dict(zip(header, row)) for row in rows], indent=2, default=str))
    elif args.csv:
        out = io.StringIO()
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(header)
        writer.writerows(rows)
        print(out.getvalue(), end="")
    else:
        for row in rows:
            say("  ".join(str(v) for v in row))


def run(args: argparse.Namespace) -> int:
    from quarvel import results

    try:
        found = results.open(args.folder)
    except results.ResultsError as exc:
        raise UsageError(str(exc)) from exc
    with found:
        try:
            if args.variables:
                _emit([[v.key, v.name, v.units, v.frequency] for v in found.variables()],
                      ["key", "name", "units", "frequency"], args)
            elif args.series:
                by_key = found.points(args.series, args.key, args.frequency)
                keys = list(by_key)
                first = by_key[keys[0]]
                rows = [[env, time.isoformat(sep=" "), *(by_key[k][i][2] for k in keys)]
                        for i, (env, time, _) in enumerate(first)]
                _emit(rows, ["environment", "time", *[k or args.series for k in keys]], args)
            elif args.table:
                cells = found.table_cells(*args.table)
                _emit([[c[3], c[4], c[5], c[6].strip()] for c in cells], ["row", "column", "units", "value"], args)
            else:
                summary = found.summary
                if summary is not None:
                    say(f"{'completed' if summary.completed else 'did not complete'}: {summary.warnings} warnings, "
                        f"{summary.severe} severe errors" + (f", {summary.elapsed:.2f} s" if summary.elapsed else ""))
                for message in found.messages():
                    if message.severity in ("severe", "fatal"):
                        say(f"{message.severity}: {message.text.splitlines()[0]}")
        except results.ResultsError as exc:
            notes = " ".join(getattr(exc, "__notes__", ()))
            raise UsageError(f"{args.folder}: {exc}" + (f" {notes}" if notes else "")) from exc
    return EXIT_OK


def register(commands: argparse._SubParsersAction) -> None:
    parser = commands.add_parser("results", help=HELP, description=HELP,
                                 formatter_class=argparse.RawDescriptionHelpFormatter, epilog=examples(
                                     "quarvel results runs/0000-office",
                                     "quarvel results runs/0000-office --series 'Zone Air Temperature' --key SPACE1-1 "
                                     "--csv",
                                     "quarvel results run/ --table AnnualBuildingUtilityPerformanceSummary "
                                     "'Site and Source Energy'"))
    parser.add_argument("folder", metavar="RUN_DIR", help="a run folder, or its .sql file")
    parser.add_argument("words", nargs="*", help=argparse.SUPPRESS)
    what = parser.add_mutually_exclusive_group()
    what.add_argument("--variables", action="store_true", help="every reported variable and meter")
    what.add_argument("--series", metavar="NAME", help="one variable's values, a column per key")
    what.add_argument("--table", nargs=2, metavar=("REPORT", "TABLE"), help="one tabular report table")
    parser.add_argument("--key", help="with --series: only this key")
    parser.add_argument("--frequency", help="with --series: Hourly, Daily, ... when it is reported at several")
    shape = parser.add_mutually_exclusive_group()
    shape.add_argument("--csv", action="store_true", help="CSV")
    shape.add_argument("--json", action="store_true", help="JSON")
    parser.add_argument("--debug", action="store_true", help=argparse.SUPPRESS)
    parser.set_defaults(run=run)
