"""A class's objects as a table: ``model.to_records(class_name)``, ``model.to_frame(class_name)``.

Columns are the fields the class lists, then the numbered fields of its repeating group
as far as the longest object has them. Values are converted as ``obj[i]`` converts them;
a field an object does not have is ``None``. pandas is needed for frames only (the
``quarvel[pandas]`` extra).
"""

from __future__ import annotations

import csv
import io
import json
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from quarvel.idd import IDD
    from quarvel.idf import IDF, IDFObject

Value = str | int | float | None


class Columns:
    """The columns of one class's table: field names, optionally with units."""

    def __init__(self, idd: IDD | None, class_name: str, objects: tuple[IDFObject, ...] | list[IDFObject]) -> None:
        self._idd = idd
        if idd is None:  # a model without a schema holds no objects
            self.count, self.class_name, self.named = 0, class_name, False
            return
        info = idd.class_info(class_name)  # KeyError for a class the schema lacks
        group = info["extensible"]
        listed = len(info["fields"])
        if group:
            # Every listed field before the group; the group's fields as far as objects have them.
            base, size = group["begin_index"], group["size"]
            longest = max((len(obj) for obj in objects), default=0)
            extra = max(0, longest - base)
            self.count = base + -(-extra // size) * size
        else:
            self.count = listed  # values beyond them (a finding of validation) are left out
        self.class_name = info["name"]
        self.named = bool(info["fields"]) and _is_named(idd, info["name"])

    def names(self, units: bool = False) -> list[str]:
        if self._idd is None:
            return []
        return [self._idd.field_name(self.class_name, i, units=units) for i in range(self.count)]


def _is_named(idd: IDD, class_name: str) -> bool:
    first = idd.field_info(class_name, 0)
    return first["name"] == "Name" or bool(first["references"])


def _rows(objects: tuple[IDFObject, ...] | list[IDFObject], width: int) -> list[list[Value]]:
    rows = []
    for obj in objects:
        values = obj.get_values()[:width]
        rows.append(values + [None] * (width - len(values)))
    return rows


def _table(model: IDF, class_name: str) -> tuple[Columns, list[list[Value]]]:
    """The columns and rows of a class; KeyError for a class the schema lacks."""
    objects = model[class_name]
    columns = Columns(model.idd, class_name, objects)
    return columns, _rows(objects, columns.count)


def to_records(model: IDF, class_name: str) -> list[dict[str, Value]]:
    """One dict per object of the class, in class order, keyed by field name."""
    columns, rows = _table(model, class_name)
    names = columns.names()
    return [dict(zip(names, row)) for row in rows]


def to_frame(model: IDF, class_name: str) -> Any:
    """A pandas DataFrame: one row per object, one column per field; named classes are
    indexed by name."""
    try:
        import pandas  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise ImportError("to_frame needs pandas: install it with pip install 'quarvel[pandas]'") from None
    columns, rows = _table(model, class_name)
    names = columns.names()
    frame = pandas.DataFrame.from_records(rows, columns=names) if rows else pandas.DataFrame(columns=names)
    if columns.named:
        frame = frame.set_index(names[0])
    return frame


def _text(value: Value) -> str:
    return "" if value is None else str(value)


def as_csv(model: IDF, class_name: str) -> str:
    """The table as CSV; the header names each field with its units (``Ceiling Height {m}``)."""
    columns, rows = _table(model, class_name)
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(columns.names(units=True))
    writer.writerows([_text(v) for v in row] for row in rows)
    return out.getvalue()


def as_json(model: IDF, class_name: str) -> str:
    return json.dumps(to_records(model, class_name), indent=2)


def as_text(model: IDF, class_name: str) -> str:
    """The table aligned in columns, for a terminal."""
    columns, rows = _table(model, class_name)
    header = columns.names(units=True)
    cells = [header, *([_text(v) for v in row] for row in rows)]
    widths = [max(len(line[i]) for line in cells) for i in range(len(header))]
    return "\n".join("  ".join(cell.ljust(width) for cell, width in zip(line, widths)).rstrip() for line in cells)
