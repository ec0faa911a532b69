"""Errors of the command line, each reported as one line, and text made safe to print."""

from __future__ import annotations

import re
from pathlib import Path

EXIT_OK, EXIT_FINDING, EXIT_USAGE = 0, 1, 2


class UsageError(Exception):
    """Bad usage or bad input: reported as one line on stderr, exit status 2."""


_CONTROL = re.compile(r"[\x00-\x08\x0b-\x1f\x7f-\x9f]")


def printable(text: str) -> str:
    """`text` with control characters escaped (tabs and line breaks kept), so that bytes of
    a model or a schema cannot drive the terminal."""
    return _CONTROL.sub(lambda m: f"\\x{ord(m.group()):02x}", text)


def describe_load_error(path: Path | str, exc: Exception) -> str:
    """One line for a file that does not load: the file, the line where known, the fault."""
    if isinstance(exc, OSError):
        return f"{path}: {exc.strerror or exc}"
    line = getattr(exc, "lineno", None)
    class_name = getattr(exc, "class_name", None)
    if class_name is not None:
        message = f"unknown class '{class_name}'"
    else:
        message = str(exc)
        if line is None:
            # The schema's parser names the line only in its message.
            found = re.search(r"\(Line (\d+)\)", message)
            line = found.group(1) if found else None
    notes = " ".join(getattr(exc, "__notes__", ()))  # the closest names, for a misspelt one
    if notes:
        message = f"{message} {notes}"
    return f"{path}:{line}: {message}" if line is not None else f"{path}: {message}"
