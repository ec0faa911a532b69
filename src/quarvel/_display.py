"""What a model, an object or a tuple of objects shows in a notebook or the REPL.

``repr(model)`` is the whole IDF text, which floods a notebook cell for a real model;
these give a short summary and compact HTML tables instead.
"""

from __future__ import annotations

from html import escape
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from quarvel.idf import IDF, IDFObject

_MOST_ROWS = 60  # rows an object table shows before "... n more"


def class_counts(model: IDF) -> list[tuple[str, int]]:
    """The classes that have objects and how many each, in schema order (from the class
    index: no walk over the objects)."""
    counts = {name: len(model[name]) for name in model.get_class_names()}
    order = {name: i for i, name in enumerate(model.idd.class_names())} if model.idd is not None else {}
    return sorted(counts.items(), key=lambda item: order.get(item[0], len(order)))


def _version(model: IDF) -> str | None:
    versions = model["Version"] if "Version" in model else ()
    return str(versions[0][0]) if versions else None


def model_summary(model: IDF) -> str:
    counts = class_counts(model)
    version = _version(model)
    head = f"IDF model: {len(model)} objects in {len(counts)} classes"
    if version:
        head += f", version {version}"
    width = max((len(name) for name, _ in counts), default=0)
    return "\n".join([head, *(f"  {name:<{width}}  {n}" for name, n in counts)])


def model_html(model: IDF) -> str:
    counts = class_counts(model)
    version = _version(model)
    caption = f"IDF model: {len(model)} objects in {len(counts)} classes" + (f", version {escape(version)}"
                                                                             if version else "")
    rows = "".join(f"<tr><td>{escape(name)}</td><td style='text-align:right'>{n}</td></tr>" for name, n in counts)
    return (f"<table><caption>{caption}</caption><thead><tr><th>class</th><th>objects</th></tr></thead>"
            f"<tbody>{rows}</tbody></table>")


def _field_rows(obj: IDFObject) -> list[tuple[str, Any]]:
    idd = obj.idd
    values = obj.get_values()
    return [(idd.field_name(obj.class_name, i) if idd is not None else str(i), value) for i, value in enumerate(values)]


def object_html(obj: IDFObject) -> str:
    rows = _field_rows(obj)
    shown = rows[:_MOST_ROWS]
    body = "".join(f"<tr><td>{escape(name)}</td><td>{escape(_text(value))}</td></tr>" for name, value in shown)
    if len(rows) > len(shown):
        body += f"<tr><td colspan='2'>... {len(rows) - len(shown)} more fields</td></tr>"
    return (f"<table><caption>{escape(obj.class_name)}</caption><thead><tr><th>field</th><th>value</th></tr>"
            f"</thead><tbody>{body}</tbody></table>")


def objects_html(objects: tuple[IDFObject, ...]) -> str:
    shown = objects[:_MOST_ROWS]
    width = max((len(obj.get_values()) for obj in shown), default=0)
    columns = min(width, 8)
    body = ""
    for obj in shown:
        values = obj.get_values()[:columns]
        cells = "".join(f"<td>{escape(_text(v))}</td>" for v in values)
        body += f"<tr><td>{escape(obj.class_name)}</td>{cells}</tr>"
    if len(objects) > len(shown):
        body += f"<tr><td colspan='{columns + 1}'>... {len(objects) - len(shown)} more objects</td></tr>"
    heads = "".join(f"<th>{escape(label)}</th>" for label in _column_labels(shown, columns))
    return (f"<table><caption>{len(objects)} object{'s' if len(objects) != 1 else ''}</caption><thead><tr><th>class</th>{heads}</tr></thead>"
            f"<tbody>{body}</tbody></table>")


def _column_labels(objects: tuple[IDFObject, ...], columns: int) -> list[str]:
    """Field names with their units when the objects share one class; else the field numbers."""
    classes = {obj.class_name.upper() for obj in objects}
    idd = objects[0].idd if objects else None
    if len(classes) != 1 or idd is None:
        return [str(i) for i in range(columns)]
    return [idd.field_name(objects[0].class_name, i) for i in range(columns)]


_MOST_NAMES = 5  # names a class's display lists


def model_pretty(model: IDF, printer: Any, cycle: bool) -> None:
    """IPython's display of a model: the summary and the file, not the whole text."""
    if cycle:
        printer.text("IDF(...)")
        return
    lines = model_summary(model).split("\n")
    schema = model.idd.version if model.idd is not None else None
    if schema:
        lines[0] += f"; schema {schema}"
    from quarvel.opening import source_of

    source = source_of(model)
    if source:
        lines.insert(1, f"  file: {source}")
    printer.text("\n".join(lines))


def objects_pretty(objects: tuple[IDFObject, ...], printer: Any, cycle: bool) -> None:
    """IPython's display of a class's objects: the class, how many, and the first names."""
    class_name = getattr(objects, "class_name", None) or (objects[0].class_name if objects else "")
    names = []
    for obj in objects[:_MOST_NAMES]:
        values = obj.get_values()
        names.append(repr(values[0]) if values and values[0] not in (None, "") else "<unnamed>")
    more = ", ..." if len(objects) > _MOST_NAMES else ""
    shown = f": {', '.join(names)}{more}" if names else ""
    what = f"{class_name} object" if class_name else "object"
    printer.text(f"{len(objects)} {what}{'s' if len(objects) != 1 else ''}{shown}")


def _text(value: Any) -> str:
    return "" if value is None else str(value)
