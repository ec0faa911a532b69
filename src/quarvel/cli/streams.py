"""The command line's standard streams: output that cannot be written is an error, said in
one line, never a traceback or a result silently lost."""

from __future__ import annotations

import os
import sys
from typing import Any

from quarvel.cli.errors import UsageError


class OutputError(UsageError):
    """Standard output is closed, or a write to it failed (a full device)."""


def reserve_standard_descriptors() -> None:
    """A process started with standard input, output or error closed has those numbers
    free: the first files it opened would take them, and output meant for the terminal
    (of this process or of its workers) would land in them. The null device holds them
    instead; Python has already set the closed streams to None, which stays so."""
    for descriptor in (0, 1, 2):
        try:
            os.fstat(descriptor)
        except OSError:
            opened = os.open(os.devnull, os.O_RDWR)
            if opened != descriptor:
                os.dup2(opened, descriptor)
                os.close(opened)


class Output:
    """Wraps sys.stdout for the commands; a reader that went away (a closed pipe) is let
    through, to stop quietly."""

    def __init__(self, stream: Any) -> None:
        self._stream = stream

    def write(self, text: str) -> int:
        return int(self._call("write", text))

    def flush(self) -> None:
        if self._stream is not None:
            self._call("flush")

    def _call(self, name: str, *args: Any) -> Any:
        if self._stream is None:
            raise OutputError("standard output is closed")
        try:
            return getattr(self._stream, name)(*args)
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise OutputError(f"cannot write to standard output: {exc.strerror or exc}") from None

    def isatty(self) -> bool:
        return self._stream is not None and self._stream.isatty()

    def __getattr__(self, name: str) -> Any:
        if self._stream is None:
            raise OutputError("standard output is closed")
        return getattr(self._stream, name)


def standard_input() -> Any:
    """The binary standard input, or a one-line error when it is closed."""
    if sys.stdin is None:
        raise UsageError("standard input is closed: there is no model to read from '-'")
    return sys.stdin.buffer
