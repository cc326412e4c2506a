"""velmara-run: what it says while waiting, how it starts and fails, and the summary that counts DELs apart."""

import os
import re
import shlex
import socket
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

RUN = Path(sys.executable).with_name("velmara-run")
SCRIPT = """
from com_like import Context
from velmara_master.python_server.velmara.tables import to_plain
print("cells:", to_plain(Context.workbook.worksheets.getItem("Sheet1").getRange("A1:B1").values))
"""


@pytest.fixture
def script(tmp_path):
    path = tmp_path / "script.py"
    path.write_text(SCRIPT)
    return path


def test_the_printed_command_starts_an_addin_and_the_script_runs(script):
    kernel = subprocess.Popen([str(RUN), str(script), "--connect-timeout", "90"], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True)
    addin = None
    seen = []
    try:
        for line in kernel.stdout:  # ends when velmara-run exits, at the latest after its timeout
            seen.append(line)
            if "the add-in in Node:" in line:
                words = shlex.split(line.split("the add-in in Node:", 1)[1])
                # NAME=VALUE words first, as a shell takes them: the environment, not arguments.
                env = dict(os.environ)
                while "=" in words[0] and not words[0].startswith("/"):
                    name, value = words.pop(0).split("=", 1)
                    env[name] = value
                addin = subprocess.Popen(words, env=env)
                break
        assert addin is not None, "".join(seen)
        url = re.search(r"connect URL: (ws://\S+)", "".join(seen))
        token = url.group(1).rsplit("/", 1)[1]
        assert token not in addin.args and env["VELMARA_TOKEN"] == token
        output = "".join(seen) + kernel.communicate(timeout=90)[0]
    finally:
        kernel.kill()
        if addin is not None:
            addin.terminate()
            addin.wait(60)
    assert kernel.returncode == 0, output
    assert "cells: [['', '']]" in output
    summary = re.search(r"(\d+) requests, (\d+) DELs \(acknowledged locally, no round trip\)", output)
    assert summary, output
    requests, dels = int(summary.group(1)), int(summary.group(2))
    # Every step of the chained read but the last leaves the proxy of an Excel
    # object behind; the values read are plain data, dropped without a count.
    assert dels >= requests - 1 > 0, output


def test_a_far_end_that_dies_at_start_is_reported_at_once(script):
    # The far end gets an option it refuses, so it exits before connecting.
    driver = textwrap.dedent(f"""
        import sys
        from velmara_master.python_server.velmara.kernel import cli
        start = cli.start_far_end
        cli.start_far_end = lambda kernel, **kw: start(kernel, extra_args=["--watchdog", "never"], echo=kw["echo"])
        sys.exit(cli.main([{str(script)!r}, "--addin-sim", "--connect-timeout", "3600"]))
    """)
    result = subprocess.run([sys.executable, "-c", driver], capture_output=True, text=True, timeout=300)
    assert result.returncode == 2, result.stderr
    # Reported as the exit it was, not as the 3600 s time-out, and with what the far end said.
    assert "the add-in process exited with status 2 before it connected" in result.stderr
    assert "--retry-for and --watchdog take a number of seconds" in result.stderr
    assert "Traceback" not in result.stderr and "--addin-sim" not in result.stderr


@pytest.mark.parametrize("mode", [0o644, 0o640, 0o604])
def test_a_token_file_others_can_read_is_refused(script, tmp_path, mode):
    token_file = tmp_path / "token"
    token_file.write_text("some-token\n")
    token_file.chmod(mode)
    result = subprocess.run([str(RUN), str(script), "--token-file", str(token_file)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 2
    assert f"is readable by group or others (mode {mode:04o})" in result.stderr
    assert "chmod 600" in result.stderr
    assert result.stdout == ""  # nothing was started


def test_a_port_in_use_is_one_line_that_says_what_to_do(script):
    with socket.create_server(("127.0.0.1", 0)) as taken:
        port = taken.getsockname()[1]
        result = subprocess.run([str(RUN), str(script), "--port", str(port)],
                                capture_output=True, text=True, timeout=60)
    assert result.returncode == 2
    assert result.stderr.splitlines() == [
        f"velmara-run: port {port} is in use (another kernel?): stop that one, or choose another port "
        "with --port (--port 0 picks a free one)"]
