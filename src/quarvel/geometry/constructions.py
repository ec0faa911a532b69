"""Constructions seen from the other side: the same layers in the reverse order."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from quarvel.idf import IDF


def _layers(model: IDF, name: str) -> list[str] | None:
    construction = model.get_object_by_name("Construction", name) if "Construction" in model else None
    if construction is None:
        return None
    return [str(v) for v in construction.get_values()[1:] if v not in (None, "")]


def mirror(model: IDF, name: str, mirrors: dict[str, str], new: dict[str, list[Any]]) -> str:
    """The construction whose layers are `name`'s reversed: itself when symmetric, else
    one the model has, else a new one."""
    if name.upper() in mirrors:
        return mirrors[name.upper()]
    layers = _layers(model, name)
    if layers is None or layers == layers[::-1]:
        mirrors[name.upper()] = name
        return name
    wanted = [layer.upper() for layer in reversed(layers)]
    for other in model["Construction"]:
        if [str(v).upper() for v in other.get_values()[1:] if v not in (None, "")] == wanted:
            mirrors[name.upper()] = str(other[0])
            return str(other[0])
    new_name = f"{name} Reversed"
    while model.get_object_by_name("Construction", new_name) is not None or new_name in new:
        new_name += " 2"
    new[new_name] = list(reversed(layers))
    mirrors[name.upper()] = new_name
    return new_name
