"""quarvel info: what a model holds."""

from __future__ import annotations

import argparse
import json
from functools import partial

from quarvel.cli.common import Result, add_command, examples, guarded, inputs, run_tasks, say
from quarvel._display import class_counts
from quarvel.cli.loading import Source, load_model, load_schema
from quarvel.cli.errors import UsageError
from quarvel.geometry import GeometryError, measure, report

HELP = "summarise models: objects per class in schema order, schema version, comments, load time"


@guarded
def info_task(source: Source, schema_path: str | None, *, as_json: bool, quiet: bool, verbose: bool,
              geometry: bool = False) -> Result:
    schema = load_schema(schema_path, source)
    model, seconds = load_model(source, schema)
    present = class_counts(model)
    total = sum(n for _, n in present)
    try:
        measures = measure(model) if geometry else None
    except GeometryError as exc:
        raise UsageError(f"{source.label}: {exc}") from exc
    if as_json:
        record = {"model": source.label, "schema": schema_path, "schema_version": schema.version, "objects": total,
                  "classes": dict(present), "comment_lines": model.comment_count, "load_seconds": round(seconds, 6)}
        if measures is not None:
            record["geometry"] = report.as_data(measures)
        return Result(records=[record])
    if quiet:
        line = f"{source.label}: {total} objects in {len(present)} classes"
        return Result(out=[line, *(report.as_lines(measures) if measures is not None else [])])
    width = max((len(name) for name, _ in present), default=0)
    out = [
        f"model:   {source.label}",
        f"schema:  {schema_path} (version {schema.version or 'unknown'})",
        f"objects: {total} in {len(present)} classes",
        f"comments: {model.comment_count} lines",
    ]
    if verbose:
        out.append(f"loaded in {seconds * 1000:.1f} ms")
    out += [f"  {name:<{width}}  {n}" for name, n in present]
    if measures is not None:
        out += report.as_lines(measures)
    return Result(out=out)


def run(args: argparse.Namespace) -> int:
    sources, args.idd_path = inputs(args)
    task = partial(info_task, schema_path=args.idd_path, debug=args.debug, as_json=args.json, quiet=args.quiet,
                   verbose=args.verbose, geometry=args.geometry)
    if not args.json:
        return run_tasks(args, task, sources)
    records: list[dict] = []
    status = run_tasks(args, task, sources, print_result=lambda result: records.extend(result.records))
    say(json.dumps(records if len(records) != 1 else records[0], indent=2))
    return status


def register(commands: argparse._SubParsersAction) -> None:
    parser = add_command(commands, "info", HELP, examples(
        "quarvel info --example",
        "quarvel info office.idf --idd schema.idd",
        "quarvel info -r models/ --idd schema.idd --json",
        "quarvel info --geometry office.idf --idd schema.idd"))
    parser.add_argument("--json", action="store_true", help="print JSON (one object, or a list for several models)")
    parser.add_argument("--geometry", action="store_true",
                        help="also measure the geometry: zone floor areas and volumes, window-to-wall ratio by facade")
    parser.set_defaults(run=run)
