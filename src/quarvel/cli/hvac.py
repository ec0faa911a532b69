"""quarvel hvac: the model's loops as a text tree, JSON or an SVG diagram."""

from __future__ import annotations

import argparse
import json

from quarvel.cli.common import add_command, examples, single_model, write_output
from quarvel.cli.errors import UsageError
from quarvel.cli.loading import load_model, load_schema

HELP = "show the model's air, plant and condenser loops: sides, branches, components and their nodes"


def run(args: argparse.Namespace) -> int:
    from quarvel.hvac import topology

    source, schema_path, _ = single_model(args, "", 0)
    model, _ = load_model(source, load_schema(schema_path, source))
    graph = topology(model)
    try:
        if args.format == "json":
            text = json.dumps(graph.as_data(args.loop), indent=2) + "\n"
        elif args.format == "svg":
            text = graph.svg(args.loop)
        else:
            text = (graph.text(args.loop) or "no air, plant or condenser loops") + "\n"
    except KeyError as exc:
        raise UsageError(f"{source.label}: {exc.args[0]}") from exc
    return write_output(args.output, text, args.quiet)


def register(commands: argparse._SubParsersAction) -> None:
    parser = add_command(commands, "hvac", HELP, examples(
        "quarvel hvac 5ZoneAirCooled.idf",
        "quarvel hvac office.idf --idd schema.idd --loop 'Hot Water Loop' --format svg -o loop.svg"),
        words="MODEL", several=False)
    parser.add_argument("--loop", metavar="NAME", help="only this loop (any letter case)")
    parser.add_argument("--format", choices=["text", "json", "svg"], default="text",
                        help="how to show them (default: %(default)s)")
    parser.add_argument("-o", "--output", metavar="FILE", help="where to write (default: standard output)")
    parser.set_defaults(run=run)
