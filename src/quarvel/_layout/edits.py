"""The edits of a model as splices of the text it was read from."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from quarvel._layout import scan

if TYPE_CHECKING:
    from quarvel._layout import Kept


@dataclass(slots=True)
class Splice:
    start: int
    end: int
    text: bytes
    order: int


@dataclass(slots=True)
class Style:
    """How an object is laid out: the indentation of its class line, of its field
    lines (None: all on one line) and the column of its `!-` comments (None: none)."""

    class_indent: bytes = b""
    field_indent: bytes | None = b"    "
    comment_column: int | None = 29


def _written(obj: Any) -> list[tuple[str, str | None]]:
    """(value, `!-` comment) of each field as the library writes the object, the class
    name first (its comment None)."""
    text = repr(obj)
    lines = [line for line in text.splitlines() if line.strip()]
    if len(lines) == 1:
        return [(value, None) for value in scan.values_of(text)]
    out: list[tuple[str, str | None]] = [(lines[0].strip().rstrip(","), None)]
    for line in lines[1:]:
        code, _, comment = line.partition("!-")
        out.append((code.strip().rstrip(",;").strip(), comment.strip() or None))
    return out


class Splicer:
    def __init__(self, model: Any, kept: Kept) -> None:
        self.model = model
        self.kept = kept
        self.data = kept.data
        self.splices: list[Splice] = []

    def _add(self, start: int, end: int, text: bytes) -> None:
        self.splices.append(Splice(start, end, text, len(self.splices)))

    def _encode(self, text: str) -> bytes:
        try:
            return text.encode(self.kept.encoding)
        except UnicodeEncodeError as exc:
            raise ValueError(f"{text!r} cannot be written in the file's own encoding ({self.kept.encoding}): save it "
                             "in the library's layout (UTF-8) instead") from exc

    # ---- a changed object: its fields in place ----

    def rewrite(self, index: int, obj: Any) -> None:
        span = self.kept.span(index)
        written = _written(obj)
        values = [value for value, _ in written]
        old = [self.data[f.start:f.end].decode(self.kept.encoding, "replace") for f in span.fields]
        values += [""] * (len(old) - len(values))
        for k in range(1, len(old)):
            if values[k] != old[k]:
                self._replace_value(span.fields[k], self._encode(values[k]))
        if len(values) > len(old):
            self._append_fields(span, written[len(old):], values[len(old):])
        self._rewrite_comments(index, obj)

    def _replace_value(self, f: scan.Field, new: bytes) -> None:
        self._add(f.start, f.end, new)
        after = f.delimiter + 1
        line_end = scan.line_end(self.data, after)
        rest = self.data[after:line_end]
        padding = len(rest) - len(rest.lstrip(scan.BLANKS))
        if rest[padding:padding + 2] == b"!-":
            wanted = max(1, padding - (len(new) - (f.end - f.start)))
            self._add(after, after + padding, b" " * wanted)

    def _append_fields(self, span: scan.Span, written: list[tuple[str, str | None]], values: list[str]) -> None:
        last = span.fields[-1]
        style = self.style_of(span, len(span.fields) - 1)
        if style.field_indent is None:
            self._add(last.delimiter, last.delimiter + 1, self._encode("," + ",".join(values) + ";"))
            return
        self._add(last.delimiter, last.delimiter + 1, b",")
        lines = [self._field_line(style, value, comment, k == len(values) - 1)
                 for k, (value, (_, comment)) in enumerate(zip(values, written, strict=True))]
        self._add(span.tail, span.tail, b"".join(self.kept.newline + line for line in lines))

    def _field_line(self, style: Style, value: str, comment: str | None, last: bool) -> bytes:
        line = (style.field_indent or b"") + self._encode(value + (";" if last else ","))
        if style.comment_column is not None and comment:
            line += b" " * max(1, style.comment_column - len(line)) + self._encode("!- " + comment)
        return line

    def _rewrite_comments(self, index: int, obj: Any) -> None:
        kept = self.kept
        now = tuple(obj.comments)
        if now == kept.comments[index]:
            return
        if index > 0 and kept.lines[index - 1] == kept.lines[index]:
            return  # it shares its line with the object before it: nowhere to put lines
        starts = kept.line_starts()
        line_start = starts[kept.lines[index] - 1]
        floor = self.kept.span(index - 1).tail if index > 0 else 0
        begin = scan.comment_lines_above(self.data, starts, kept.lines[index], len(kept.comments[index]), floor)
        self._add(begin, line_start, b"".join(self._encode("!" + text) + kept.newline for text in now))

    # ---- a removed object, with its comment lines ----

    def remove(self, index: int) -> None:
        kept = self.kept
        span = kept.span(index)
        if index > 0:
            self._add(kept.span(index - 1).tail, span.tail, b"")
            return
        starts = kept.line_starts()
        begin = scan.comment_lines_above(self.data, starts, kept.lines[0], len(kept.comments[0]), 0)
        if begin == 0 and self.data.startswith(b"\xef\xbb\xbf"):
            begin = 3
        self._add(begin, self._after_blank_lines(span.tail), b"")

    def _after_blank_lines(self, pos: int) -> int:
        """After the line break at `pos` and the blank lines that follow it."""
        data = self.data
        pos += 2 if data[pos:pos + 2] == b"\r\n" else 1 if data[pos:pos + 1] in (b"\r", b"\n") else 0
        while pos < len(data):
            end = scan.line_end(data, pos)
            if data[pos:end].strip(scan.BLANKS):
                break
            pos = end + (2 if data[end:end + 2] == b"\r\n" else 1)
        return min(pos, len(data))

    # ---- an added object, after the last one of its class ----

    def add(self, obj: Any, present: list[bool]) -> None:
        kept = self.kept
        wanted = obj.class_name.upper()
        anchor = next((i for i in range(len(kept.objects) - 1, -1, -1) if present[i] and kept.classes[i] == wanted),
                      None)
        above = anchor if anchor is not None else next((i for i in range(len(kept.objects) - 1, -1, -1) if present[i]),
                                                       None)
        style = self.style_of(kept.span(above)) if above is not None else Style()
        text = self._object_text(obj, style)
        newline = kept.newline
        if anchor is not None:
            tail = kept.span(anchor).tail
            gap = newline if self._blank_line_follows(tail) else b""
            self._add(tail, tail, newline + gap + text)
            return
        end = len(self.data)
        if not self.data:
            self._add(end, end, text + newline)
        elif self.data.endswith((b"\n", b"\r")):
            self._add(end, end, newline + text + newline)
        else:
            self._add(end, end, newline + newline + text)

    def _blank_line_follows(self, pos: int) -> bool:
        data = self.data
        after = pos + (2 if data[pos:pos + 2] == b"\r\n" else 1)
        if after >= len(data):
            return False
        return not data[after:scan.line_end(data, after)].strip(scan.BLANKS)

    def _object_text(self, obj: Any, style: Style) -> bytes:
        written = _written(obj)
        newline = self.kept.newline
        comments = b"".join(style.class_indent + self._encode("!" + c) + newline for c in obj.comments)
        if style.field_indent is None or len(written) == 1:
            return comments + style.class_indent + self._encode(",".join(v for v, _ in written) + ";")
        lines = [style.class_indent + self._encode(written[0][0] + ",")]
        lines += [self._field_line(style, value, comment, k == len(written) - 1)
                  for k, (value, comment) in enumerate(written) if k > 0]
        return comments + newline.join(lines)

    def style_of(self, span: scan.Span, field: int = 1) -> Style:
        """The style of an object, its field lines as the line of `field` is laid out."""
        data = self.data
        line_start = max(data.rfind(b"\n", 0, span.start), data.rfind(b"\r", 0, span.start)) + 1
        indent = data[line_start:span.start]
        class_indent = indent if not indent.strip(scan.BLANKS) else b""
        if len(span.fields) < 2 or not any(c in data[span.start:span.end] for c in (b"\n", b"\r")):
            return Style(class_indent, None, None)
        first = span.fields[min(field, len(span.fields) - 1)]
        field_line = max(data.rfind(b"\n", 0, first.start), data.rfind(b"\r", 0, first.start)) + 1
        field_indent = data[field_line:first.start]
        if field_indent.strip(scan.BLANKS):
            return Style(class_indent, None, None)
        line_end = scan.line_end(data, first.delimiter)
        bang = data.find(b"!-", first.delimiter, line_end)
        return Style(class_indent, field_indent, bang - field_line if bang >= 0 else None)

    # ---- the text with every splice made ----

    def result(self) -> bytes:
        data = self.data
        pieces: list[bytes] = []
        pos = 0
        # Insertions at a place go before what is taken away from there, in their order.
        for splice in sorted(self.splices, key=lambda s: (s.start, s.end != s.start, s.order)):
            if splice.start < pos:
                if splice.text or splice.end < splice.start:
                    raise RuntimeError("edits of the kept text overlap")
                pos = max(pos, splice.end)
                continue
            pieces.append(data[pos:splice.start])
            pieces.append(splice.text)
            pos = max(pos, splice.end)
        pieces.append(data[pos:])
        return b"".join(pieces)

