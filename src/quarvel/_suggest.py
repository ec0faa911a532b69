""""Did you mean" for the package's Python modules, worded and measured as the native
modules' messages are."""

from __future__ import annotations

from collections.abc import Iterable


def closest(word: str, candidates: Iterable[str]) -> list[str]:
    """The candidates nearest to a misspelt word (any letter case); [] when none is near."""
    from quarvel.utils import _closest_names

    return _closest_names(word, list(candidates))


def did_you_mean(names: list[str]) -> str:
    """"Did you mean 'A'?", "Did you mean 'A' or 'B'?", "Did you mean 'A', 'B' or 'C'?"; '' for none."""
    if not names:
        return ""
    quoted = [f"'{name}'" for name in names]
    listed = quoted[0] if len(quoted) == 1 else ", ".join(quoted[:-1]) + " or " + quoted[-1]
    return f"Did you mean {listed}?"


def with_suggestions(error: BaseException, names: list[str]) -> BaseException:
    """`error` with `suggestions` set and, when there are any, a note naming them."""
    error.suggestions = tuple(names)  # type: ignore[attr-defined]
    if names:
        error.add_note(did_you_mean(names))
    return error
