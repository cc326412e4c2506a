"""velmara-run: waiting, it says what to start; the add-in it names connects; the summary counts DELs apart."""

import re
import shlex
import subprocess
import sys
from pathlib import Path

RUN = Path(sys.executable).with_name("velmara-run")
SCRIPT = """
from com_like import Context
from velmara_master.python_server.velmara.tables import to_plain
print("cells:", to_plain(Context.workbook.worksheets.getItem("Sheet1").getRange("A1:B1").values))
"""


def test_the_printed_command_starts_an_addin_and_the_script_runs(tmp_path):
    script = tmp_path / "script.py"
    script.write_text(SCRIPT)
    kernel = subprocess.Popen([str(RUN), str(script), "--connect-timeout", "60"], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True)
    addin = None
    seen = []
    try:
        for line in kernel.stdout:  # ends when velmara-run exits, at the latest after its timeout
            seen.append(line)
            if "simulated add-in:" in line:
                addin = subprocess.Popen(shlex.split(line.split("simulated add-in:", 1)[1]))
                break
        assert addin is not None, "".join(seen)
        url = re.search(r"connect URL: (ws://\S+)", "".join(seen))
        assert url and url.group(1).rsplit("/", 1)[1] in seen[-1]  # the token is the one of the URL
        output = "".join(seen) + kernel.communicate(timeout=60)[0]
    finally:
        kernel.kill()
        if addin is not None:
            addin.terminate()
            addin.wait(10)
    assert kernel.returncode == 0, output
    assert "cells: [['', '']]" in output
    summary = re.search(r"(\d+) requests, (\d+) DELs \(acknowledged locally, no round trip\)", output)
    assert summary and (int(summary.group(1)), int(summary.group(2))) == (7, 8), output  # a chained read: 7 requests leave 8 proxies behind
