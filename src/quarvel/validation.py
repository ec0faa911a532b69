"""``IDF.validate``: the schema's rules (native, without the interpreter lock) and the rules
written in Python (subsurfaces on their base surfaces, output keys, node connections), one list of findings
in the order of the model.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

from quarvel import _output_rules, _polygon_rules, _subsurface_rules
from quarvel._check_memo import one_check
from quarvel.diagnostics import Diagnostic, Rule, rules
from quarvel.hvac import checks as _node_rules

if TYPE_CHECKING:
    from quarvel.idf import IDF, IDFObject

PYTHON_RULES = (_subsurface_rules, _polygon_rules, _output_rules, _node_rules)
REQUIRED_OBJECT = "E302"


def rule_codes(names: Any, argument: str) -> set[str]:
    """The codes of the rules named by `names` (None: every rule; one str; an iterable of
    str), by code or rule name in any letter case."""
    from quarvel._suggest import closest, with_suggestions

    table = rules()
    if names is None:
        return {rule.code for rule in table}
    items = [names] if isinstance(names, str) else list(names)
    codes: set[str] = set()
    for item in items:
        if not isinstance(item, str):
            raise TypeError(f"{argument} must hold rule names or codes (str), not {type(item).__name__}")
        found = {rule.code for rule in table if item.lower() in (rule.code.lower(), rule.rule)}
        if not found:
            raise with_suggestions(ValueError(f"{argument} names no validation rule: {item!r}"),
                                   closest(item, sorted({r.code for r in table} | {r.rule for r in table})))
        codes |= found
    return codes


def is_fragment(model: IDF) -> bool:
    """A model without a Version object, against a schema that has the class: a library
    file, whose required objects come from the model that includes it."""
    idd = model.idd
    if idd is None or "Version" in model:
        return False
    try:
        idd.class_info("Version")
    except KeyError:
        return False
    return True


def _object_name(obj: IDFObject) -> str | None:
    idd = obj.idd
    values = obj.get_values()
    if idd is None or not values or values[0] in (None, ""):
        return None
    first = idd.field_name(obj.class_name, 0, False)
    return str(values[0]) if first.endswith("Name") else None


def diagnostic(rule: Rule, obj: Any, message: str) -> Diagnostic:
    """A finding of a Python rule about one object."""
    return Diagnostic(rule.code, rule.rule, rule.severity, obj.class_name, _object_name(obj), obj, None, None,
                      obj.line, message)


def in_model_order(model: IDF, findings: list[Diagnostic]) -> list[Diagnostic]:
    """The findings sorted as the native rules sort theirs: the model's own first, then by
    the object's position and the field (stable within)."""
    positions = {id(obj): i for i, obj in enumerate(model)}

    def key(finding: Diagnostic) -> tuple[int, int]:
        place = 0 if finding.object is None else 1 + positions.get(id(finding.object), len(positions))
        return place, -1 if finding.field_index is None else finding.field_index

    return sorted(findings, key=key)


def validate(model: IDF, select: str | Iterable[str] | None = None, ignore: str | Iterable[str] | None = None,
             fragment: bool | None = None) -> list[Diagnostic]:
    if fragment is not None and not isinstance(fragment, bool):
        raise TypeError(f"fragment must be True, False or None, not {type(fragment).__name__}")
    enabled = rule_codes(select, "select")
    if ignore is not None:
        enabled -= rule_codes(ignore, "ignore")
    if fragment is None:
        fragment = is_fragment(model)
    if fragment:
        enabled.discard(REQUIRED_OBJECT)
    from quarvel.idf import VALIDATION_RULES

    native = [code for code, *_ in VALIDATION_RULES if code in enabled]
    findings = model._validate(select=native) if native else []
    if model.idd is None:
        return findings
    with one_check():
        extra = [f for module in PYTHON_RULES for f in module.findings(model, enabled, diagnostic)]
    return in_model_order(model, findings + extra) if extra else findings
