"""Opening models without naming their schema, a lenient load, and checking a file in one pass.

``IDF.open(path)`` reads the version that the model's ``Version`` object states and uses
the known schema of that major.minor (see ``quarvel.idd.register``). ``load_lenient``
keeps going past objects that do not parse or whose class is unknown, and ``check`` gives
every finding of a file, those of the load included, in line order.
"""

from __future__ import annotations

import io
import os
import weakref
from collections.abc import Iterable
from typing import IO, TYPE_CHECKING, Any, Union

from quarvel import _registry
from quarvel._sniff import NOT_A_SCHEMA, WRONG_KIND, head_of, kind_of, model_version

if TYPE_CHECKING:
    from quarvel.diagnostics import Diagnostic
    from quarvel.idd import IDD
    from quarvel.idf import IDF, IDFObjectTuple

Source = Union[str, "os.PathLike[str]", IO[bytes]]
SchemaArgument = Union["IDD", str, "os.PathLike[str]", None]


class WrongFileKindError(ValueError):
    """A file of another kind than the one asked for: an epJSON model or a schema given as
    IDF, an IDF model given as a schema. The message says what the file is."""


_sources: weakref.WeakKeyDictionary[Any, str] = weakref.WeakKeyDictionary()


def source_of(model: IDF) -> str | None:
    """The file a model was opened from with ``IDF.open``, or None."""
    return _sources.get(model)


def _read(source: Source) -> tuple[bytes, str | None]:
    """The bytes of a path or an open binary file, and the file's name when it has one."""
    if hasattr(source, "read"):
        data = source.read()  # type: ignore[union-attr]
        if isinstance(data, str):
            raise TypeError("open the file in binary mode ('rb'): its encoding is worked out from its bytes")
        name = getattr(source, "name", None)
        return bytes(data), name if isinstance(name, str) else None
    path = os.fspath(source)  # type: ignore[arg-type]
    with open(path, "rb") as stream:
        return stream.read(), str(path)


def refuse_wrong_kind(head: bytes, label: str | None) -> None:
    """Refuses a model whose first bytes show it is no IDF text, saying what it is."""
    kind = kind_of(head)
    if kind in WRONG_KIND:
        raise WrongFileKindError(f"{label}: {WRONG_KIND[kind]}" if label else WRONG_KIND[kind])


def load_schema(path: str | os.PathLike[str]) -> IDD:
    """A schema from its IDD file, loaded once per process. A JSON file or binary data is
    refused at once, and a file that does not load as a schema but states a model's
    version is refused as a model, each with a message that says what the file is."""
    head = head_of(path)
    kind = kind_of(head)
    if kind in ("binary", "json-schema", "epjson"):
        raise WrongFileKindError(f"{os.fspath(path)}: {NOT_A_SCHEMA[kind]}")
    try:
        schema = _registry.load(path)
    except ValueError as exc:
        if kind == "idf" and model_version(head) is not None:
            raise WrongFileKindError(f"{os.fspath(path)}: {NOT_A_SCHEMA[kind]}") from exc
        raise
    if not schema.class_names() and kind == "idf" and model_version(head) is not None:
        raise WrongFileKindError(f"{os.fspath(path)}: {NOT_A_SCHEMA[kind]}")
    return schema


def schema_of(data: bytes, schema: SchemaArgument) -> IDD:
    """The schema given (an IDD, or its path), else the known schema of the text's version."""
    from quarvel.idd import IDD

    if isinstance(schema, IDD):
        return schema
    if schema is not None:
        return load_schema(schema)
    return _registry.schema_for(model_version(data))


def open_model(cls: type[IDF], source: Source, schema: SchemaArgument = None, encoding: str | None = None, *,
               keep_layout: bool = False) -> IDF:
    data, label = _read(source)
    refuse_wrong_kind(head_of(data), label)
    model = cls.from_file(schema_of(data, schema), io.BytesIO(data), encoding)
    if label is not None:
        _sources[model] = label
    if keep_layout:
        from quarvel import _layout

        _layout.remember(model, data, encoding)
    return model


def load_lenient(source: Source, schema: SchemaArgument = None,
                 encoding: str | None = None) -> tuple[IDF, list[Diagnostic]]:
    """A model of what parses in an IDF file, and a finding for each object left out: a
    class the schema does not know (E102, with the closest class names) or an object that
    does not parse (E101). Each other object keeps its line."""
    from quarvel import _lenient

    data, label = _read(source)
    refuse_wrong_kind(head_of(data), label)
    model, problems = _lenient.load(schema_of(data, schema), data, encoding)
    if label is not None:
        _sources[model] = label
    return model, problems


def check(source: Source, schema: SchemaArgument = None, *, select: str | Iterable[str] | None = None,
          ignore: str | Iterable[str] | None = None, fragment: bool | None = None,
          encoding: str | None = None) -> list[Diagnostic]:
    """Every finding of an IDF file in one pass, in line order: those of a lenient load and
    those of ``IDF.validate`` (a file without a Version object is checked as a fragment
    unless `fragment` says otherwise)."""
    model, problems = load_lenient(source, schema, encoding)
    return findings_of(model, problems, select=select, ignore=ignore, fragment=fragment)


def findings_of(model: IDF, problems: list[Diagnostic], *, select: str | Iterable[str] | None = None,
                ignore: str | Iterable[str] | None = None, fragment: bool | None = None) -> list[Diagnostic]:
    """The load's `problems` and the model's findings, in line order. A reference to an
    object that the load left out is not reported again as dangling."""
    from quarvel.validation import rule_codes

    enabled = rule_codes(select, "select")
    if ignore is not None:
        enabled -= rule_codes(ignore, "ignore")
    left_out = {p.object_name.upper() for p in problems if p.object_name}
    problems = [p for p in problems if p.code in enabled]
    findings = model.validate(select=sorted(enabled), fragment=fragment)
    if left_out:
        findings = [f for f in findings if not (f.code == DANGLING and _referenced(f).upper() in left_out)]
    return merge_in_line_order(problems, findings)


DANGLING = "E304"


def _referenced(finding: Diagnostic) -> str:
    if finding.object is None or finding.field_index is None:
        return ""
    return str(finding.object[finding.field_index] or "")


def merge_in_line_order(problems: list[Diagnostic], findings: list[Diagnostic]) -> list[Diagnostic]:
    """The model's own findings (no line) first, then every other in line order; findings
    on one line keep their order, the load's before the model's."""
    def line(finding: Diagnostic) -> int:
        return -1 if finding.line is None else finding.line

    return sorted(problems + findings, key=line)


def objects_of(model: IDF, class_name: str) -> IDFObjectTuple:
    if not isinstance(class_name, str):
        raise TypeError(f"class_name must be str, not {type(class_name).__name__}")
    idd = model.idd
    if idd is not None:
        try:
            idd.class_info(class_name)
        except KeyError:
            from quarvel._suggest import closest, with_suggestions

            raise with_suggestions(KeyError(f"the schema has no class {class_name!r}"),
                                   closest(class_name, idd.class_names())) from None
    return model[class_name]
