"""Errors of the command line, each reported as one line."""

from __future__ import annotations

import re
from pathlib import Path

EXIT_OK, EXIT_FINDING, EXIT_USAGE = 0, 1, 2


class UsageError(Exception):
    """Bad usage or bad input: reported as one line on stderr, exit status 2."""


_UNKNOWN_CLASS = re.compile(r"Unknown class: '(.*)'$")


def describe_load_error(path: Path, exc: Exception) -> str:
    """One line for a file that does not load: the file, the line where known, the fault."""
    if isinstance(exc, OSError):
        return f"{path}: {exc.strerror or exc}"
    message = str(exc)
    match = _UNKNOWN_CLASS.search(message)
    if match:
        line = _line_of_class(path, match.group(1))
        if line:
            return f"{path}:{line}: unknown class '{match.group(1)}'"
    line_match = re.search(r"\(Line (\d+)\)", message)
    if line_match:
        return f"{path}:{line_match.group(1)}: {message}"
    return f"{path}: {message}"


def _line_of_class(path: Path, name: str) -> int | None:
    """The line where an object of class `name` (as written) starts, if it can be found."""
    try:
        text = path.read_text(encoding="utf-8", errors="replace")
    except OSError:
        return None
    pattern = re.compile(r"(^|;)\s*" + re.escape(name) + r"\s*[,;]", re.MULTILINE)
    for number, line in enumerate(re.split(r"\r\n|\r|\n", text), 1):
        if pattern.search(line.split("!", 1)[0]):
            return number
    return None
