"""The host kit and the benchmarks are linted and typed: ruff and
mypy --strict find nothing in the paths held to that."""

import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
# The kernel and the simulated add-in join this list once their rewrite lands.
CHECKED = ["bench", "python_server/velmara/__init__.py", "python_server/velmara/testing"]


@pytest.mark.parametrize(
    "command",
    [["ruff", "check", *CHECKED], ["mypy", "--strict", *CHECKED]],
    ids=["ruff", "mypy"],
)
def test_no_findings(command):
    done = subprocess.run(
        [sys.executable, "-m", *command], cwd=ROOT, capture_output=True, text=True, timeout=600
    )
    assert done.returncode == 0, done.stdout + done.stderr
