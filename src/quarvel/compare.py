"""What changed between two models: ``quarvel.diff(a, b)`` or ``a.diff(b)``.

Objects of a named class match by class and name without regard to letter case;
objects of other classes (``Version``, ``Timestep``, ``Output:Variable``...) by equal
content first, then by their order within the class. Numbers compare as numbers within
``rel_tol`` (``0.10`` equals ``0.1``), choices without regard to letter case, and a
blank equals a missing trailing field; other text compares exactly.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from quarvel.idf import IDF, IDFObject

_SHOWN_VALUES = 4  # values that identify an unnamed object in a report


@dataclass(frozen=True, slots=True)
class Change:
    """One difference: an object only in the first model (``kind == "removed"``), only
    in the second (``"added"``), or a field of an object both have (``"changed"``).

    ``old`` and ``new`` are the field's text in each model ("" when blank or missing),
    and ``None`` for a whole object; ``old_object`` and ``new_object`` are the objects.
    """

    kind: str
    class_name: str
    name: str | None
    field_index: int | None
    field_name: str | None
    old: str | None
    new: str | None
    old_object: IDFObject | None = field(default=None, repr=False, compare=False)
    new_object: IDFObject | None = field(default=None, repr=False, compare=False)

    @property
    def where(self) -> str:
        """The object, as a report names it: class and name, or class and first values."""
        if self.name is not None:
            return f"{self.class_name} '{self.name}'"
        obj = self.old_object if self.old_object is not None else self.new_object
        if obj is None or self.kind == "changed":
            return self.class_name
        values = [str(v) for v in obj.get_values()[:_SHOWN_VALUES]]
        more = ", ..." if len(obj) > _SHOWN_VALUES else ""
        return f"{self.class_name} [{', '.join(values)}{more}]"

    def __str__(self) -> str:
        if self.kind != "changed":
            return f"{self.where}: {self.kind}"
        label = self.field_name or f"field {self.field_index}"
        return f"{self.where}, {label}: {_shown(self.old)} -> {_shown(self.new)}"

    def to_dict(self) -> dict[str, Any]:
        """The change as plain data (for JSON), with the line of each object when known."""
        return {
            "kind": self.kind,
            "class_name": self.class_name,
            "name": self.name,
            "field_index": self.field_index,
            "field_name": self.field_name,
            "old": self.old,
            "new": self.new,
            "old_line": self.old_object.line if self.old_object is not None else None,
            "new_line": self.new_object.line if self.new_object is not None else None,
        }


def _shown(text: str | None) -> str:
    return "(blank)" if not text else text


def diff(a: IDF, b: IDF, rel_tol: float = 1e-9) -> list[Change]:
    """The changes from model ``a`` to model ``b``, class by class in schema order."""
    return a.diff(b, rel_tol=rel_tol)


def summary(changes: list[Change]) -> str:
    """One line: how many objects were removed and added and how many fields changed."""
    counts = {kind: 0 for kind in ("removed", "added", "changed")}
    for change in changes:
        counts[change.kind] += 1
    if not changes:
        return "no changes"
    objects = "object" if counts["removed"] == 1 else "objects"
    fields = "field" if counts["changed"] == 1 else "fields"
    return f"{counts['removed']} {objects} removed, {counts['added']} added, {counts['changed']} {fields} changed"
