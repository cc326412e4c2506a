"""%velmara's refusals: each says what went wrong in one line, and starts nothing."""

import os
import socket

import pytest
from IPython.core.error import UsageError

from velmara_master.python_server.velmara import notebook
from velmara_master.python_server.velmara.kernel import Kernel


class Shell:
    def __init__(self):
        self.pushed = {}

    def push(self, names):
        self.pushed.update(names)


@pytest.fixture
def shell(monkeypatch):
    # No kernel of another test to attach to; none left behind for the next.
    monkeypatch.setattr(notebook, "current_kernel", lambda: None)
    yield Shell()
    notebook.stop()


@pytest.mark.parametrize("mode, refused", [(0o600, False), (0o400, False), (0o640, True), (0o604, True)])
def test_a_token_file_is_read_only_when_its_owner_alone_may(tmp_path, mode, refused):
    path = tmp_path / "token"
    path.write_text("secret-token_1\n")
    os.chmod(path, mode)
    if refused:
        with pytest.raises(UsageError, match="chmod 600"):
            notebook.read_token_file(str(path))
    else:
        assert notebook.read_token_file(str(path)) == "secret-token_1"


def test_a_port_in_use_is_reported_and_nothing_is_started(shell):
    with Kernel() as other, pytest.raises(UsageError, match=f"cannot serve port {other.port}"):
        notebook.velmara(shell, f"--port {other.port} --addin-sim --connect-timeout 1")
    assert notebook.running_kernel() is None and shell.pushed == {}


@pytest.mark.parametrize("line, message", [("--bogus", "see %velmara --help"),
                                           ("--token-file /nonexistent/token", "cannot read the token file")])
def test_bad_arguments_are_usage_errors(shell, line, message):
    with pytest.raises(UsageError, match=message):
        notebook.velmara(shell, line)
    assert notebook.running_kernel() is None


def test_without_a_far_end_the_url_is_shown_and_the_kernel_keeps_listening(shell, capsys):
    with pytest.raises(UsageError, match=r"no add-in connected within 0\.2 s; the kernel keeps listening"):
        notebook.velmara(shell, "--connect-timeout 0.2")
    kernel = notebook.running_kernel()
    assert f"add-in connect URL: {kernel.url}" in capsys.readouterr().out
    notebook.velmara(shell, "--stop")
    assert "kernel stopped" in capsys.readouterr().out and notebook.running_kernel() is None
    with pytest.raises(ConnectionRefusedError):  # the port is no longer served
        socket.create_connection(("127.0.0.1", kernel.port), timeout=30).close()
