"""Loading schemas and models for the commands, with errors as one line."""

from __future__ import annotations

import time
from functools import lru_cache
from pathlib import Path

from quarvel.cli.errors import UsageError, describe_load_error
from quarvel.idd import IDD
from quarvel.idf import IDF


@lru_cache(maxsize=4)
def load_schema(path: str) -> IDD:
    """The schema at `path`, loaded once per process."""
    try:
        return IDD.from_file(path)
    except (OSError, ValueError) as exc:
        raise UsageError(describe_load_error(Path(path), exc)) from exc


def load_model(path: Path, schema: IDD) -> tuple[IDF, float]:
    """The model and the seconds it took to load."""
    start = time.perf_counter()
    try:
        model = IDF.from_file(schema, path)
    except (OSError, ValueError, TypeError) as exc:
        raise UsageError(describe_load_error(path, exc)) from exc
    return model, time.perf_counter() - start


def model_paths(items: list[str]) -> list[Path]:
    """Files named on the command line; a directory stands for the .idf files in it."""
    paths: list[Path] = []
    for item in items:
        path = Path(item)
        if path.is_dir():
            found = sorted(p for p in path.iterdir() if p.suffix.lower() == ".idf" and p.is_file())
            if not found:
                raise UsageError(f"{path}: no .idf files in this directory")
            paths.extend(found)
        else:
            paths.append(path)
    return paths
