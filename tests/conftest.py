"""Shared fixtures; the invariant checker lives in invariants.py."""

from __future__ import annotations

from pathlib import Path

import pytest

from quarvel.idd import IDD
from quarvel.idf import IDF

from .invariants import check_invariants, model_state, object_state  # noqa: F401  (shared with the tests)

DATA = Path(__file__).parent / "data"


@pytest.fixture(scope="session")
def idd() -> IDD:
    return IDD.from_file(DATA / "test.idd")


@pytest.fixture
def load(idd):
    """Load IDF text against the test schema."""

    def _load(text: str) -> IDF:
        return IDF.from_string(idd, text)

    return _load


