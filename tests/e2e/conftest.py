"""A kernel and an add-in process on a free loopback port.

Every test that uses `bridge` (or `sheet`) runs against both far ends: the
simulated add-in in Python ("sim") and the JavaScript add-in's executor over
the Office.js double in Node ("js"). Where Office.js behaves otherwise than
the simulation (error texts, no `count` on the worksheet collection, how a
cell keeps dates), a test accepts each far end's documented behaviour.
"""

import gc
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time

import pytest

import com_like
from velmara_master.python_server.velmara.kernel import Kernel
from velmara_master.python_server.velmara.testing import foreign_env

SIM = "velmara_master.python_server.velmara.addin_sim"
NODE_HOST = pathlib.Path(__file__).resolve().parents[2] / "addin" / "node-host.mjs"
NODE_INSTALL = ("the JavaScript add-in needs Node.js 20 or later (its built-in WebSocket and node:test): "
                "install it from https://nodejs.org/en/download or with the system's package manager "
                "(Debian/Ubuntu: apt-get install nodejs)")
FAR_ENDS = ["sim", "js"]


def node_command():
    """The node executable; skips when there is none, fails when it is older than 20."""
    node = shutil.which("node")
    if node is None:
        pytest.skip(f"node not found: {NODE_INSTALL}")
    version = subprocess.run([node, "--version"], capture_output=True, text=True, timeout=30).stdout.strip()
    match = re.match(r"v(\d+)\.", version)
    if match is None or int(match.group(1)) < 20:
        pytest.fail(f"node {version or '(unknown version)'} is too old: {NODE_INSTALL}")
    return node


def kernel_target(kernel):
    """The --url/--token arguments of a far end for this kernel."""
    token = getattr(kernel, "token", None)
    if token:
        return ["--url", kernel.address, "--token", token]
    return ["--url", kernel.url]


def start_addin(kernel, far_end="sim", *extra):
    env = None
    if far_end == "js":
        command = [node_command(), "--experimental-websocket", str(NODE_HOST)]
        env = foreign_env()
    else:
        command = [sys.executable, "-m", SIM]
    return subprocess.Popen([*command, *kernel_target(kernel), "--reconnect", "--retry-for", "5", *extra],
                            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def stop(proc):
    if proc.poll() is None:
        try:
            os.kill(proc.pid, signal.SIGCONT)
        except ProcessLookupError:
            pass
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(5)
    if proc.stderr:
        proc.stderr.close()


class Bridge:
    def __init__(self, far_end="sim"):
        self.far_end = far_end
        self.kernel = Kernel(track_latency=True, workers=4).start()
        try:
            self.addin = start_addin(self.kernel, far_end)
        except BaseException:
            self.kernel.close()
            raise
        self.kernel.wait_connected(15)
        # The bridge of the other far end, closed before this one started,
        # reset the messaging epoch; a reset re-stamps Context and Excel but
        # not GetSetting, which the tests keep using across far ends.
        vars(com_like.GetSetting)["_msg_guid"] = com_like.messaging._guid

    @property
    def js(self):
        return self.far_end == "js"

    def ensure_connected(self):
        if self.addin.poll() is not None:
            stop(self.addin)
            self.addin = start_addin(self.kernel, self.far_end)
        com_like.messaging.set_send_handler(self.kernel._handler)
        self.kernel.wait_connected(15)

    def objects(self):
        """Size of the add-in's object table once every dropped proxy's DEL went out."""
        for _ in range(3):
            gc.collect()
        return self.kernel.diagnostics()["objects"]

    def objects_settled(self, expected, timeout=5.0):
        """The table size once it reaches `expected`, or the last size seen.

        Callbacks run on the kernel's worker pool and hold the proxies of
        their arguments until they return, so the table settles a moment
        after the workload itself.
        """
        deadline = time.monotonic() + timeout
        while True:
            seen = self.objects()
            if seen == expected or time.monotonic() > deadline:
                return seen
            time.sleep(0.02)

    def close(self):
        self.kernel.close()
        stop(self.addin)


@pytest.fixture(scope="session", params=FAR_ENDS)
def _bridge(request):
    bridge = Bridge(request.param)
    yield bridge
    bridge.close()


@pytest.fixture
def bridge(_bridge):
    _bridge.ensure_connected()
    return _bridge


@pytest.fixture
def sheet(bridge):
    """A fresh worksheet per test, deleted afterwards."""
    sheets = com_like.Context.workbook.worksheets
    # Not "T" + digits: Excel quotes sheet names that read as a cell reference.
    name = f"T_{os.urandom(3).hex()}"
    ws = sheets.add(name)
    yield ws
    try:
        ws.delete()
    except Exception:
        pass
