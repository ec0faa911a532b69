"""A lenient load: IDF text that does not parse as a whole still gives a model of what does,
and each object that could not be read becomes a located finding.

The text is loaded as it is first; only when that fails is it split into objects (each
ends at a ';' outside comments). Objects of classes that the schema does not know are
set aside at once, then each object that the parser still refuses is set aside in turn.
An object set aside is replaced by blanks with its line breaks kept, so that every other
object keeps its line.
"""

from __future__ import annotations

import io
import re
from dataclasses import dataclass
from typing import TYPE_CHECKING

from quarvel.diagnostics import Diagnostic, Rule

if TYPE_CHECKING:
    from quarvel.idd import IDD
    from quarvel.idf import IDF

SYNTAX_ERROR = Rule("E101", "syntax-error", "error", "an object that does not parse (it is left out of the model)")
UNKNOWN_CLASS = Rule("E102", "unknown-class", "error", "an object of a class the schema does not know (left out)")
RULES = (SYNTAX_ERROR, UNKNOWN_CLASS)

_LINE = re.compile(rb"[^\r\n]*(?:\r\n|\r|\n|$)")
_PARSER_PREFIX = re.compile(r"^IDF parsing error(?: \(Line \d+\))?: ")


@dataclass
class Piece:
    """One object of the text: its bytes [start, end), its first and last line, its class."""

    start: int
    end: int
    first_line: int
    last_line: int
    class_name: str
    name: str | None


def pieces_of(data: bytes) -> list[Piece]:
    """The objects of IDF text, an unterminated last one included."""
    found: list[Piece] = []
    start = first_line = -1
    code_parts: list[bytes] = []
    offset = 0
    number = 0
    for match in _LINE.finditer(data):
        line = match.group()
        if not line:
            break
        number += 1
        bang = line.find(b"!")
        code = line[: bang if bang >= 0 else len(line.rstrip(b"\r\n"))]
        position = 0
        while position < len(code):
            semicolon = code.find(b";", position)
            segment = code[position: semicolon if semicolon >= 0 else len(code)]
            if start < 0 and segment.strip():
                start = offset + position + (len(segment) - len(segment.lstrip()))
                first_line = number
            if start >= 0:
                code_parts.append(segment)
            if semicolon < 0:
                break
            if start >= 0:
                found.append(_piece(start, offset + semicolon + 1, first_line, number, code_parts))
            else:  # a ';' with nothing before it: an object without even a class name
                found.append(Piece(offset + semicolon, offset + semicolon + 1, number, number, "", None))
            start, code_parts = -1, []
            position = semicolon + 1
        if start >= 0:
            code_parts.append(b"\n")
        offset += len(line)
    if start >= 0:
        found.append(_piece(start, len(data), first_line, number, code_parts))
    return found


def _piece(start: int, end: int, first_line: int, last_line: int, code_parts: list[bytes]) -> Piece:
    words = re.split(rb"[,;]", b"".join(code_parts))
    first = [word.strip().split(b"\n")[0].strip() for word in words[:2]]  # a missing comma runs on
    class_name = first[0].decode("utf-8", "replace") if first else ""
    name = first[1].decode("utf-8", "replace") if len(first) > 1 and first[1] else None
    return Piece(start, end, first_line, last_line, class_name, name)


def _blank(buffer: bytearray, piece: Piece) -> None:
    for i in range(piece.start, piece.end):
        if buffer[i] not in (10, 13):
            buffer[i] = 32


def _finding(rule: Rule, piece: Piece, line: int | None, message: str) -> Diagnostic:
    return Diagnostic(rule.code, rule.rule, rule.severity, piece.class_name, piece.name, None, None, None, line, message)


def _unknown_class(piece: Piece, names: list[str]) -> Diagnostic:
    from quarvel._suggest import closest, did_you_mean

    hint = did_you_mean(closest(piece.class_name, names))
    hint = " " + hint if hint else ""
    return _finding(UNKNOWN_CLASS, piece, piece.first_line,
                    f"The schema has no class '{piece.class_name}'; the object is left out.{hint}")


def load(schema: IDD, data: bytes, encoding: str | None = None) -> tuple[IDF, list[Diagnostic]]:
    """The model of what parses in `data`, and a finding for each object left out (in line order)."""
    from quarvel.idf import IDF, IDFParseError

    try:
        return IDF.from_file(schema, io.BytesIO(data), encoding), []
    except IDFParseError as first_error:
        error = first_error
    pieces = pieces_of(data)
    buffer = bytearray(data)
    names = schema.class_names()
    known = {name.upper() for name in names}
    problems: list[Diagnostic] = []
    kept: list[Piece] = []
    for piece in pieces:
        if not piece.class_name:
            problems.append(_finding(SYNTAX_ERROR, piece, piece.first_line,
                                     "A ';' with no class name before it; it is left out."))
            _blank(buffer, piece)
        elif piece.class_name.upper() not in known:
            problems.append(_unknown_class(piece, names))
            _blank(buffer, piece)
        else:
            kept.append(piece)
    # Each block of objects is parsed alone, so that a text with many faults costs a few
    # parses of each block, not a parse of the whole text per fault.
    for first in range(0, len(kept), _BLOCK):
        problems += _set_aside_faults(schema, buffer, kept[first:first + _BLOCK], names, encoding)
    try:
        model = IDF.from_file(schema, io.BytesIO(bytes(buffer)), encoding)
    except IDFParseError:
        raise error from None  # a fault no object holds: the text is refused as it stands
    problems.sort(key=lambda finding: finding.line or 0)
    return model, problems


_BLOCK = 64  # objects parsed together while looking for the ones at fault


def _set_aside_faults(schema: IDD, buffer: bytearray, block: list[Piece], names: list[str],
                      encoding: str | None) -> list[Diagnostic]:
    """Blanks the objects of `block` that the parser refuses, and a finding for each."""
    from quarvel.idf import IDF, IDFParseError

    problems: list[Diagnostic] = []
    start, end, first_line = block[0].start, block[-1].end, block[0].first_line
    remaining = list(block)
    while remaining:
        try:
            IDF.from_file(schema, io.BytesIO(bytes(buffer[start:end])), encoding)
            return problems
        except IDFParseError as refused:
            line = None if refused.lineno is None else refused.lineno + first_line - 1
            at_fault = next((p for p in remaining if line is not None and p.first_line <= line <= p.last_line), None)
            if at_fault is None:
                return problems  # not an object's fault: the whole text's parse says so
            remaining.remove(at_fault)
            _blank(buffer, at_fault)
            if getattr(refused, "class_name", None) is not None:
                problems.append(_unknown_class(at_fault, names))
                continue
            message = _PARSER_PREFIX.sub("", str(refused))
            if len(message) > 1 and message[0] == message[-1] == "'":  # the tokenizer's own message, quoted
                message = message[1:-1] + "."
            problems.append(_finding(SYNTAX_ERROR, at_fault, line,
                                     message[:1].upper() + message[1:] + " The object is left out."))
    return problems
