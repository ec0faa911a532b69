"""quarvel view: draw the building as an SVG picture."""

from __future__ import annotations

import argparse
from pathlib import Path

from quarvel.cli.common import add_command, examples, single_model, write_output
from quarvel.cli.errors import UsageError
from quarvel.cli.loading import load_model, load_schema
from quarvel.geometry import VIEWS, GeometryError, svg, view
from quarvel.geometry.svg import model_name

HELP = ("draw the building as an SVG picture (surfaces filled by kind, a legend and a north arrow), or as an "
        "interactive 3-D page with --html")


def run(args: argparse.Namespace) -> int:
    source, schema_path, _ = single_model(args, "", 0)
    model, _ = load_model(source, load_schema(schema_path, source))
    title = model_name(model) + (f" - {source.path.name}" if source.path is not None else "")
    try:
        picture = view(model, title=title).html if args.html else svg(model, view=args.view, zones=args.zones,
                                                                       title=title)
    except GeometryError as exc:
        raise UsageError(f"{source.label}: {exc}") from exc
    suffix = ".html" if args.html else ".svg"
    return write_output(args.output or f"{Path(source.name).stem}{suffix}", picture, args.quiet)


def register(commands: argparse._SubParsersAction) -> None:
    parser = add_command(commands, "view", HELP, examples(
        "quarvel view office.idf --idd schema.idd -o building.svg",
        "quarvel view --example --view top --zones -o example.svg",
        "quarvel view --html office.idf --idd schema.idd -o office.html"), words="MODEL", several=False)
    parser.add_argument("-o", "--output", metavar="FILE", help="the picture to write (default: MODEL's name with .svg "
                        "or .html, in this folder), or - for standard output")
    parser.add_argument("--html", action="store_true", help="an interactive 3-D page (one self-contained HTML file: "
                        "drag to turn, scroll to zoom, click a surface to see what it is)")
    parser.add_argument("--view", choices=list(VIEWS), default="iso", help="from where (default: %(default)s)")
    parser.add_argument("--zones", action="store_true", help="label each zone at its centre")
    parser.set_defaults(run=run)
