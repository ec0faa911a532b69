"""quarvel convert: IDF text to the engine's JSON form (epJSON) and back."""

from __future__ import annotations

import argparse
import io
import os
import sys
from functools import partial
from pathlib import Path
from typing import Any

from quarvel._files import write_atomic
from quarvel.cli.common import Result, add_command, call, examples, guarded, inputs, run_tasks
from quarvel.cli.errors import UsageError, describe_load_error
from quarvel._registry import json_schema_beside
from quarvel.cli.loading import Source, load_model, load_schema
from quarvel.cli.loading import schema_path as schema_path_of
from quarvel.epjson import EpJSONError, Mapping, dumps
from quarvel.idf import IDF

HELP = "convert models between IDF text and the engine's JSON form (epJSON); the suffix says which way"
JSON_SUFFIXES = (".epjson", ".json")
_MAPPINGS: dict[str, Mapping] = {}


def _mapping(path: str) -> Mapping:
    """The epJSON schema at `path`, read once per process."""
    if path not in _MAPPINGS:
        try:
            _MAPPINGS[path] = Mapping.from_file(path)
        except OSError as exc:
            raise UsageError(describe_load_error(path, exc)) from exc
        except ValueError as exc:  # it names the file itself
            raise UsageError(str(exc)) from exc
    return _MAPPINGS[path]


def _is_json(source: Source) -> bool:
    if source.path is not None:
        return source.path.suffix.lower() in JSON_SUFFIXES
    return (source.data or b"").lstrip()[:1] == b"{"


@guarded
def convert_task(source: Source, schema_path: str | None, *, mapping_path: str | None, target: str | None,
                 verbose: bool) -> Result:
    idd_path = schema_path_of(schema_path, source)
    if mapping_path is None:
        beside = json_schema_beside(idd_path)
        if beside is None:
            raise UsageError(f"{source.label}: no JSON schema beside {idd_path} (same name, .schema.epJSON): "
                             "give it with --schema SCHEMA.epJSON")
        mapping_path = str(beside)
    schema, mapping = load_schema(idd_path), _mapping(mapping_path)
    try:
        if _is_json(source):
            data: Any = source.data if source.data is not None else source.path
            model = IDF.from_epjson(schema, io.BytesIO(data) if isinstance(data, bytes) else data, mapping)
            text = model.format() + "\n"
        else:
            model, _ = load_model(source, schema)
            text = dumps(model, mapping)
    except EpJSONError as exc:
        raise UsageError(f"{source.label}: {exc}") from exc
    except (OSError, ValueError) as exc:
        raise UsageError(describe_load_error(source.label, exc)) from exc
    if target is None:
        return Result(out=[text])
    try:
        write_atomic(target, text.encode())
    except OSError as exc:
        raise UsageError(f"{target}: {exc.strerror or exc}") from exc
    return Result(err=[f"wrote {target}"] if verbose else [])


def _targets(args: argparse.Namespace, sources: list[Source]) -> list[str | None]:
    """Where each model goes (None: standard output); never over a model being converted,
    which another model's conversion (office.idf and office.epJSON side by side) or an
    -o naming an input would otherwise overwrite."""
    targets = _chosen_targets(args, sources)
    inputs = {_real(s.path): s for s in sources if s.path is not None}
    for source, target in zip(sources, targets):
        if target is not None and _real(Path(target)) in inputs:
            other = inputs[_real(Path(target))]
            what = "itself" if other is source else f"the model {other.label}, which is converted too"
            raise UsageError(f"{source.label} would be converted over {what}; write it elsewhere with -o")
    return targets


def _real(path: Path) -> str:
    return os.path.normcase(os.path.realpath(path))


def _chosen_targets(args: argparse.Namespace, sources: list[Source]) -> list[str | None]:
    def converted_name(source: Source) -> str:
        stem = Path(source.name).stem
        return stem + (".idf" if _is_json(source) else ".epJSON")

    output = args.output
    if output == "-":
        if len(sources) > 1:
            raise UsageError("several models need -o FOLDER/ (or no -o: each is written beside its model)")
        return [None]
    if output and (output.endswith(("/", os.sep)) or Path(output).is_dir()):
        folder = Path(output)
        if not folder.is_dir():
            raise UsageError(f"{output}: no such folder")
        targets: list[str | None] = [str(folder / converted_name(s)) for s in sources]
    elif output:
        if len(sources) > 1:
            raise UsageError("several models need -o FOLDER/ (or no -o: each is written beside its model)")
        targets = [output]
    else:
        if any(s.path is None for s in sources):
            raise UsageError("standard input needs -o FILE")
        targets = [str(s.path.with_name(converted_name(s))) for s in sources if s.path is not None]
    seen: dict[str | None, Source] = {}
    for source, target in zip(sources, targets):
        if target in seen:
            raise UsageError(f"{seen[target].label} and {source.label} would both be written to {target}")
        seen[target] = source
    return targets


def run(args: argparse.Namespace) -> int:
    sources, args.idd_path = inputs(args, suffixes=(".idf", *JSON_SUFFIXES))
    if args.schema:
        _mapping(args.schema)  # a schema that does not load is reported once, up front
    targets = _targets(args, sources)
    tasks = [partial(convert_task, source, args.idd_path, mapping_path=args.schema, target=target,
                     verbose=args.verbose, debug=args.debug) for source, target in zip(sources, targets)]

    def print_result(result: Result) -> None:
        for text in result.out:
            sys.stdout.write(text)  # the converted model, exactly as made

    return run_tasks(args, call, tasks, print_result=print_result)


def register(commands: argparse._SubParsersAction) -> None:
    parser = add_command(commands, "convert", HELP, examples(
        "quarvel convert office.idf -o office.epJSON --idd schema.idd --schema schema.epJSON",
        "quarvel convert office.epJSON -o office.idf --idd schema.idd --schema schema.epJSON",
        "quarvel convert -r models/ -o converted/ --idd schema.idd --schema schema.epJSON --jobs 4"))
    parser.add_argument("--schema", metavar="EPJSON", help="the engine's JSON schema (schema.epJSON); without it, the one beside the IDD")
    parser.add_argument("-o", "--output", metavar="OUT",
                        help="the file to write, - for standard output, or a folder (ending in /) for several models; "
                             "default: beside each model, with the other suffix")
    parser.set_defaults(run=run)
