"""The add-in's JavaScript is type-checked from its JSDoc and linted, with zero findings.

TypeScript's checker (`tsc` from Debian's node-typescript) reads addin/tsconfig.json:
`checkJs` under `strict`, and the lint options (unused names and parameters,
implicit returns, switch fall-through).
"""

from __future__ import annotations

import json
import os
import pathlib
import shutil
import subprocess

import pytest

ADDIN = pathlib.Path(__file__).resolve().parents[2] / "addin"
CONFIG = ADDIN / "tsconfig.json"
LINT_OPTIONS = ("noUnusedLocals", "noUnusedParameters", "noImplicitReturns", "noFallthroughCasesInSwitch")


def _tsc() -> str:
    tsc = shutil.which("tsc")
    if tsc is not None:
        return tsc
    if shutil.which("apt-get") is None or os.geteuid() != 0:
        pytest.skip("tsc not found, and node-typescript cannot be installed here (needs apt-get as root)")
    out = subprocess.run(["apt-get", "install", "-y", "-q", "node-typescript"], capture_output=True, text=True,
                         timeout=900, env={**os.environ, "DEBIAN_FRONTEND": "noninteractive"})
    tsc = shutil.which("tsc")
    if tsc is None:
        pytest.skip(f"installing node-typescript failed: {out.stderr.strip()[-300:]}")
    return tsc


def test_the_checks_stay_strict() -> None:
    options = json.loads(CONFIG.read_text())["compilerOptions"]
    assert options["checkJs"] is True and options["strict"] is True
    assert all(options[name] is True for name in LINT_OPTIONS)


def test_addin_sources_have_no_findings() -> None:
    out = subprocess.run([_tsc(), "-p", str(CONFIG)], cwd=ADDIN, capture_output=True, text=True, timeout=600)
    assert (out.returncode, out.stdout.strip()) == (0, ""), out.stdout[-4000:]
