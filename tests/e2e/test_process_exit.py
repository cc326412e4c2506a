"""Whole processes: nothing left running at exit, and no hang when the add-in vanishes."""

import os
import pathlib
import re
import signal
import subprocess
import sys
import textwrap
import threading

PRELUDE = textwrap.dedent("""
    import atexit, os, signal, subprocess, sys, threading
    import com_like
    from com_like import Context
    from velmara_master.python_server.velmara.kernel import Kernel
    from velmara_master.python_server.velmara.kernel.farend import far_end_command, far_end_env

    kernel = Kernel().start()
    # A bare process: the threads counted at exit are the kernel's alone.
    addin = subprocess.Popen(far_end_command(kernel, reconnect=False), env=far_end_env(kernel),
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    kernel.wait_connected(60)
""")


def run(body, timeout=90):
    return subprocess.run([sys.executable, "-X", "faulthandler", "-c", PRELUDE + textwrap.dedent(body)],
                          capture_output=True, text=True, timeout=timeout)


def test_no_thread_is_left_behind_at_exit():
    result = run("""
        # Checked after the interpreter joined its threads, just before it goes.
        atexit.register(lambda: print("threads at exit:", sorted(t.name for t in threading.enumerate())))
        sheet = Context.workbook.worksheets.getItem("Sheet1")
        fired = threading.Event()
        sheet.onChanged.add(lambda event: fired.set())
        sheet.getRange("A1").values = [[1]]
        assert fired.wait(60)
        keep = sheet.getRange("A1:B2")   # still alive at exit: its DEL must not wait
        print("done")
    """)
    assert result.returncode == 0, result.stderr
    assert "done" in result.stdout
    assert "threads at exit: ['MainThread']" in result.stdout


def test_a_process_exits_promptly_after_its_addin_vanished():
    result = run("""
        import concurrent.futures
        from velmara_master.python_server.velmara.kernel import NotConnectedError
        rng = Context.workbook.worksheets.getItem("Sheet1").getRange("A1")
        os.kill(addin.pid, signal.SIGSTOP)      # hangs mid-call ...
        threading.Timer(0.5, os.kill, (addin.pid, signal.SIGKILL)).start()   # ... then is gone
        try:
            while True:
                rng.values
        except (concurrent.futures.CancelledError, NotConnectedError) as exc:
            print("ended with", type(exc).__name__)
        try:
            Context.workbook
        except NotConnectedError as exc:
            print("afterwards:", exc)
    """)
    assert result.returncode == 0, result.stderr
    assert "ended with CancelledError" in result.stdout
    assert "afterwards: The Excel add-in is not connected" in result.stdout


KERNEL = [sys.executable, "-m", "velmara_master.python_server.velmara.kernel"]


def test_a_script_with_a_syntax_error_is_reported_before_anything_starts(tmp_path):
    script = tmp_path / "broken.py"
    script.write_text("print('never')\ndef broken(:\n    pass\n")
    result = subprocess.run([*KERNEL, str(script), "--addin-sim"], capture_output=True, text=True, timeout=120)
    assert result.returncode == 1
    assert "broken.py\", line 2" in result.stderr and "SyntaxError" in result.stderr
    assert result.stdout == ""  # no kernel, no add-in, no script output


def test_ctrl_c_exits_with_130_and_stops_the_addin_and_no_command_line_holds_the_token(tmp_path):
    script = tmp_path / "busy.py"
    script.write_text("from com_like import Context\nprint('ready', flush=True)\n"
                      "while True:\n    Context.workbook.name\n")
    token = "-fixed-token_1"  # a leading "-" reads as an option to any argument parser
    token_file = tmp_path / "token"
    token_file.write_text(token + "\n")
    token_file.chmod(0o600)
    # From another folder: the far end is found in the installed package, not beside the working directory.
    kernel = subprocess.Popen([*KERNEL, str(script), "--addin-sim", "--token-file", str(token_file)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=tmp_path)
    watchdog = threading.Timer(90, kernel.kill)  # bounds the reading below
    watchdog.start()
    try:
        lines = []
        for line in kernel.stdout:
            lines.append(line)
            if line.startswith("ready"):
                break
        output = "".join(lines)
        assert re.search(rf"add-in connect URL: ws://127\.0\.0\.1:\d+/{token}\n", output), output
        addin_pid = int(re.search(r"JavaScript add-in in Node \(pid (\d+)\)", output).group(1))
        for pid in (kernel.pid, addin_pid):
            arguments = pathlib.Path(f"/proc/{pid}/cmdline").read_bytes().decode()
            assert token not in arguments, arguments
        kernel.send_signal(signal.SIGINT)
        _, stderr = kernel.communicate(timeout=60)
    finally:
        watchdog.cancel()
        if kernel.poll() is None:
            kernel.kill()
            kernel.wait()
    assert kernel.returncode == 130, stderr
    assert "KeyboardInterrupt" in stderr and token not in stderr
    # The kernel waited for its child, so the add-in is gone, not orphaned.
    assert not os.path.exists(f"/proc/{addin_pid}")
