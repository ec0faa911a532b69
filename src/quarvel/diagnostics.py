"""Findings of model validation (``IDF.validate``) and the rules that make them.

The rules read what the schema states, where windows and doors lie, and what output
requests name; see ``RULES`` for the codes. Node names and fields that refer to
external lists are not checked.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, NamedTuple

if TYPE_CHECKING:
    from quarvel.idf import IDFObject


class Rule(NamedTuple):
    code: str
    rule: str
    severity: str
    summary: str


def rules() -> tuple[Rule, ...]:
    """Every rule: its code, name, severity and a one-line summary, in code order: those
    of the load (a file that does not parse), of the schema, and of the model's geometry,
    outputs and node connections."""
    from quarvel import _lenient, _output_rules, _polygon_rules, _subsurface_rules
    from quarvel.hvac import checks
    from quarvel.idf import VALIDATION_RULES

    every = [Rule(*row) for row in VALIDATION_RULES]
    every += [*_lenient.RULES, *_subsurface_rules.RULES, *_polygon_rules.RULES, *_output_rules.RULES, *checks.RULES]
    return tuple(sorted(every, key=lambda rule: rule.code[1:]))


@dataclass(frozen=True, slots=True)
class Diagnostic:
    """One finding: what is wrong, where, and how bad.

    ``object`` is the object at fault (``None`` for a finding about the model as a whole,
    such as a missing required object); ``line`` is the line on which it began in the
    text it was loaded from (``None`` when unknown); ``field_index`` and ``field_name``
    name the field (``None`` when the finding is about the whole object).
    """

    code: str
    rule: str
    severity: str
    class_name: str
    object_name: str | None
    object: IDFObject | None = field(repr=False, compare=False)
    field_index: int | None
    field_name: str | None
    line: int | None
    message: str

    @property
    def is_error(self) -> bool:
        return self.severity == "error"

    @property
    def subject(self) -> str:
        """The object and field at fault, as reports name them: Zone 'Office', Multiplier."""
        where = f"{self.class_name} '{self.object_name}'" if self.object_name else self.class_name
        return f"{where}, {self.field_name}" if self.field_name else where

    def located(self, file: str | None = None) -> str:
        """One line: where (file:line, or the line alone), code, rule, subject, message."""
        place = ":".join(str(p) for p in (file, self.line) if p is not None)
        return f"{place + ': ' if place else ''}{self.code} {self.rule}: {self.subject}: {self.message}"

    def __str__(self) -> str:
        return self.located()


def __getattr__(name: str) -> object:
    if name == "RULES":
        return rules()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
