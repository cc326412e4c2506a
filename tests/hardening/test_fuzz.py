"""Short fuzzing runs of every target in fuzz/, and a replay of the committed corpus.

Each target runs for a few seconds in an interpreter of its own (a crash
there must not take the test run with it). Under scripts/sanitize the
subprocess inherits the preloaded sanitizer runtime and its options. The
long runs are scripts/fuzz.
"""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
FUZZ = ROOT / "fuzz"
SECONDS = 3

TARGETS = [
    pytest.param("fuzz_from_wire", marks=pytest.mark.requires("wire", "proxies"), id="from_wire"),
    pytest.param("fuzz_to_wire", marks=pytest.mark.requires("wire"), id="to_wire"),
    pytest.param("fuzz_on_message", id="on_message"),
]


def run_target(target: str, args: list[str], tmp_path: Path, timeout: float) -> subprocess.CompletedProcess:
    artifacts = tmp_path / "artifacts"
    artifacts.mkdir(exist_ok=True)
    return subprocess.run(
        [sys.executable, str(FUZZ / f"{target}.py"), f"-artifact_prefix={artifacts}/", "-timeout=20", *args],
        capture_output=True,
        text=True,
        timeout=timeout,
        cwd=tmp_path,
        env={**os.environ, "PYTHONFAULTHANDLER": "1"},
    )


def explain(result: subprocess.CompletedProcess, tmp_path: Path) -> str:
    found = sorted((tmp_path / "artifacts").glob("*"))
    tail = "\n".join((result.stdout + result.stderr).splitlines()[-60:])
    return f"exit {result.returncode}; inputs kept: {[str(p) for p in found]}\n{tail}"


@pytest.mark.parametrize("target", TARGETS)
def test_short_fuzzing_run_finds_nothing(target, tmp_path):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    seeds = FUZZ / "seeds" / target
    result = run_target(
        target,
        [f"-max_total_time={SECONDS}", "-max_len=2048", str(corpus), *([str(seeds)] if seeds.is_dir() else [])],
        tmp_path,
        timeout=SECONDS + 90,
    )
    assert result.returncode == 0, explain(result, tmp_path)
    assert "Done " in result.stderr, explain(result, tmp_path)


@pytest.mark.parametrize("target", TARGETS)
def test_committed_corpus_replays_cleanly(target, tmp_path):
    # fuzz/seeds/<target>/ holds the inputs guided runs kept for new coverage;
    # inputs that once broke a target go to fuzz/regressions/<target>/.
    committed = [d for d in (FUZZ / "seeds" / target, FUZZ / "regressions" / target) if d.is_dir()]
    assert any(any(d.iterdir()) for d in committed), f"no committed corpus for {target}"
    # Each input runs once; new inputs (there are none with -runs=0) would go to the first, scratch, directory.
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    result = run_target(target, ["-runs=0", str(scratch), *map(str, committed)], tmp_path, timeout=120)
    assert result.returncode == 0, explain(result, tmp_path)
    assert "INITED" in result.stderr, explain(result, tmp_path)
