"""What a file holds, told from its first bytes: for messages that say what was given
instead of how it failed to parse."""

from __future__ import annotations

import os
import re
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


_CONTROL = bytes(b for b in range(32) if b not in (9, 10, 12, 13))


def is_binary(head: bytes) -> bool:
    """Bytes that are no text: a NUL, or more than one in twenty bytes a control character
    other than the tab, the line breaks and the form feed."""
    if b"\0" in head:
        return True
    control = len(head) - len(head.translate(None, _CONTROL))  # counted at C speed
    return control * 20 > len(head)


_BOM = b"\xef\xbb\xbf"
_IDD_MARKS = re.compile(rb"^[ \t]*(?:!IDD_Version\b|\\(?:field|group|memo|unique-object|required-object|min-fields|extensible)\b"
                        rb"|[AN][0-9]+[ \t]*[,;][ \t]*\\field\b)", re.MULTILINE | re.IGNORECASE)


def kind_of(head: bytes) -> str:
    """What the first bytes of a file hold: 'empty' (blanks and comments only), 'binary',
    'json-schema' (the engine's JSON schema), 'epjson' (a model in the engine's JSON
    form), 'idd' (a schema) or 'idf'."""
    if is_binary(head):
        return "binary"
    text = head[len(_BOM):] if head.startswith(_BOM) else head
    if not any(line.split(b"!", 1)[0].strip() for line in text.splitlines()):
        return "empty"  # blanks and comments only
    if text.lstrip()[:1] == b"{":
        markers = (b'"$schema"', b'"epJSON_schema_version"', b'"properties"', b'"patternProperties"')
        return "json-schema" if any(marker in text for marker in markers) else "epjson"
    return "idd" if _IDD_MARKS.search(text) else "idf"


# The Version object: its class at the start of a line, then its first value, with blanks,
# line breaks and comments allowed between them.
_GAP = rb"(?:\s|![^\r\n]*)*"
_VERSION = re.compile(rb"^[ \t]*(?:\xef\xbb\xbf)?[ \t]*version" + _GAP + rb"," + _GAP + rb"([^,;!\s][^,;!\r\n]*)",
                      re.MULTILINE | re.IGNORECASE)


_JSON_VERSION = re.compile(rb'"version_identifier"\s*:\s*"([^"\\]+)"')


def model_version(data: bytes) -> str | None:
    """The version that a model states in its Version object ('25.2'), IDF text or
    epJSON, or None."""
    json_text = data.lstrip(_BOM + b" \t\r\n")[:1] == b"{"
    found = (_JSON_VERSION if json_text else _VERSION).search(data)
    return found.group(1).strip().decode("latin-1") if found else None


WRONG_KIND = {
    "binary": "not a model: the file holds binary data, not IDF text",
    "epjson": "this is a model in epJSON form, not IDF text: open it with IDF.from_epjson, "
              "or make IDF text of it with quarvel convert",
    "json-schema": "this is the engine's JSON schema, not a model: give it as --schema to quarvel convert",
    "idd": "this is a schema (IDD), not a model: give it with --idd (schema= in the API)",
}
"""Why a file is no IDF model, by its kind."""

NOT_A_SCHEMA = {
    "binary": "not a schema: the file holds binary data, not IDD text",
    "json-schema": "this is the engine's JSON schema, not an IDD: give the IDD with --idd "
                   "(the JSON schema goes to quarvel convert --schema)",
    "epjson": "this is a model in epJSON form, not a schema (IDD): give the schema's IDD file with --idd",
    "idf": "this is an IDF model, not a schema (IDD): give it as MODEL and the schema with --idd",
}
"""Why a file is no IDD schema, by its kind."""
