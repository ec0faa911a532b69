"""What the rules of one check of a model share: the model does not change while they
run, so a result that several rules need (the placed surfaces) is made once. Outside a
check nothing is kept."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from typing import Any, TypeVar

T = TypeVar("T")
_MEMO: ContextVar[dict[Any, Any] | None] = ContextVar("check_memo", default=None)


@contextmanager
def one_check() -> Iterator[None]:
    token = _MEMO.set({})
    try:
        yield
    finally:
        _MEMO.reset(token)


def shared(key: Any, make: Callable[[], T]) -> T:
    """`make()`, or what it gave before in this check."""
    memo = _MEMO.get()
    if memo is None:
        return make()
    if key not in memo:
        memo[key] = make()
    return memo[key]  # type: ignore[no-any-return]
