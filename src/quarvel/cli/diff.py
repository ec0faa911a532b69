"""quarvel diff: what changed between two models."""

from __future__ import annotations

import argparse
import json

from quarvel.cli.common import add_command, examples, say
from quarvel.cli.errors import EXIT_FINDING, EXIT_OK, UsageError
from quarvel.cli.loading import load_model, load_schema, model_sources
from quarvel.compare import summary

HELP = "show what changed between two models: objects removed and added, fields changed (exit 1 when they differ)"


def run(args: argparse.Namespace) -> int:
    if args.example or len(args.words) != 2:
        raise UsageError("give OLD and NEW model files")
    if not args.rel_tol >= 0:
        raise UsageError(f"--rel-tol must be at least 0, got {args.rel_tol}")
    sources = model_sources(args.words)
    if len(sources) != 2:
        raise UsageError("OLD and NEW must be model files, not folders")
    (old, _), (new, _) = (load_model(source, load_schema(args.idd, source)) for source in sources)
    changes = old.diff(new, rel_tol=args.rel_tol)
    if args.format == "json":
        say(json.dumps([change.to_dict() for change in changes], indent=2))
    else:
        for change in changes:
            say(str(change))
        if changes and not args.quiet:
            say(summary(changes))
    return EXIT_FINDING if changes else EXIT_OK


def register(commands: argparse._SubParsersAction) -> None:
    parser = add_command(commands, "diff", HELP, examples(
        "quarvel diff office.idf office-v2.idf --idd schema.idd",
        "quarvel diff old.idf new.idf --idd schema.idd --format json --rel-tol 1e-6"),
        words="OLD NEW", several=False)
    parser.add_argument("--format", choices=["text", "json"], default="text",
                        help="text: one line per change; json: an array of changes")
    parser.add_argument("--rel-tol", type=float, default=1e-9, metavar="X",
                        help="relative tolerance for numbers (default: %(default)s)")
    parser.set_defaults(run=run)
