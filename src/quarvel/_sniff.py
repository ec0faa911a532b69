"""What a file holds, told from its first bytes: for messages that say what was given
instead of how it failed to parse."""

from __future__ import annotations

import os
from typing import Any

HEAD = 8192  # bytes looked at


def head_of(source: Any) -> bytes:
    """The first bytes of a path (or of the bytes given); empty when it cannot be read."""
    if isinstance(source, (bytes, bytearray)):
        return bytes(source[:HEAD])
    try:
        with open(os.fspath(source), "rb") as stream:
            return stream.read(HEAD)
    except (OSError, TypeError, ValueError):
        return b""


def is_binary(head: bytes) -> bool:
    """Bytes that are no text: a NUL, or more than one in twenty bytes a control character
    other than the tab, the line breaks and the form feed."""
    if b"\0" in head:
        return True
    control = sum(1 for b in head if b < 32 and b not in (9, 10, 12, 13))
    return control * 20 > len(head)
