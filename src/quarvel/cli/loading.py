"""Loading schemas and models for the commands, with errors as one line."""

from __future__ import annotations

import io
import time
from dataclasses import dataclass
from pathlib import Path

from quarvel import _lenient, _registry, opening
from quarvel._sniff import head_of, model_version
from quarvel.cli.errors import UsageError, describe_load_error
from quarvel.diagnostics import Diagnostic
from quarvel.cli.streams import standard_input
from quarvel.idd import IDD
from quarvel.idf import IDF


@dataclass(frozen=True)
class Source:
    """A model to read: a file, or the bytes read from standard input (`-`)."""

    label: str
    path: Path | None = None
    data: bytes | None = None

    @property
    def name(self) -> str:
        return self.path.name if self.path is not None else "stdin.idf"


def _bytes_of(source: Source) -> bytes:
    if source.data is not None:
        return source.data
    try:
        return source.path.read_bytes() if source.path is not None else b""
    except OSError as exc:
        raise UsageError(describe_load_error(source.label, exc)) from exc


def schema_path(path: str | None, source: Source) -> str:
    """The schema's path: `path`, or the known schema of the version the model states."""
    if path is not None:
        return path
    try:
        return str(_registry.schema_path_for(model_version(_bytes_of(source))))
    except _registry.SchemaNotFoundError as exc:
        raise UsageError(f"{source.label}: {exc}") from exc


def load_schema(path: str | None, source: Source | None = None) -> IDD:
    """The schema at `path`, or (without one) the known schema of the version that the
    model `source` states; loaded once per process."""
    if path is None:
        if source is None:
            raise UsageError("give the schema with --idd SCHEMA")
        path = schema_path(None, source)
    try:
        schema = opening.load_schema(path)
    except opening.WrongFileKindError as exc:
        raise UsageError(str(exc)) from exc
    except (OSError, ValueError) as exc:
        raise UsageError(describe_load_error(path, exc)) from exc
    if not schema.class_names():
        raise UsageError(f"{path}: not a schema: no classes")
    return schema


def refuse_wrong_kind(source: Source) -> None:
    """A model that is no IDF text (an epJSON model, a schema, binary data), named as such."""
    try:
        opening.refuse_wrong_kind(head_of(source.data if source.data is not None else source.path), source.label)
    except opening.WrongFileKindError as exc:
        raise UsageError(str(exc)) from exc


def load_model(source: Source, schema: IDD, keep_layout: bool = False) -> tuple[IDF, float]:
    """The model and the seconds it took to load; with `keep_layout`, keeping its text
    for saves in its own layout."""
    refuse_wrong_kind(source)
    start = time.perf_counter()
    try:
        if keep_layout:
            model = IDF.open(io.BytesIO(_bytes_of(source)), schema=schema, keep_layout=True)
        else:
            model = IDF.from_file(schema, io.BytesIO(source.data) if source.data is not None else str(source.path))
    except (OSError, ValueError, TypeError) as exc:
        raise UsageError(describe_load_error(source.label, exc)) from exc
    return model, time.perf_counter() - start


def load_lenient(source: Source, schema: IDD) -> tuple[IDF, list[Diagnostic]]:
    """The model of what parses in the source and a finding for each object left out."""
    refuse_wrong_kind(source)
    try:
        return _lenient.load(schema, _bytes_of(source))
    except (OSError, ValueError, TypeError) as exc:
        raise UsageError(describe_load_error(source.label, exc)) from exc


def model_sources(words: list[str], recursive: bool = False, suffixes: tuple[str, ...] = (".idf",)) -> list[Source]:
    """The models named on the command line: files, folders of model files (.idf, or the
    `suffixes` given; their subfolders too with `recursive`), and `-` for standard input."""
    sources: list[Source] = []
    for word in words:
        if word == "-":
            sources.append(Source("<stdin>", data=standard_input().read()))
            continue
        path = Path(word)
        if path.is_dir():
            pattern = "**/*" if recursive else "*"
            found = sorted(p for p in path.glob(pattern) if p.suffix.lower() in suffixes and p.is_file())
            if not found:
                where = "this folder or below it" if recursive else "this folder (-r searches below it)"
                raise UsageError(f"{path}: no {' or '.join(suffixes)} files in {where}")
            sources.extend(Source(str(p), p) for p in found)
        else:
            sources.append(Source(word, path))
    return sources
