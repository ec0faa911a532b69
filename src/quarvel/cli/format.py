"""quarvel format: rewrite models in the library's layout."""

from __future__ import annotations

import argparse
import os
import sys
from functools import partial
from pathlib import Path
from typing import Any

from quarvel.cli.common import Result, add_command, call, examples, guarded, inputs, run_tasks, say
from quarvel.cli.errors import UsageError
from quarvel.cli.loading import Source, load_model, load_schema

HELP = "rewrite models in the library's layout, keeping their comments"
MAX_FIELD_SIZE = 4096  # a value column far wider than any screen


@guarded
def format_task(source: Source, schema_path: str | None, *, target: str | None, layout: dict[str, Any], timestamp: bool,
                verbose: bool) -> Result:
    kept = "layout" in layout
    model, _ = load_model(source, load_schema(schema_path, source), keep_layout=kept)
    if target is None:
        return Result(out=[model.format(**layout)], exact=kept)
    try:
        # save writes a temporary file beside the target and renames it over it, so an
        # interrupted run never leaves a truncated model, and a link stays a link.
        options: dict[str, Any] = layout if kept else {**layout, "include_timestamp": timestamp}
        model.save(target, **options)
    except OSError as exc:
        raise UsageError(f"{target}: {exc.strerror or exc}") from exc
    return Result(err=[f"wrote {target}"] if verbose else [])


def _targets(args: argparse.Namespace, sources: list[Source]) -> list[str | None]:
    """Where each model goes: None for standard output, else a file path."""
    if args.in_place:
        if args.output:
            raise UsageError("give either --in-place or -o, not both")
        if args.example or any(s.path is None for s in sources):
            raise UsageError("--in-place rewrites files: not the bundled example, not standard input")
        return [str(s.path) for s in sources]
    output = args.output
    if output is None or output == "-":
        if len(sources) > 1:
            raise UsageError("several models need --in-place or -o FOLDER")
        return [None]
    folder = Path(output)
    if output.endswith(("/", os.sep)) or folder.is_dir():
        if not folder.is_dir():
            raise UsageError(f"{output}: no such folder")
        by_name: dict[str, Source] = {}
        for source in sources:
            if source.name in by_name:
                raise UsageError(f"{by_name[source.name].label} and {source.label} would both be written to "
                                 f"{folder / source.name}")
            by_name[source.name] = source
        return [str(folder / s.name) for s in sources]
    if len(sources) > 1:
        raise UsageError("several models need --in-place or -o FOLDER")
    return [output]


def run(args: argparse.Namespace) -> int:
    sources, args.idd_path = inputs(args)
    if not 0 <= args.field_size <= MAX_FIELD_SIZE:
        raise UsageError(f"--field-size must be between 0 and {MAX_FIELD_SIZE}, got {args.field_size}")
    targets = _targets(args, sources)
    layout: dict[str, Any] = {"compact": args.compact, "preserve_order": args.preserve_order,
                              "field_size": args.field_size, "comments": not args.drop_comments}
    if args.keep_layout:
        if args.compact or args.preserve_order or args.drop_comments or args.field_size != 24:
            raise UsageError("--keep-layout keeps the file's own layout: it takes no other layout option")
        layout = {"layout": "original"}
    tasks = [partial(format_task, source, args.idd_path, target=target, layout=layout, timestamp=not args.no_timestamp,
                     verbose=args.verbose, debug=args.debug) for source, target in zip(sources, targets)]

    def print_result(result: Result) -> None:
        for text in result.out:
            sys.stdout.write(text if result.exact else text + "\n")  # the model itself, exactly as written

    return run_tasks(args, call, tasks, print_result=print_result)


def register(commands: argparse._SubParsersAction) -> None:
    parser = add_command(commands, "format", HELP, examples(
        "quarvel format office.idf --idd schema.idd -o tidy.idf",
        "quarvel format -r models/ --idd schema.idd --in-place --jobs 4",
        "cat office.idf | quarvel format - --idd schema.idd --compact"))
    parser.add_argument("-o", "--output", metavar="OUT",
                        help="output file, - for standard output, or a folder (ending in /) for several models")
    parser.add_argument("--in-place", action="store_true", help="rewrite each model file in place")
    parser.add_argument("--compact", action="store_true", help="one line per object, no field names")
    parser.add_argument("--preserve-order", action="store_true", help="keep the objects' order, no group banners")
    parser.add_argument("--field-size", type=int, default=24, metavar="N",
                        help="width of the value column (default: %(default)s)")
    parser.add_argument("--no-timestamp", action="store_true", help="leave the 'Saved at' line out of files")
    parser.add_argument("--drop-comments", action="store_true",
                        help="leave out the comments of the model (kept by default)")
    parser.add_argument("--keep-layout", action="store_true",
                        help="keep each file's own layout, rewriting only what needs it (today: nothing)")
    parser.set_defaults(run=run)
