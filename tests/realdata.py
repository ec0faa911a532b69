"""The engine's real schema, models and library files, when the shared folder is here."""

from __future__ import annotations

from pathlib import Path

import pytest

REAL = Path(__file__).parent.parent.parent / "shared" / "real-data"
needs_real_data = pytest.mark.skipif(not REAL.is_dir(), reason="the shared real data is not here")
REAL_SCHEMA = REAL / "schema-25.2.idd"
REAL_MODELS = sorted((REAL / "models").glob("*.idf"))
REAL_DATASETS = sorted((REAL / "datasets").glob("*.idf"))
