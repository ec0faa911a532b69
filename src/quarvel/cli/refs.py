"""quarvel refs: what refers to an object, and what it refers to."""

from __future__ import annotations

import argparse

from quarvel.cli.common import add_command, examples, plural, say, single_model
from quarvel.cli.errors import EXIT_OK, UsageError
from quarvel.cli.loading import load_model, load_schema

HELP = "show the objects that refer to an object (and through which field) and the objects it refers to"


def _label(obj) -> str:
    return f"{obj.class_name} '{obj[0]}'" if obj.get_values() else obj.class_name


def run(args: argparse.Namespace) -> int:
    source, schema_path, (class_name, name) = single_model(args, "CLASS NAME", 2)
    schema = load_schema(schema_path, source)
    model, _ = load_model(source, schema)
    obj = model.get_object_by_name(class_name, name)
    if obj is None:
        raise UsageError(f"{source.label}: no {class_name} object named '{name}'")
    referring: list[str] = []
    referred: list[str] = []
    seen: set[int] = set()
    values = obj.get_values()
    for index in range(len(values)):
        info = schema.field_info(obj.class_name, index)
        if info["references"] and values[index] not in ("", None):
            lists = set(info["references"])
            for other in obj.get_referencing_objects(index):
                if id(other) in seen:
                    continue
                seen.add(id(other))
                for through in _fields_naming(schema, other, str(values[index]), lists):
                    referring.append(f"  {_label(other)} -> {through}")
        if info["object_lists"] and values[index] not in ("", None):
            target = obj.get_referenced_object(index)
            what = _label(target) if target is not None else "nothing (dangling)"
            referred.append(f"  {info['name']} = '{values[index]}' -> {what}")
    if not args.quiet:
        say(f"{_label(obj)} is referred to by {plural(len(seen), 'object')}")
    for line in referring or ([] if args.quiet else ["  (none)"]):
        say(line)
    if not args.quiet:
        say(f"{_label(obj)} refers to {plural(len(referred), 'object')}")
    for line in referred or ([] if args.quiet else ["  (none)"]):
        say(line)
    return EXIT_OK


def _fields_naming(schema, other, name: str, lists: set[str]) -> list[str]:
    """The names of the fields of `other` that refer to `name` through one of `lists`."""
    found = []
    for index, value in enumerate(other.get_values()):
        if isinstance(value, str) and value.casefold() == name.casefold():
            info = schema.field_info(other.class_name, index)
            if lists & set(info["object_lists"]):
                found.append(info["name"])
    return found


def register(commands: argparse._SubParsersAction) -> None:
    parser = add_command(commands, "refs", HELP, examples(
        'quarvel refs office.idf --idd schema.idd Zone "Office"',
        'quarvel refs --example Zone Office'), words="[MODEL] CLASS NAME", several=False)
    parser.set_defaults(run=run)
