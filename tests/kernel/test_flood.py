"""The kernel outlasts a flood of idle connections and failing accepts.

A local program without the token may open as many idle TCP connections as
it likes; the add-in must still get in, during the flood or right after it.
"""

import errno
import json
import os
import queue
import socket
import subprocess
import sys
import threading

import pytest

from velmara_master.python_server.velmara.kernel import Kernel, accept
from velmara_master.python_server.velmara.testing import Peer

# The kernel, in a process of its own with 256 descriptors (macOS's default):
# it prints its URL, then makes one call through the add-in per "call" line.
CHILD = r"""
import json, resource, sys
_, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (256, hard))
import com_like
from velmara_master.python_server.velmara.kernel import Kernel
kernel = Kernel().start()
print(json.dumps({"url": kernel.url, "port": kernel.port}), flush=True)
for line in sys.stdin:
    try:
        kernel.wait_connected(120, count=int(line))
        response = com_like.messaging.send_request_sync({"method": "GET", "name": "ping", "caller": 0}, timeout=60)
        out = {"ok": response["ok"], "value": response["result"]["value"]}
    except Exception as exc:
        out = {"error": repr(exc)}
    out["stats"] = kernel.stats()
    print(json.dumps(out), flush=True)
kernel.close()
"""

FLOOD = 1000


def pong(request):
    return {"ok": True, "result": {"type": "String", "value": f"pong {request['name']}", "isSpec": False}}


# Bound of every wait for the child: generous, the machine may be loaded.
WAIT = 180


@pytest.fixture
def child_kernel():
    child = subprocess.Popen([sys.executable, "-c", CHILD], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             text=True, bufsize=1)
    lines = queue.SimpleQueue()
    threading.Thread(target=lambda: [lines.put(line) for line in child.stdout] + [lines.put("")], daemon=True).start()
    child.lines = lines
    try:
        yield child, read_line(child)
    finally:
        child.stdin.close()
        try:
            child.wait(30)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()


def read_line(child):
    try:
        line = child.lines.get(timeout=WAIT)
    except queue.Empty:
        child.kill()
        pytest.fail(f"the kernel process said nothing for {WAIT} s")
    assert line, f"the kernel process ended (status {child.poll()})"
    return json.loads(line)


def call(child, count):
    """One call from the kernel's side once `count` add-in connections were made."""
    child.stdin.write(f"{count}\n")
    return read_line(child)


def open_idle(port, count):
    """`count` idle connections, opened without waiting for any of them."""
    sockets = []
    for _ in range(count):
        sock = socket.socket()
        sock.setblocking(False)
        sock.connect_ex(("127.0.0.1", port))
        sockets.append(sock)
    return sockets


