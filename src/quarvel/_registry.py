"""Schemas found by version: the registry behind ``quarvel.idd.register`` and ``IDF.open``.

A user keeps one schema per release of the engine. The registry knows the IDD files of
the folders given to ``register`` (most recent first) and of the folders that the
``QUARVEL_IDD_PATH`` environment variable lists (``os.pathsep``-separated, read at each
lookup), each keyed by the major.minor of its ``!IDD_Version`` line. The engine's JSON
schema is found beside its IDD: same folder, same stem, ``.schema.epJSON`` (or
``.epJSON``). A schema is loaded once per process.
"""

from __future__ import annotations

import os
import re
import threading
from pathlib import Path
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from quarvel.idd import IDD

ENVIRONMENT_VARIABLE = "QUARVEL_IDD_PATH"
_HEAD = 4096  # the version line is the first line of a schema; a few lines of banner may precede it
_IDD_VERSION = re.compile(rb"^[ \t]*!IDD_Version[ \t]+([^\s!]+)", re.MULTILINE | re.IGNORECASE)
_JSON_SUFFIXES = (".schema.epJSON", ".epJSON")


class SchemaNotFoundError(LookupError):
    """No known schema matches the version asked for; the message lists those known."""


_registered: list[Path] = []  # folders and files given to register(), most recent first
_loaded: dict[Path, IDD] = {}
_scanned: dict[Path, tuple[float, dict[str, Path]]] = {}  # folder -> (mtime, version -> IDD file)
_lock = threading.Lock()


def major_minor(version: str) -> str:
    """'25.2' of '25.2.0', 'v25.2' or ' 25.2 '; the text itself when it has no dot."""
    text = version.strip().lstrip("vV")
    parts = text.split(".")
    if len(parts) >= 2 and parts[0].isdigit() and parts[1].isdigit():
        return f"{int(parts[0])}.{int(parts[1])}"
    return text


def idd_version(path: Path) -> str | None:
    """The version an IDD file states on its ``!IDD_Version`` line, or None."""
    try:
        with open(path, "rb") as stream:
            head = stream.read(_HEAD)
    except OSError:
        return None
    found = _IDD_VERSION.search(head)
    return found.group(1).decode("ascii", "replace") if found else None


def register(path: str | os.PathLike[str]) -> list[str]:
    """Make the schemas of a folder (its ``.idd`` files) or one IDD file known by version.

    Later registrations win over earlier ones and over ``QUARVEL_IDD_PATH``. Returns the
    major.minor versions that the path holds, in order.
    """
    place = Path(os.fspath(path)).expanduser().resolve()
    if not place.exists():
        raise FileNotFoundError(f"no such folder or file: {place}")
    versions = list(_schemas_in(place))
    if not versions:
        what = "holds no IDD file with an !IDD_Version line" if place.is_dir() else "has no !IDD_Version line"
        raise ValueError(f"{place} {what}")
    with _lock:
        if place in _registered:
            _registered.remove(place)
        _registered.insert(0, place)
    return versions


def _environment_folders() -> list[Path]:
    text = os.environ.get(ENVIRONMENT_VARIABLE, "")
    return [Path(part).expanduser() for part in text.split(os.pathsep) if part.strip()]


def _schemas_in(place: Path) -> dict[str, Path]:
    """major.minor -> IDD file, for a folder (its files in name order) or one file."""
    if place.is_file():
        version = idd_version(place)
        return {major_minor(version): place} if version else {}
    try:
        stamp = place.stat().st_mtime
    except OSError:
        return {}
    cached = _scanned.get(place)
    if cached and cached[0] == stamp:
        return cached[1]
    found: dict[str, Path] = {}
    try:
        files = sorted(p for p in place.iterdir() if p.suffix.lower() == ".idd" and p.is_file())
    except OSError:
        files = []
    for file in files:
        version = idd_version(file)
        if version:
            found.setdefault(major_minor(version), file)
    _scanned[place] = (stamp, found)
    return found


def known_versions() -> dict[str, Path]:
    """Every known schema: major.minor -> its IDD file, the one that a lookup would pick."""
    with _lock:
        places = list(_registered)
    known: dict[str, Path] = {}
    for place in places + _environment_folders():
        for version, file in _schemas_in(place).items():
            known.setdefault(version, file)
    return dict(sorted(known.items(), key=lambda item: _version_key(item[0])))


def _version_key(version: str) -> tuple[int, ...] | tuple[float]:
    try:
        return tuple(int(part) for part in version.split("."))
    except ValueError:
        return (float("inf"),)


def _not_found(wanted: str | None) -> SchemaNotFoundError:
    known = known_versions()
    how = (f"register the folder of your schemas with quarvel.idd.register(path) or list it in "
           f"{ENVIRONMENT_VARIABLE}, or name the schema (schema=, --idd)")
    if not known:
        return SchemaNotFoundError(f"no schema is known: {how}")
    listed = ", ".join(f"{version} ({file})" for version, file in known.items())
    return SchemaNotFoundError(f"no schema for version {wanted} is known; known: {listed}. To add one, {how}")


def schema_path_for(version: str | None) -> Path:
    """The IDD file of a version (major.minor compared); with None, the newest known."""
    if version is not None and not isinstance(version, str):
        raise TypeError(f"version must be str or None, not {type(version).__name__}")
    known = known_versions()
    if version is None:
        if not known:
            raise _not_found(None)
        return known[next(reversed(known))]
    found = known.get(major_minor(version))
    if found is None:
        raise _not_found(major_minor(version))
    return found


def load(path: str | os.PathLike[str]) -> IDD:
    """The schema at `path`, loaded once per process (and shared by every caller)."""
    from quarvel.idd import IDD

    key = Path(os.fspath(path)).resolve()
    with _lock:
        schema = _loaded.get(key)
    if schema is None:
        schema = IDD.from_file(str(key))
        with _lock:
            schema = _loaded.setdefault(key, schema)
    return schema


def schema_for(version: str | None = None) -> IDD:
    """The schema of a version ('25.2', '25.2.0'), loaded once per process; with None,
    the newest known. Raises SchemaNotFoundError, listing the known versions, when none matches."""
    return load(schema_path_for(version))


def json_schema_beside(idd_path: str | os.PathLike[str]) -> Path | None:
    """The engine's JSON schema shipped beside an IDD (same folder and stem), or None."""
    path = Path(os.fspath(idd_path))
    for suffix in _JSON_SUFFIXES:
        candidate = path.with_name(path.stem + suffix)
        if candidate.is_file():
            return candidate
    return None
