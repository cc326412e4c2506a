"""The console velmara-run opens without a script, driven through its standard input."""

import io
import os
import subprocess
import sys
import textwrap

import pytest

from velmara_master.python_server.velmara.kernel.console import console_namespace, run_console

from .conftest import CONNECT_S

# What a user types: the names are there, a block spans lines, a mistake
# does not end the console, and the frame helpers reach Excel.
SESSION = textwrap.dedent("""\
    sheet = Context.workbook.worksheets.add("Console_" + __import__("os").urandom(3).hex())
    sheet.getRange("A1:B1").values = [[6, "x"]]
    for row in to_plain(sheet.getRange("A1:B1").values):
        print("row", row)

    no_such_name
    import pandas as pd
    back = read_frame(write_frame(sheet.getRange("D1"), pd.DataFrame({"n": [1, 2]})))
    print("frame", back["n"].tolist(), GetSetting("user.locale"))
    """)


@pytest.mark.parametrize("ending, status", [("", 0), ("raise SystemExit(3)\n", 3)])
def test_python_console_runs_what_is_typed_against_the_far_end(kernel, monkeypatch, capsys, ending, status):
    monkeypatch.setitem(sys.modules, "IPython", None)  # Python's own console, as without IPython
    monkeypatch.setattr(sys, "stdin", io.StringIO(SESSION + ending))
    assert run_console(kernel) == status
    out, err = capsys.readouterr()
    assert "row [6, 'x']" in out
    assert "frame [1, 2] en-GB" in out
    assert "NameError: name 'no_such_name' is not defined" in err
    assert kernel.address in err and kernel.token not in out + err  # the banner names the kernel, not its secret


CHILD = textwrap.dedent(f"""\
    import sys
    from velmara_master.python_server.velmara.kernel import Kernel
    from velmara_master.python_server.velmara.kernel.console import run_console
    from velmara_master.python_server.velmara.kernel.farend import start_far_end, wait_for_far_end

    kernel = Kernel().start()
    far_end = start_far_end(kernel)
    try:
        wait_for_far_end(kernel, far_end, {CONNECT_S})
        status = run_console(kernel)
    finally:
        kernel.close()
        far_end.stop()
    sys.exit(status)
    """)


def test_ipython_console_reads_piped_input_and_ends_at_its_end(tmp_path):
    env = {**os.environ, "IPYTHONDIR": str(tmp_path)}  # no profile of the user's
    done = subprocess.run([sys.executable, "-c", CHILD], input=SESSION, capture_output=True, text=True,
                          timeout=CONNECT_S + 120, env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "In [1]" in done.stdout  # IPython's prompt, not Python's
    assert "row [6, 'x']" in done.stdout
    assert "frame [1, 2] en-GB" in done.stdout
    assert "NameError" in done.stdout + done.stderr


def test_the_consoles_get_setting_outlives_a_reconnection(kernel):
    get_setting = console_namespace()["GetSetting"]
    assert get_setting("user.locale") == "en-GB"
    before = kernel.connection_count
    kernel.disconnect()  # the far end reconnects; the bridge starts a new epoch
    kernel.wait_connected(CONNECT_S, count=before + 1)
    assert get_setting("user.locale") == "en-GB"  # com_like.GetSetting is refused here
