"""The type stub: every module name is declared, and mypy accepts real use."""

import ast
import os
import re
import subprocess
import sys
from pathlib import Path

import com_like

ROOT = Path(__file__).resolve().parents[2]
STUB_DIR = ROOT / "python_server" / "velmara" / "com_like"
HERE = Path(__file__).parent


def stub_names():
    tree = ast.parse((STUB_DIR / "com_like.pyi").read_text())
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name) and t.id != "__all__")
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            for alias in node.names:
                if alias.asname:
                    names.add(alias.asname)
                elif isinstance(node, ast.Import):
                    names.add(alias.name.split(".")[0])
    return names


def test_the_stub_declares_exactly_the_module_namespace():
    runtime = {name for name in vars(com_like) if not (name.startswith("__") and name.endswith("__"))}
    # Names the stub needs for its own annotations only.
    declared = stub_names() - {"Callable", "SupportsFloat", "SupportsIndex", "_Timeout"}
    assert declared == runtime


def run_mypy(*args):
    # No MYPYPATH: the installed stub package must be what mypy finds.
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    return subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", os.devnull, *args],
                          capture_output=True, text=True, env=env, cwd=ROOT, timeout=120)


def test_typed_usage_passes_strict_mypy():
    result = run_mypy("--strict", str(HERE / "typed_usage.py"))
    assert result.returncode == 0, result.stdout + result.stderr


def test_misuse_is_flagged_line_by_line():
    source = HERE / "typed_misuse.py"
    expected = {i for i, line in enumerate(source.read_text().splitlines(), 1) if "# E:" in line}
    result = run_mypy(str(source))
    flagged = {int(m.group(1)) for m in re.finditer(r"typed_misuse\.py:(\d+): error", result.stdout)}
    assert flagged == expected, result.stdout
