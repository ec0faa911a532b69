"""Saving a model in the layout of the text it was read from.

A model opened with ``IDF.open(..., keep_layout=True)`` keeps that text. ``format`` and
``save`` with ``layout="original"`` then write the text back with only the edits
spliced in: an object that did not change keeps its bytes and the comment lines above
it; a changed field is rewritten in place, keeping its line's indentation and the column
of its ``!-`` comment where the new value fits; a removed object goes with its comment
lines and the blank lines before it; an added object goes after the last object of its
class (or at the end), written in the style of the object above it. With no edits the
output is the input, byte for byte.

What is kept: the bytes, and for each object read its place in the file and a
fingerprint of its values and comments, which tells at save which objects changed.
"""

from __future__ import annotations

import weakref
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from quarvel._layout import scan

if TYPE_CHECKING:
    from quarvel.idf import IDF, IDFObject


@dataclass(slots=True)
class Kept:
    data: bytes
    encoding: str
    newline: bytes
    # The objects read, in file order, held weakly: an object holds its model, which must
    # stay free to go. An id whose object is gone belongs to no object read.
    objects: list[weakref.ref[Any]]
    classes: list[str]  # the class of each, upper-cased
    lines: list[int]  # the line on which each began
    prints: list[int]  # a fingerprint of each one's values and comments
    comments: list[tuple[str, ...]]  # the comment lines that stood above each one
    index_of: dict[int, int] = field(default_factory=dict)
    starts: list[int] | None = None
    spans: dict[int, scan.Span] = field(default_factory=dict)

    def line_starts(self) -> list[int]:
        if self.starts is None:
            self.starts = scan.line_starts(self.data)
        return self.starts

    def span(self, index: int) -> scan.Span:
        """Where object `index` lies: found from its line, after the object before it."""
        found = self.spans.get(index)
        if found is None:
            start = self.line_starts()[self.lines[index] - 1]
            if index > 0 and self.lines[index - 1] == self.lines[index]:
                start = max(start, self.span(index - 1).end)
            found = self.spans[index] = scan.scan(self.data, start)
        return found


_kept: weakref.WeakKeyDictionary[Any, Kept] = weakref.WeakKeyDictionary()


def fingerprint(obj: IDFObject) -> int:
    return hash((tuple(obj.get_values()), tuple(obj.comments)))


def encoding_of(data: bytes, encoding: str | None) -> str:
    if encoding:
        return encoding
    if data.isascii():
        return "utf-8"
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return "cp1252"
    return "utf-8"


def remember(model: IDF, data: bytes, encoding: str | None = None) -> None:
    """Keep the text a model was just read from, for saves in its layout."""
    objects = list(model)
    kept = Kept(data, encoding_of(data, encoding), scan.first_line_break(data), [weakref.ref(o) for o in objects],
                [obj.class_name.upper() for obj in objects], [obj.line or 1 for obj in objects],
                [fingerprint(obj) for obj in objects],
                [tuple(obj.comments) for obj in objects])
    kept.index_of = {id(obj): i for i, obj in enumerate(objects)}
    _kept[model] = kept


def format_original(model: IDF) -> str:
    kept = _kept_of(model)
    return _render(model, kept).decode(_decoding(kept.encoding), "replace")


def save_original(model: IDF, target: Any) -> None:
    from quarvel._files import write_atomic

    write_atomic(target, _render(model, _kept_of(model)))


def _kept_of(model: IDF) -> Kept:
    kept = _kept.get(model)
    if kept is None:
        raise ValueError("this model keeps no source text to follow: open it with IDF.open(path, keep_layout=True) "
                         "to save it in its own layout")
    return kept


def _decoding(encoding: str) -> str:
    return "utf-8-sig" if encoding.replace("_", "-").lower() in ("utf-8", "utf8") else encoding


# ---- the edited text ----


def _render(model: IDF, kept: Kept) -> bytes:
    from quarvel._layout.edits import Splicer

    splicer = Splicer(model, kept)
    present = [False] * len(kept.objects)
    added: list[Any] = []
    for obj in model:
        index = kept.index_of.get(id(obj))
        if index is None or kept.objects[index]() is not obj:
            added.append(obj)
            continue
        present[index] = True
        if fingerprint(obj) != kept.prints[index]:
            splicer.rewrite(index, obj)
    for index, alive in enumerate(present):
        if not alive:
            splicer.remove(index)
    for obj in added:
        splicer.add(obj, present)
    return splicer.result()
