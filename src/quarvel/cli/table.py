"""quarvel table: the objects of one class as a table."""

from __future__ import annotations

import argparse
import sys

from quarvel.cli.common import add_command, examples, say, single_model
from quarvel.cli.errors import EXIT_OK, UsageError
from quarvel.cli.loading import load_model, load_schema
from quarvel.tables import as_csv, as_json, as_text

HELP = "print the objects of a class as a table: one row per object, one column per field"


def run(args: argparse.Namespace) -> int:
    source, schema_path, (class_name,) = single_model(args, "CLASS", 1)
    model, _ = load_model(source, load_schema(schema_path, source))
    render = as_csv if args.csv else as_json if args.json else as_text
    try:
        text = render(model, class_name)
    except KeyError:
        raise UsageError(f"the schema has no class '{class_name}'") from None
    if args.csv:
        sys.stdout.write(text)  # data for another program, as written
    else:
        say(text)  # JSON escapes by itself; the aligned table is for a terminal
    return EXIT_OK


def register(commands: argparse._SubParsersAction) -> None:
    parser = add_command(commands, "table", HELP, examples(
        "quarvel table office.idf Zone --idd schema.idd",
        "quarvel table --example BuildingSurface:Detailed --csv > surfaces.csv"),
        words="[MODEL] CLASS", several=False)
    shape = parser.add_mutually_exclusive_group()
    shape.add_argument("--csv", action="store_true", help="CSV, the units in the header (Ceiling Height {m})")
    shape.add_argument("--json", action="store_true", help="a JSON array of objects keyed by field name")
    parser.set_defaults(run=run)
