"""The README's Python examples run as they stand; the type stubs match the modules."""

import ast
import importlib
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).parent.parent
SRC = ROOT / "src" / "quarvel"


def readme_blocks() -> list[str]:
    text = (ROOT / "README.md").read_text()
    return re.findall(r"```python\n(.*?)```", text, flags=re.DOTALL)


def test_readme_examples_run(tmp_path):
    blocks = readme_blocks()
    assert len(blocks) >= 8
    script = tmp_path / "readme_examples.py"
    script.write_text("\n".join(blocks))
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert result.returncode == 0, result.stderr
    out = result.stdout.splitlines()
    assert "IDF parsing error (Line 3): missing delimiter before 'Room'." in out
    assert "Office Autocalculate 0.0" in out
    assert "1 Autocalculate" in out
    assert "Version,9.1;" in out
    assert "[2, 2]" in out
    assert "Zone field 'Name' cannot hold ',': IDF text has no way to write it" in out
    assert "3 None" in out and "80" in out and "'many' is not a number." in out
    assert "[' the main zone']  renamed after the survey" in out and "! Office block, survey of 2024" in out
    assert out[out.index("8") + 1:out.index("8") + 5] == [
        "Timestep, Number of Timesteps per Hour: 4 -> 6", "Zone 'Office': removed", "Zone 'Open Plan': added", "[]"]
    assert "Office 1 6" in out and "['Office'] FileNotFoundError" in out and "80.0 240.0 0.1" in out
    edits = out.index("0 added, 1 changed, 0 removed")  # the geometry edits
    assert out[edits:edits + 4] == ["0 added, 1 changed, 0 removed", "0.4", "1 added, 2 changed, 0 removed", "0.25 []"]
    assert "Autocalculate 4" in out and out[out.index("Autocalculate 4") + 1] == "[]"
    assert out[0] == "9.1.0"  # opened by version
    assert "2: E102 unknown-class: Timestpe '4': The schema has no class 'Timestpe'; the object is left out. " \
           "Did you mean 'Timestep'?" in out
    assert "5: E101 syntax-error: Zone 'Attic': Missing delimiter before '0'. The object is left out." in out


def test_readme_commands_are_true():
    text = (ROOT / "README.md").read_text()
    assert 'pip install ".[test]" && python -m quarvel info --example' in text
    assert "```sh\npython -m pytest\n```" in text
    ci = (ROOT / ".ci" / "run").read_text()
    assert "python -m pytest" in ci and "python -m quarvel info --example" in ci


@pytest.mark.parametrize("module", ["idd", "idf", "lexer", "utils", "olvane"])
def test_stubs_match_the_modules(module):
    """Every public name a stub declares exists, and every public name of the module is declared."""
    tree = ast.parse((SRC / f"{module}.pyi").read_text())
    declared = set()
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            declared.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            declared.add(node.target.id)
        elif isinstance(node, ast.ImportFrom):
            declared.update(alias.asname for alias in node.names if alias.asname == alias.name)  # re-exports
    stub_only = {"ClassInfo", "FieldInfo", "ExtensibleInfo"}
    runtime = importlib.import_module(f"quarvel.{module}")
    for name in declared - stub_only:
        assert hasattr(runtime, name), f"{module}.pyi declares {name}, which the module lacks"
    public = {n for n in dir(runtime) if not n.startswith("__") and n != "_C_API"}
    assert public <= declared, f"undeclared in {module}.pyi: {public - declared}"


def test_typed_usage_passes_mypy_strict():
    pytest.importorskip("mypy")
    example = ROOT / "examples" / "typed_usage.py"
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(example)],
                            capture_output=True, text=True, cwd=ROOT / "tests", timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    run = subprocess.run([sys.executable, str(example)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
