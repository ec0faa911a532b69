"""The commands: info, format, check, refs."""

from __future__ import annotations

import argparse
import json
import sys
from dataclasses import dataclass, field
from functools import partial
from importlib import resources
from pathlib import Path

from quarvel.cli.errors import EXIT_FINDING, EXIT_OK, EXIT_USAGE, UsageError
from quarvel.cli.loading import load_model, load_schema, model_paths
from quarvel.cli.parallel import default_jobs, run_all


@dataclass
class Result:
    """What one model's run prints, and its exit status."""

    out: list[str] = field(default_factory=list)
    err: list[str] = field(default_factory=list)
    status: int = EXIT_OK
    records: list[dict] = field(default_factory=list)


def example_paths() -> tuple[Path, Path]:
    data = resources.files("quarvel") / "data"
    return Path(str(data / "example.idf")), Path(str(data / "example.idd"))


def _inputs(args: argparse.Namespace) -> tuple[list[Path], str]:
    if args.example:
        if args.models or args.idd:
            raise UsageError("--example takes no MODEL and no --idd")
        model, schema = example_paths()
        return [model], str(schema)
    if not args.models:
        raise UsageError("give at least one MODEL (a file or a directory), or --example")
    if not args.idd:
        raise UsageError("give the schema with --idd SCHEMA")
    return model_paths(args.models), args.idd


def _run(args: argparse.Namespace, work, items: list) -> int:
    """Runs `work` on each item, printing results in order; the worst status wins."""
    load_schema(args.idd_path)  # a schema that does not load is reported once, up front
    status = EXIT_OK
    for result in run_all(work, items, args.jobs):
        for line in result.out:
            print(line)
        for line in result.err:
            print(f"quarvel: {line}", file=sys.stderr)
        status = max(status, result.status)
    return status


def _guarded(task):
    """Runs a per-model task; a model that does not load becomes an error line."""

    def wrapper(path: Path, schema_path: str, *, debug: bool = False, **options) -> Result:
        try:
            return task(path, schema_path, **options)
        except UsageError as exc:
            if debug:
                raise
            return Result(err=[str(exc)], status=EXIT_USAGE)

    wrapper.__name__ = task.__name__
    wrapper.__qualname__ = task.__qualname__
    return wrapper


def _common(parser: argparse.ArgumentParser, several: bool = True) -> None:
    if several:
        parser.add_argument("models", nargs="*", metavar="MODEL", help="IDF files, or directories of them")
    parser.add_argument("--idd", metavar="SCHEMA", help="the schema (IDD) file")
    parser.add_argument("--example", action="store_true", help="use the bundled example model and schema")
    if several:
        parser.add_argument("--jobs", "-j", type=int, default=default_jobs(), metavar="N",
                            help="worker processes for several models (default: %(default)s)")


# ---- info ----------------------------------------------------------------------------


@_guarded
def info_task(path: Path, schema_path: str) -> Result:
    schema = load_schema(schema_path)
    model, seconds = load_model(path, schema)
    counts = [(name, len(model[name])) for name in schema.class_names()]
    present = [(name, n) for name, n in counts if n]
    width = max((len(name) for name, _ in present), default=0)
    out = [
        f"model:   {path}",
        f"schema:  {schema_path} (version {schema.version or 'unknown'})",
        f"objects: {sum(n for _, n in present)} in {len(present)} classes",
        f"comments: {model.comment_count} lines",
        f"loaded in {seconds * 1000:.1f} ms",
    ]
    out += [f"  {name:<{width}}  {n}" for name, n in present]
    return Result(out=out)


def cmd_info(args: argparse.Namespace) -> int:
    paths, args.idd_path = _inputs(args)
    return _run(args, partial(info_task, schema_path=args.idd_path, debug=args.debug), paths)


# ---- format --------------------------------------------------------------------------


@_guarded
def format_task(path: Path, schema_path: str, *, target: Path | None, in_place: bool, layout: dict,
                timestamp: bool) -> Result:
    model, _ = load_model(path, load_schema(schema_path))
    if target is None and not in_place:
        return Result(out=[model.format(**layout)])
    destination = path if in_place else target
    assert destination is not None
    # save writes a temporary file beside the destination and renames it over it, so an
    # interrupted run never leaves a truncated model, and a link stays a link.
    try:
        model.save(destination, include_timestamp=timestamp, **layout)
    except OSError as exc:
        raise UsageError(f"{destination}: {exc.strerror or exc}") from exc
    return Result()


