"""Every Python example of the README runs as written, through velmara-run and the simulated add-in."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BLOCKS = re.findall(r"^```python\n(.*?)^```", (ROOT / "README.md").read_text(), re.M | re.S)
RUN = Path(sys.executable).with_name("velmara-run")


def test_the_readme_has_examples():
    assert len(BLOCKS) >= 3


@pytest.mark.slow
@pytest.mark.parametrize("number", range(len(BLOCKS)))
def test_readme_example_runs(tmp_path, number):
    script = tmp_path / f"readme_{number}.py"
    script.write_text(BLOCKS[number])
    result = subprocess.run([str(RUN), str(script), "--addin-sim"], capture_output=True, text=True,
                            timeout=120, cwd=tmp_path)
    output = result.stdout + result.stderr
    assert result.returncode == 0, f"example {number}:\n{BLOCKS[number]}\n{output}"
    assert "Traceback" not in output, output
