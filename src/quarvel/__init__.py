"""Quarvel: read, query, edit and write IDF building-energy model files.

The modules: ``quarvel.idd`` (schemas), ``quarvel.idf`` (models), ``quarvel.olvane``
(an older method vocabulary over models), ``quarvel.lexer`` and ``quarvel.utils``.
"""

from pathlib import Path

__version__ = "0.1.0"

_DATA = Path(__file__).parent / "data"
EXAMPLE_IDD = _DATA / "example.idd"
"""A small schema shipped with the package, for trying things out."""
EXAMPLE_IDF = _DATA / "example.idf"
"""A one-zone office model against ``EXAMPLE_IDD``."""