def cmd_format(args: argparse.Namespace) -> int:
    paths, args.idd_path = _inputs(args)
    if args.in_place and args.output:
        raise UsageError("give either --in-place or -o, not both")
    if args.field_size < 0:
        raise UsageError("--field-size must not be negative")
    output = Path(args.output) if args.output else None
    if len(paths) > 1 and not args.in_place and not (output and output.is_dir()):
        raise UsageError("several models need --in-place or -o DIRECTORY")
    if args.in_place and args.example:
        raise UsageError("the bundled example cannot be rewritten in place")
    layout = {"compact": args.compact, "preserve_order": args.preserve_order, "field_size": args.field_size,
              "comments": not args.drop_comments}

    def target_for(path: Path) -> Path | None:
        if output is None:
            return None
        return output / path.name if output.is_dir() else output

    tasks = [partial(format_task, p, args.idd_path, target=target_for(p), in_place=args.in_place, layout=layout,
                     timestamp=not args.no_timestamp, debug=args.debug) for p in paths]
    return _run(args, _call, tasks)


def _call(task) -> Result:
    return task()


# ---- check ---------------------------------------------------------------------------


def _finding_line(path: Path, finding) -> str:
    where = f"{path}:{finding.line}" if finding.line is not None else str(path)
    return f"{where}: {finding.code} {finding.rule}: {_finding_text(finding)}"


def _finding_text(finding) -> str:
    subject = f"{finding.class_name} '{finding.object_name}'" if finding.object_name else finding.class_name
    if finding.field_name:
        subject += f", {finding.field_name}"
    return f"{subject}: {finding.message}"


@_guarded
def check_task(path: Path, schema_path: str, *, select: list[str] | None, ignore: list[str] | None,
               strict: bool, as_json: bool) -> Result:
    schema = load_schema(schema_path)
    model, _ = load_model(path, schema)
    findings = model.validate(select=select, ignore=ignore)
    errors = sum(1 for f in findings if f.severity == "error")
    warnings = len(findings) - errors
    failed = errors > 0 or (strict and warnings > 0)
    status = EXIT_FINDING if failed else EXIT_OK
    if as_json:
        records = [{"file": str(path), "line": f.line, "code": f.code, "rule": f.rule, "severity": f.severity,
                    "class_name": f.class_name, "object_name": f.object_name, "field_index": f.field_index,
                    "field_name": f.field_name, "message": f.message} for f in findings]
        return Result(records=records, status=status)
    out = [_finding_line(path, f) for f in findings]
    out.append(f"{path}: {errors} error{'s' if errors != 1 else ''}, {warnings} warning{'s' if warnings != 1 else ''}")
    return Result(out=out, status=status)


def _rule_names(text: str | None, option: str) -> list[str] | None:
    if text is None:
        return None
    from quarvel.diagnostics import RULES

    names = [name.strip() for name in text.split(",") if name.strip()]
    known = {r.code.lower() for r in RULES} | {r.rule for r in RULES}
    unknown = [name for name in names if name.lower() not in known]
    if unknown:
        raise UsageError(f"{option}: no rule named {', '.join(unknown)} (see quarvel check --help)")
    return names


def cmd_check(args: argparse.Namespace) -> int:
    paths, args.idd_path = _inputs(args)
    task = partial(check_task, schema_path=args.idd_path, debug=args.debug, select=_rule_names(args.select, "--select"),
                   ignore=_rule_names(args.ignore, "--ignore"), strict=args.strict, as_json=args.format == "json")
    if args.format != "json":
        return _run(args, task, paths)
    load_schema(args.idd_path)
    records, status = [], EXIT_OK
    for result in run_all(task, paths, args.jobs):
        records.extend(result.records)
        for line in result.err:
            print(f"quarvel: {line}", file=sys.stderr)
        status = max(status, result.status)
    print(json.dumps(records, indent=2))
    return status


def _check_epilog() -> str:
    from quarvel.diagnostics import RULES

    rows = "\n".join(f"  {r.code}  {r.rule:<20} {r.summary}" for r in RULES)
    return ("rules (select or ignore them by code or name):\n" + rows +
            "\n\nexample: quarvel check models/ --idd schema.idd --ignore W208,obsolete --format json")


