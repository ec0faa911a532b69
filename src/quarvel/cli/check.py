"""quarvel check: every validation rule over models, one line per finding."""

from __future__ import annotations

import argparse
import json
from functools import partial
from typing import Any

from quarvel.cli.common import Result, add_command, examples, guarded, inputs, plural, run_tasks, say
from quarvel.cli.errors import EXIT_FINDING, EXIT_OK, UsageError
from quarvel.cli.loading import Source, load_lenient, load_schema
from quarvel.diagnostics import Diagnostic, Rule, rules as all_rules
from quarvel.opening import findings_of

HELP = "check models against their schema: one line per finding, exit status 1 on errors"


def _record(label: str, finding: Diagnostic) -> dict[str, Any]:
    return {"file": label, "line": finding.line, "code": finding.code, "rule": finding.rule,
            "severity": finding.severity, "class_name": finding.class_name, "object_name": finding.object_name,
            "field_index": finding.field_index, "field_name": finding.field_name, "message": finding.message}


@guarded
def check_task(source: Source, schema_path: str | None, *, select: list[str] | None, ignore: list[str] | None,
               strict: bool, as_json: bool, quiet: bool, fragment: bool | None) -> Result:
    model, problems = load_lenient(source, load_schema(schema_path, source))
    findings = findings_of(model, problems, select=select, ignore=ignore, fragment=fragment)
    errors = sum(1 for f in findings if f.severity == "error")
    warnings = len(findings) - errors
    status = EXIT_FINDING if errors or (strict and warnings) else EXIT_OK
    if as_json:
        return Result(records=[_record(source.label, f) for f in findings], status=status)
    out = [f.located(source.label) for f in findings]
    if not quiet:
        out.append(f"{source.label}: {plural(errors, 'error')}, {plural(warnings, 'warning')}")
    return Result(out=out, status=status)


def _rule_names(text: str | None, option: str, rules: tuple[Rule, ...]) -> list[str] | None:
    if text is None:
        return None
    names = [name.strip() for name in text.split(",") if name.strip()]
    known = {r.code.lower() for r in rules} | {r.rule for r in rules}
    unknown = [name for name in names if name.lower() not in known]
    if unknown:
        raise UsageError(f"{option}: no rule named {', '.join(unknown)} (see quarvel check --help)")
    return names


def run(args: argparse.Namespace) -> int:
    sources, args.idd_path = inputs(args)
    rules = all_rules()
    task = partial(check_task, schema_path=args.idd_path, debug=args.debug,
                   select=_rule_names(args.select, "--select", rules), ignore=_rule_names(args.ignore, "--ignore", rules),
                   strict=args.strict, as_json=args.format == "json", quiet=args.quiet,
                   fragment=True if args.fragment else None)
    if args.format != "json":
        return run_tasks(args, task, sources)
    records: list[dict[str, Any]] = []
    status = run_tasks(args, task, sources, print_result=lambda result: records.extend(result.records))
    say(json.dumps(records, indent=2))
    return status


def register(commands: argparse._SubParsersAction) -> None:
    rows = "\n".join(f"  {r.code}  {r.rule:<20} {r.summary}" for r in all_rules())
    parser = add_command(commands, "check", HELP, (
        "rules (select or ignore them by code or name):\n" + rows + "\n\n" + examples(
            "quarvel check model.idf",
            "quarvel check model.idf --idd schema.idd",
            "quarvel check --fragment library/materials.idf",
            "quarvel check -r models/ --idd schema.idd --ignore W208,obsolete --format json")))
    parser.add_argument("--select", metavar="RULES", help="only these rules: codes or names, comma-separated")
    parser.add_argument("--ignore", metavar="RULES", help="all rules but these: codes or names, comma-separated")
    parser.add_argument("--format", choices=["text", "json"], default="text",
                        help="text: one line per finding and a summary per model; json: one array of findings")
    parser.add_argument("--strict", action="store_true", help="exit with status 1 for warnings too")
    parser.add_argument("--fragment", action="store_true",
                        help="check a library file: no required-object findings (the default for a file "
                             "without a Version object)")
    parser.set_defaults(run=run)
