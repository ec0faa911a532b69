"""quarvel view: draw the building as an SVG picture."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from quarvel._files import write_atomic
from quarvel.cli.common import add_command, examples, single_model
from quarvel.cli.errors import EXIT_OK, UsageError
from quarvel.cli.loading import load_model, load_schema
from quarvel.geometry import VIEWS, GeometryError, svg
from quarvel.geometry.svg import model_name

HELP = "draw the building as an SVG picture: surfaces filled by kind, a legend and a north arrow"


def run(args: argparse.Namespace) -> int:
    source, schema_path, _ = single_model(args, "", 0)
    model, _ = load_model(source, load_schema(schema_path, source))
    title = model_name(model) + (f" - {source.path.name}" if source.path is not None else "")
    try:
        picture = svg(model, view=args.view, zones=args.zones, title=title)
    except GeometryError as exc:
        raise UsageError(f"{source.label}: {exc}") from exc
    target = args.output or f"{Path(source.name).stem}.svg"
    if target == "-":
        sys.stdout.write(picture)
        return EXIT_OK
    try:
        write_atomic(target, picture.encode())
    except OSError as exc:
        raise UsageError(f"{target}: {exc.strerror or exc}") from exc
    if not args.quiet:
        print(f"wrote {target}", file=sys.stderr)
    return EXIT_OK


def register(commands: argparse._SubParsersAction) -> None:
    parser = add_command(commands, "view", HELP, examples(
        "quarvel view office.idf --idd schema.idd -o building.svg",
        "quarvel view --example --view top --zones -o example.svg"), words="MODEL", several=False)
    parser.add_argument("-o", "--output", metavar="SVG", help="the picture to write (default: MODEL's name with .svg, "
                        "in this folder), or - for standard output")
    parser.add_argument("--view", choices=list(VIEWS), default="iso", help="from where (default: %(default)s)")
    parser.add_argument("--zones", action="store_true", help="label each zone at its centre")
    parser.set_defaults(run=run)
