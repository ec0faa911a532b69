"""The layers of the native code: the core model uses no feature and imports no module of
the package; the features use the core; only the module that binds them knows both."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

SRC = Path(__file__).parent.parent / "src" / "quarvel"
CORE = sorted(p for p in (SRC / "idf").glob("*.[ch]pp") if p.name != "module.cpp")
INCLUDE = re.compile(r'#include\s+"([^"]+)"')
IMPORT = re.compile(r'PyImport_ImportModule\("([^"]+)"\)')

pytestmark = pytest.mark.skipif(not CORE, reason="the sources are not beside the tests")


@pytest.mark.parametrize("path", CORE, ids=lambda p: p.name)
def test_the_core_depends_on_no_feature(path):
    text = path.read_text()
    assert [i for i in INCLUDE.findall(text) if "features" in i] == []
    assert [m for m in IMPORT.findall(text) if m.startswith("quarvel")] == []


def test_features_depend_on_the_core_only():
    for path in (SRC / "features").glob("*.[ch]pp"):
        includes = INCLUDE.findall(path.read_text())
        assert all(not i.startswith("../olvane") for i in includes), path.name