@pytest.fixture
def room_for_the_flood():
    """This process needs a descriptor per idle connection (macOS gives 256 by default)."""
    resource = pytest.importorskip("resource")
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    needed = FLOOD + 200
    if soft >= needed:
        yield
        return
    if hard != resource.RLIM_INFINITY and hard < needed:
        pytest.skip(f"the flood needs {needed} descriptors; the hard limit is {hard}")
    resource.setrlimit(resource.RLIMIT_NOFILE, (needed, hard))
    yield
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def test_the_addin_gets_in_during_and_after_a_flood_of_idle_connections(room_for_the_flood, child_kernel):
    child, started = child_kernel
    flood = open_idle(started["port"], FLOOD // 2)
    try:
        # The add-in connects in the middle of the flood, retrying when cut.
        first = Peer(started["url"], pong)
        connecting = threading.Thread(target=first.connect, kwargs={"timeout": 120})
        connecting.start()
        flood += open_idle(started["port"], FLOOD - len(flood))
        connecting.join(WAIT)
        assert first.connected, "the add-in never connected during the flood"
        result = call(child, 1)
        assert result.get("value") == "pong ping", result
        assert result["stats"]["accept"]["evicted"] > 0
    finally:
        for sock in flood:
            sock.close()
    first.close()
    # Once the flood is over, the add-in reconnects and calls go on.
    with Peer(started["url"], pong).connect(timeout=60) as again:
        result = call(child, 2)
        assert result.get("value") == "pong ping", result
        assert again.requests and again.requests[0]["name"] == "ping"


class FailingListener:
    """A listening socket whose first accepts fail as they do with no descriptor left."""

    def __init__(self, sock, failures):
        self.sock = sock
        self.failures = failures

    def fileno(self):
        return self.sock.fileno()

    def accept(self):
        if self.failures:
            self.failures -= 1
            raise OSError(errno.EMFILE, os.strerror(errno.EMFILE))
        return self.sock.accept()

    def close(self):
        self.sock.close()


class FailingThread(threading.Thread):
    failures = 0

    def start(self):
        if FailingThread.failures:
            FailingThread.failures -= 1
            raise RuntimeError("can't start new thread")
        super().start()


@pytest.mark.parametrize("trouble", ["descriptors", "threads"])
def test_the_accept_loop_backs_off_and_goes_on(monkeypatch, trouble, caplog):
    served = threading.Event()
    listener = socket.create_server(("127.0.0.1", 0))
    if trouble == "descriptors":
        listener = FailingListener(listener, 3)
    else:
        monkeypatch.setattr(FailingThread, "failures", 3)
        monkeypatch.setattr(accept, "_Thread", FailingThread)
    loop = accept.AcceptLoop(listener, lambda sock, address: (served.set(), sock.close()))
    loop.start()
    port = (listener.sock if trouble == "descriptors" else listener).getsockname()[1]
    try:
        # Connections cut while the loop is in trouble; the add-in retries.
        for _ in range(10):
            with socket.create_connection(("127.0.0.1", port), timeout=30) as client:
                client.settimeout(30)
                if client.recv(1) == b"" and served.is_set():
                    break
        assert served.wait(30)
        assert loop.thread.is_alive()
        failures = loop.accept_failures if trouble == "descriptors" else loop.start_failures
        assert failures == 3
    finally:
        loop.stop()
    assert "trying again" in caplog.text


def test_connections_past_the_handshake_cap_close_the_oldest(small_kernel):
    kernel = small_kernel
    idle = [socket.create_connection(("127.0.0.1", kernel.port), timeout=30) for _ in range(3)]
    try:
        # The oldest idle connection is closed by the kernel, not left to time out.
        idle[0].settimeout(30)
        assert idle[0].recv(1) == b""
        with Peer(kernel.url).connect(timeout=60):
            kernel.wait_connected(30)
        assert kernel.stats()["accept"]["evicted"] >= 1
    finally:
        for sock in idle:
            sock.close()


@pytest.fixture
def small_kernel():
    import com_like

    with Kernel(module=com_like, max_pending_handshakes=2) as kernel:
        yield kernel


def test_an_admitted_addin_is_never_evicted_as_an_unfinished_handshake(monkeypatch):
    import com_like

    # The add-in's connection thread is held between the answer to its
    # upgrade and the start of its session, as a loaded machine may hold it,
    # while idle connections keep arriving past the cap.
    admitted, go_on = threading.Event(), threading.Event()
    handle = Kernel._handle

    def held(self, ws):
        admitted.set()
        go_on.wait(60)
        return handle(self, ws)

    monkeypatch.setattr(Kernel, "_handle", held)
    with Kernel(module=com_like, max_pending_handshakes=1) as kernel:
        peer = Peer(kernel.url, pong)
        connecting = threading.Thread(target=peer.connect, kwargs={"timeout": 60})
        connecting.start()
        idle = []
        try:
            assert admitted.wait(60)
            connecting.join(60)
            assert peer.connected
            idle = [socket.create_connection(("127.0.0.1", kernel.port), timeout=30) for _ in range(3)]
            idle[1].settimeout(30)
            assert idle[1].recv(1) == b""  # evicted: the cap was reached
            go_on.set()
            kernel.wait_connected(60)
            response = com_like.messaging.send_request_sync({"method": "GET", "name": "ping", "caller": 0}, timeout=60)
            assert response["result"]["value"] == "pong ping"
        finally:
            go_on.set()
            for sock in idle:
                sock.close()
            peer.close()
