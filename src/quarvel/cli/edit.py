"""quarvel set: change fields of models in place, keeping each file's own layout."""

from __future__ import annotations

import argparse
from dataclasses import dataclass
from typing import Any

from quarvel.cli.common import add_inputs, complain, examples, say
from quarvel.cli.errors import EXIT_OK, EXIT_USAGE, UsageError, describe_load_error
from quarvel.cli.loading import Source, load_model, load_schema, model_sources

HELP = "change fields of models in place; the rest of each file stays as it was"


@dataclass(frozen=True)
class Request:
    class_name: str
    name: str  # '*': every object of the class
    assignments: list[tuple[str, str]]
    where: list[tuple[str, str]]


def _assignment(word: str, option: str = "") -> tuple[str, str]:
    field, sep, value = word.partition("=")
    if not sep or not field.strip():
        raise UsageError(f"{option}{word!r} is not FIELD=VALUE")
    return field.strip(), value


def split_words(words: list[str], where: list[str]) -> tuple[list[str], Request]:
    """MODEL... CLASS NAME FIELD=VALUE...: the assignments are the words with '=' at the end."""
    first = len(words)
    while first > 0 and "=" in words[first - 1]:
        first -= 1
    if first == len(words):
        raise UsageError("give at least one FIELD=VALUE after CLASS and NAME")
    if first < 3:
        raise UsageError("give MODEL... CLASS NAME FIELD=VALUE... (NAME '*' for every object of the class)")
    assignments = [_assignment(w) for w in words[first:]]
    filters = [_assignment(w, "--where ") for w in where]
    return words[:first - 2], Request(words[first - 2], words[first - 1], assignments, filters)


def _value_text(obj: Any, index: int) -> str:
    """A field's value as the model's text spells it (empty for a field not written)."""
    from quarvel._layout.edits import _written

    written = _written(obj)
    return written[index + 1][0] if index + 1 < len(written) else ""


def _holds(obj: Any, index: int, wanted: str) -> bool:
    """Whether a field holds a value: numbers as numbers (a field not written holds its
    default), text in any letter case."""
    value = obj[index] if index < len(obj) or obj.idd.field_info(obj.class_name, index)["default"] else None
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        try:
            return float(value) == float(wanted)
        except ValueError:
            return False
    return str(value if value is not None else "").upper() == wanted.strip().upper()


def _matches(obj: Any, where: list[tuple[int, str]]) -> bool:
    return all(_holds(obj, index, value) for index, value in where)


def _objects(model: Any, request: Request, label: str) -> list[Any]:
    try:
        objects = model.objects_of(request.class_name)
    except KeyError as exc:
        notes = " ".join(getattr(exc, "__notes__", ()))
        raise UsageError(f"{label}: {exc.args[0] if exc.args else exc}" + (f" {notes}" if notes else "")) from exc
    if request.name != "*":
        found = model.get_object_by_name(request.class_name, request.name)
        if found is None:
            from quarvel._suggest import closest, did_you_mean

            named = [str(o[0]) for o in objects if len(o)]
            hint = did_you_mean(closest(request.name, named))
            raise UsageError(f"{label}: {request.class_name} '{request.name}' is not in the model"
                             + (f" {hint}" if hint else ""))
        objects = (found,)
    return list(objects)


def _field_index(schema: Any, class_name: str, field: str, label: str) -> int:
    try:
        return schema.field_index(class_name, field)
    except (KeyError, ValueError) as exc:
        raise UsageError(describe_load_error(label, exc)) from exc


def edit_model(source: Source, schema_path: str | None, request: Request) -> tuple[Any, list[str]]:
    """The model with the request applied, and a line for each change."""
    schema = load_schema(schema_path, source)
    model, _ = load_model(source, schema, keep_layout=True)
    objects = _objects(model, request, source.label)
    class_name = schema.class_info(request.class_name)["name"]
    fields = [(_field_index(schema, class_name, f, source.label), v) for f, v in request.assignments]
    where = [(_field_index(schema, class_name, f, source.label), v) for f, v in request.where]
    changes: list[str] = []
    for obj in objects:
        if not _matches(obj, where):
            continue
        for index, value in fields:
            before = _value_text(obj, index)
            try:
                obj[index] = value
            except (ValueError, TypeError) as exc:
                raise UsageError(f"{source.label}: {class_name} '{obj[0]}': {exc}") from exc
            after = _value_text(obj, index)
            if after != before:
                field_name = schema.field_name(class_name, index, False)
                changes.append(f"{class_name} '{obj[0]}', {field_name}: {before or '(empty)'} -> {after or '(empty)'}")
    return model, changes


def run(args: argparse.Namespace) -> int:
    if args.example:
        raise UsageError("set rewrites files: give MODEL files, not --example")
    words, request = split_words(args.words, args.where or [])
    sources = model_sources(words)
    if any(s.path is None for s in sources):
        raise UsageError("set rewrites files in place: not standard input")
    # Every model is edited in memory first: an error in any of them changes no file.
    edited = [(source, *edit_model(source, args.idd, request)) for source in sources]
    for source, model, changes in edited:
        if args.dry_run or not changes:
            continue
        try:
            model.save(str(source.path), layout="original")
        except OSError as exc:
            complain(f"{source.label}: {exc.strerror or exc}")
            return EXIT_USAGE
    for source, _, changes in edited:
        prefix = f"{source.label}: " if len(edited) > 1 else ""
        for line in changes:
            say(prefix + line)
        if not changes and not args.quiet:
            say(f"{prefix}nothing to change")
    return EXIT_OK


def register(commands: argparse._SubParsersAction) -> None:
    parser = commands.add_parser(
        "set", help=HELP, description=HELP + ". Words: MODEL... CLASS NAME FIELD=VALUE... (NAME '*': every object "
        "of the class).", formatter_class=argparse.RawDescriptionHelpFormatter, epilog=examples(
            "quarvel set office.idf Zone Office Multiplier=2",
            "quarvel set models/*.idf Zone '*' Multiplier=2 --where 'Type=1'",
            "quarvel set office.idf --idd schema.idd Material Brick Thickness=0.2 Conductivity=0.9"))
    add_inputs(parser, words="MODEL... CLASS NAME FIELD=VALUE", several=False)
    parser.add_argument("--where", action="append", metavar="FIELD=VALUE",
                        help="only the objects whose FIELD holds VALUE (any letter case); may be repeated")
    parser.add_argument("-n", "--dry-run", action="store_true", help="print what would change, write nothing")
    parser.set_defaults(run=run)
