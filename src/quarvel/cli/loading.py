"""Loading schemas and models for the commands, with errors as one line."""

from __future__ import annotations

import io
import time
from dataclasses import dataclass
from pathlib import Path

from quarvel.cli.errors import UsageError, describe_load_error
from quarvel._sniff import head_of, is_binary
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


_SCHEMAS: dict[str, IDD] = {}


def load_schema(path: str) -> IDD:
    """The schema at `path`, loaded once per process."""
    if path in _SCHEMAS:
        return _SCHEMAS[path]
    try:
        schema = IDD.from_file(path)
    except (OSError, ValueError) as exc:
        raise UsageError(describe_load_error(path, exc)) from exc
    if not schema.class_names():
        raise UsageError(f"{path}: not a schema: no classes")
    _SCHEMAS[path] = schema
    return schema


def load_model(source: Source, schema: IDD) -> tuple[IDF, float]:
    """The model and the seconds it took to load."""
    start = time.perf_counter()
    try:
        model = IDF.from_file(schema, io.BytesIO(source.data) if source.data is not None else str(source.path))
    except (OSError, ValueError, TypeError) as exc:
        if not isinstance(exc, OSError) and is_binary(head_of(source.data if source.data is not None else source.path)):
            raise UsageError(f"{source.label}: not a model: the file holds binary data, not IDF text") from exc
        raise UsageError(describe_load_error(source.label, exc)) from exc
    return model, time.perf_counter() - start


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
