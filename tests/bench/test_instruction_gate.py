"""The hot paths' instruction counts (bench/instructions.py, under
valgrind's callgrind) stay within 3% of the baselines committed in
bench/instructions_baseline.json.

Counts do not move with the machine's load, only with the code executed and
the build that runs it: after a deliberate change, or on another machine,
write new baselines with `bench/instructions.py --write-baseline` and say
why in the commit.
"""

import importlib.util
import json
import pathlib
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
TOLERANCE = 1.03


def load_harness():
    spec = importlib.util.spec_from_file_location("bench_instructions", ROOT / "bench" / "instructions.py")
    assert spec and spec.loader
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


harness = load_harness()
BASELINE = json.loads(harness.BASELINE.read_text())


@pytest.fixture(scope="module")
def counts():
    if harness.valgrind() is None:
        done = subprocess.run([str(ROOT / "scripts" / "valgrind-deps")], capture_output=True, text=True, timeout=900)
        if done.returncode != 0 or harness.valgrind() is None:
            pytest.skip(f"valgrind could not be installed: {done.stderr.strip()}")
    return harness.count()


def test_the_baseline_covers_every_gated_count():
    assert set(harness.GATED) <= set(BASELINE)


@pytest.mark.parametrize("name", harness.GATED)
def test_count_within_three_percent_of_its_baseline(counts, name):
    limit = BASELINE[name] * TOLERANCE
    assert counts[name] <= limit, (
        f"{name}: {counts[name]:,.1f} instructions per operation, baseline {BASELINE[name]:,.1f} "
        f"(+{counts[name] / BASELINE[name] - 1:.1%}); all counts: {counts}"
    )
