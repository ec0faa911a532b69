"""The rule on output requests: an ``Output:Variable`` key, or the zone of an
``Output:Meter`` key (``...:Zone:NAME``), that names nothing in the model reports nothing.

A key is known when it is ``*``, the environment's (``Environment``), a pattern, or the
value of any field of any object in any letter case: keys name objects, nodes and the
parts of objects that the engine reports on, all of which the model spells somewhere.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING

from quarvel.diagnostics import Diagnostic, Rule

if TYPE_CHECKING:
    from quarvel.idf import IDF, IDFObject

UNKNOWN_KEY = Rule("W307", "unknown-output-key", "warning",
                   "an output request whose key (or meter zone) names nothing in the model")
RULES = (UNKNOWN_KEY,)

VARIABLE_CLASS = "Output:Variable"
METER_CLASSES = ("Output:Meter", "Output:Meter:MeterFileOnly", "Output:Meter:Cumulative",
                 "Output:Meter:Cumulative:MeterFileOnly")
ANY_KEYS = {"", "*", "ENVIRONMENT"}
_PATTERN = re.compile(r"[.*+?^$|()\[\]{}\\]")
_METER_ZONE = re.compile(r":Zone:(.+)$", re.IGNORECASE)

Make = Callable[[Rule, object, str], Diagnostic]


def requests(model: IDF) -> Iterator[tuple[IDFObject, str, str]]:
    """(object, key, what the key must name) of each output request with a specific key."""
    if VARIABLE_CLASS in model:
        for obj in model[VARIABLE_CLASS]:
            key = str(obj[0] or "").strip()
            if key.upper() not in ANY_KEYS and not _PATTERN.search(key):
                yield obj, key, "key"
    for class_name in METER_CLASSES:
        if class_name not in model:
            continue
        for obj in model[class_name]:
            zone = _METER_ZONE.search(str(obj[0] or "").strip())
            if zone and not _PATTERN.search(zone.group(1)):
                yield obj, zone.group(1).strip(), "zone"


def _spelled_names(model: IDF) -> str:
    """Every text value of the model's objects (output requests aside), upper-cased, each
    between line breaks (which no value holds): one search of it answers whether any field
    spells a key."""
    requesting = {VARIABLE_CLASS.upper(), *(name.upper() for name in METER_CLASSES)}
    texts = [value for obj in model if obj.class_name.upper() not in requesting  # a key is no evidence of itself
             for value in obj.get_values() if type(value) is str]
    return "\n" + "\n".join(texts).upper() + "\n"


def zone_names(model: IDF) -> set[str]:
    return {str(zone[0]).upper() for zone in model["Zone"]} if "Zone" in model else set()


def findings(model: IDF, enabled: set[str], make: Make) -> list[Diagnostic]:
    if UNKNOWN_KEY.code not in enabled:
        return []
    wanted = list(requests(model))
    if not wanted:
        return []
    known: str | None = None
    zones = zone_names(model)
    out = []
    for obj, key, kind in wanted:
        if kind == "zone":
            if key.upper() not in zones:
                out.append(make(UNKNOWN_KEY, obj, f"The meter is for zone '{key}', which the model does not have."))
            continue
        known = _spelled_names(model) if known is None else known
        if f"\n{key.upper()}\n" not in known:
            out.append(make(UNKNOWN_KEY, obj, f"The key '{key}' names nothing in the model; the request reports nothing."))
    return out
