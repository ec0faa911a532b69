"""Quarvel: read, query, edit and write IDF building-energy model files.

The modules: ``quarvel.idd`` (schemas), ``quarvel.idf`` (models), ``quarvel.olvane``
(an older method vocabulary over models), ``quarvel.opening`` (opening by version,
lenient loads, one-pass checks), ``quarvel.diagnostics`` (validation findings),
``quarvel.compare`` (differences between models), ``quarvel.tables`` (a class as a
table), ``quarvel.batch`` (one job over many models), ``quarvel.geometry`` (surfaces,
measures, drawings), ``quarvel.hvac`` (loops, branches and nodes), ``quarvel.epjson``
(the engine's JSON form), ``quarvel.simulation`` (running the engine: ``quarvel.run``),
``quarvel.results`` (what a run reported), ``quarvel.lexer`` and ``quarvel.utils``.
"""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from quarvel.compare import Change as Change
    from quarvel.compare import diff as diff
    from quarvel.diagnostics import Diagnostic as Diagnostic
    from quarvel.idd import IDD as IDD
    from quarvel.idf import IDF as IDF
    from quarvel.idf import IDFObject as IDFObject
    from quarvel.idf import IDFParseError as IDFParseError
    from quarvel.idf import UnknownFieldError as UnknownFieldError
    from quarvel.idd import SchemaNotFoundError as SchemaNotFoundError
    from quarvel.opening import check as check
    from quarvel.simulation import SimulationError as SimulationError
    from quarvel.simulation import run as run

__version__ = "0.1.0"

_DATA = Path(__file__).parent / "data"
EXAMPLE_IDD = _DATA / "example.idd"
"""A small schema shipped with the package, for trying things out."""
EXAMPLE_IDF = _DATA / "example.idf"
"""A one-zone office model against ``EXAMPLE_IDD``."""
EXAMPLE_EPJSON = _DATA / "example.epJSON"
"""The JSON schema of ``EXAMPLE_IDD``'s classes, laid out as the engine's, for ``quarvel.epjson``."""

# Offered here, loaded on first use: importing the package stays cheap.
_LAZY = {
    "IDD": "quarvel.idd",
    "IDF": "quarvel.idf",
    "IDFObject": "quarvel.idf",
    "IDFParseError": "quarvel.idf",
    "UnknownFieldError": "quarvel.idf",
    "Diagnostic": "quarvel.diagnostics",
    "Change": "quarvel.compare",
    "diff": "quarvel.compare",
    "check": "quarvel.opening",
    "SchemaNotFoundError": "quarvel.idd",
    "run": "quarvel.simulation",
    "SimulationError": "quarvel.simulation",
}
__all__ = ["EXAMPLE_IDD", "EXAMPLE_IDF", "EXAMPLE_EPJSON", "IDD", "IDF", "IDFObject", "IDFParseError", "UnknownFieldError", "Diagnostic",
           "Change", "diff", "check", "SchemaNotFoundError", "run", "SimulationError"]


def __getattr__(name: str) -> object:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'quarvel' has no attribute {name!r}")
    from importlib import import_module

    return getattr(import_module(module), name)


def _register_with_dask() -> None:
    """Models passed to Dask tasks travel as text where Dask is already loaded (a worker)."""
    import sys

    if "distributed" in sys.modules:
        from quarvel import _dask

        _dask.register()


_register_with_dask()
