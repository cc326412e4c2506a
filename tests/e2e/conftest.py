"""A kernel and a simulated add-in process on a free loopback port."""

import gc
import os
import signal
import subprocess
import sys
import time

import pytest

import com_like
from velmara_master.python_server.velmara.kernel import Kernel

SIM = "velmara_master.python_server.velmara.addin_sim"


def start_addin(url, *extra):
    return subprocess.Popen([sys.executable, "-m", SIM, "--url", url, "--reconnect", "--retry-for", "5", *extra],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


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
    def __init__(self):
        self.kernel = Kernel(track_latency=True, workers=4).start()
        self.addin = start_addin(self.kernel.url)
        self.kernel.wait_connected(15)

    def ensure_connected(self):
        if self.addin.poll() is not None:
            stop(self.addin)
            self.addin = start_addin(self.kernel.url)
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


@pytest.fixture(scope="session")
def _bridge():
    bridge = Bridge()
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
    name = f"T{os.urandom(3).hex()}"
    ws = sheets.add(name)
    yield ws
    try:
        ws.delete()
    except Exception:
        pass