def _setup_check(parser: argparse.ArgumentParser) -> None:
    _common(parser)
    parser.add_argument("--select", metavar="RULES", help="only these rules: codes or names, comma-separated")
    parser.add_argument("--ignore", metavar="RULES", help="all rules but these: codes or names, comma-separated")
    parser.add_argument("--format", choices=["text", "json"], default="text",
                        help="text: one line per finding and a summary per model; json: one array of findings")
    parser.add_argument("--strict", action="store_true", help="exit with status 1 for warnings too")
    parser.formatter_class = argparse.RawDescriptionHelpFormatter
    parser.epilog = _check_epilog()


# ---- refs ----------------------------------------------------------------------------


def cmd_refs(args: argparse.Namespace) -> int:
    if args.example:
        if args.model or args.idd:
            raise UsageError("--example takes no MODEL and no --idd")
        model_path, schema_path = example_paths()
    else:
        if not args.model or not args.idd:
            raise UsageError("give MODEL, --idd SCHEMA, CLASS and NAME")
        model_path, schema_path = Path(args.model), Path(args.idd)
    schema = load_schema(str(schema_path))
    model, _ = load_model(model_path, schema)
    obj = model.get_object_by_name(args.class_name, args.name)
    if obj is None:
        raise UsageError(f"{model_path}: no {args.class_name} object named '{args.name}'")
    label = f"{obj.class_name} '{obj[0]}'"
    values = obj.get_values()
    referring, seen = [], set()
    referred = []
    for index in range(len(values)):
        info = schema.field_info(obj.class_name, index)
        if info["references"]:
            for other in obj.get_referencing_objects(index):
                if id(other) not in seen:
                    seen.add(id(other))
                    referring.append(f"  {other.class_name} '{other[0]}'")
        if info["object_lists"] and values[index] not in ("", None):
            target = obj.get_referenced_object(index)
            what = f"{target.class_name} '{target[0]}'" if target is not None else "nothing (dangling)"
            referred.append(f"  {info['name']} = '{values[index]}' -> {what}")
    print(f"{label} is referred to by {len(referring)} object{'s' if len(referring) != 1 else ''}")
    print("\n".join(referring) if referring else "  (none)")
    print(f"{label} refers to {len(referred)} object{'s' if len(referred) != 1 else ''}")
    print("\n".join(referred) if referred else "  (none)")
    return EXIT_OK


# ---- the table -----------------------------------------------------------------------


@dataclass
class Command:
    name: str
    help: str
    run: object
    setup: object

    def add_parser(self, commands) -> None:
        parser = commands.add_parser(self.name, help=self.help, description=self.help)
        self.setup(parser)
        parser.set_defaults(run=self.run)


def _setup_format(parser: argparse.ArgumentParser) -> None:
    _common(parser)
    parser.add_argument("-o", "--output", metavar="OUT", help="output file (or directory for several models)")
    parser.add_argument("--in-place", action="store_true", help="rewrite each model file in place")
    parser.add_argument("--compact", action="store_true", help="one line per object, no comments")
    parser.add_argument("--preserve-order", action="store_true", help="keep the objects' order, no group banners")
    parser.add_argument("--field-size", type=int, default=24, metavar="N",
                        help="width of the value column (default: %(default)s)")
    parser.add_argument("--no-timestamp", action="store_true", help="leave the 'Saved at' line out of files")
    parser.add_argument("--drop-comments", action="store_true",
                        help="leave out the comments of the model (kept by default)")


def _setup_refs(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("model", nargs="?", metavar="MODEL", help="the IDF file")
    parser.add_argument("class_name", metavar="CLASS", help="class of the object (any letter case)")
    parser.add_argument("name", metavar="NAME", help="name of the object (any letter case)")
    _common(parser, several=False)


COMMANDS = [
    Command("info", "summarise models: objects per class in schema order, schema version, load time", cmd_info,
            _common),
    Command("format", "rewrite models in the library's layout", cmd_format, _setup_format),
    Command("check", "check models against their schema: one line per finding, exit status 1 on errors",
            cmd_check, _setup_check),
    Command("refs", "show the objects that refer to an object and the objects it refers to", cmd_refs, _setup_refs),
]
