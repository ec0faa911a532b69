"""Where an object's parts lie in the text it was read from.

The rules are the tokenizer's: a line ends at LF, CRLF or a lone CR; '!' starts a
comment to the end of the line; ',' and ';' end a field; a value is the text between
them without the blanks (spaces and tabs) around it.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

_LINE_BREAK = re.compile(rb"\r\n|\r|\n")
BLANKS = b" \t"
BREAKS = b"\r\n"


def line_starts(data: bytes) -> list[int]:
    """The offset at which each line begins (line 1 at index 0)."""
    return [0, *(m.end() for m in _LINE_BREAK.finditer(data))]


def first_line_break(data: bytes) -> bytes:
    found = _LINE_BREAK.search(data)
    return found.group() if found else b"\n"


@dataclass(slots=True)
class Field:
    start: int  # the value's first byte (for an empty value: where its delimiter is)
    end: int  # after its last byte
    delimiter: int  # the ',' or ';' that ends it


@dataclass(slots=True)
class Span:
    """One object in the text: its fields (the class name first), where it begins and
    where its text ends: after the ';' and, when nothing but blanks or a comment
    follows on that line, after those too (the line break is not part of it)."""

    fields: list[Field]
    start: int
    tail: int

    @property
    def end(self) -> int:
        return self.fields[-1].delimiter + 1


def line_end(data: bytes, pos: int) -> int:
    """Where the line holding `pos` ends (at its line break, or the end of the text)."""
    ends = [i for i in (data.find(b"\n", pos), data.find(b"\r", pos)) if i >= 0]
    return min(ends) if ends else len(data)


def scan(data: bytes, pos: int) -> Span:
    """The object whose class name is the first token at or after `pos`."""
    fields: list[Field] = []
    size = len(data)
    value_start = value_end = -1
    begin = -1
    while pos < size:
        byte = data[pos]
        if byte in BLANKS or byte in BREAKS:
            pos += 1
        elif byte == 0x21:  # '!'
            pos = line_end(data, pos)
        elif byte == 0x2C or byte == 0x3B:  # ',' ';'
            if value_start < 0:
                value_start = value_end = pos
            fields.append(Field(value_start, value_end, pos))
            value_start = value_end = -1
            pos += 1
            if byte == 0x3B:
                return Span(fields, begin if begin >= 0 else fields[0].start, _tail(data, pos))
        else:
            if begin < 0:
                begin = pos
            if value_start < 0:
                value_start = pos
            value_end = pos + 1
            pos += 1
    raise ValueError("the kept text ends inside an object: it is not the text this model was read from")


def _tail(data: bytes, pos: int) -> int:
    end = line_end(data, pos)
    rest = data[pos:end]
    bang = rest.find(b"!")
    code = rest if bang < 0 else rest[:bang]
    return end if not code.strip(BLANKS) else pos


def comment_lines_above(data: bytes, starts: list[int], line: int, count: int, floor: int) -> int:
    """Where the `count` comment lines that stand above line `line` (1-based) begin, not
    looking above offset `floor`; the start of `line` itself when `count` is 0."""
    begin = starts[line - 1]
    seen = 0
    index = line - 2
    while seen < count and index >= 0 and starts[index] >= floor:
        text = data[starts[index]:starts[index + 1]].strip(BLANKS + BREAKS)
        if text.startswith(b"!") and not text.startswith(b"!-"):
            seen += 1
            begin = starts[index]
        elif text:
            break
        index -= 1
    return begin


def values_of(text: str) -> list[str]:
    """The values of one object in IDF text (the library's own writing of it), the
    class name first."""
    code = "".join(line.split("!", 1)[0] for line in text.splitlines(keepends=True))
    body = code.split(";", 1)[0]
    return [part.strip(" \t\r\n") for part in body.split(",")]
