"""The quarvel.olvane module as the Python members see it: its native hooks, bound at
install (the module is still being imported then, so it is handed over, not imported)."""

from __future__ import annotations

from typing import Any

olvane: Any = None  # quarvel.olvane, set by install()


def core_of(obj: Any) -> Any:
    """The core model of a facade or the core object of a wrapper; an orderly error when
    there is none (a facade or wrapper made without its constructor)."""
    core = olvane._core_of(obj)
    if core is None:
        if isinstance(obj, olvane.IDF):
            raise AttributeError(f"this {type(obj).__name__} holds no model: it was made without opening one")
        raise AttributeError(f"this {type(obj).__name__} wraps no object (it was not made by a model)")
    return core


def wrap(core_obj: Any) -> Any:
    return olvane._wrap(core_obj)


def count_error(name: str, kind: str, count: int, given: int) -> TypeError:
    """The interpreter's wording of a wrong argument count, as the native methods give it."""
    plural = "" if count == 1 else "s"
    return TypeError(f"{name}() takes {kind} {count} positional argument{plural} ({given} given)")
