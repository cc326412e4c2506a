"""Refused handshakes leave a running session alone: its calls, callbacks and epoch."""

import concurrent.futures
import os
import signal
import socket
import threading

import com_like


def handshake(port, path, *headers):
    """The HTTP status a bare WebSocket opening handshake gets."""
    lines = [f"GET {path} HTTP/1.1", *headers, "Upgrade: websocket", "Connection: Upgrade",
             "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==", "Sec-WebSocket-Version: 13"]
    with socket.create_connection(("127.0.0.1", port), timeout=60) as sock:
        sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        return int(sock.recv(64).split()[1])


def test_refused_handshakes_change_nothing_in_a_running_session(bridge, sheet):
    kernel, messaging = bridge.kernel, com_like.messaging
    rng = sheet.getRange("A1")
    rng.values = [["kept"]]
    fired = threading.Event()
    sheet.onChanged.add(lambda event: fired.set())
    epoch, connections, before = messaging._guid, kernel.connection_count, kernel.stats()["refused"]
    port, host = kernel.port, f"Host: 127.0.0.1:{kernel.port}"
    sent = threading.Event()

    def noting(envelope, forward=kernel._handler):
        forward(envelope)  # the waiter is registered before the handler runs
        if envelope["method"] != "DEL":
            sent.set()

    messaging.set_send_handler(noting)
    os.kill(bridge.addin.pid, signal.SIGSTOP)  # so that a call is waiting throughout
    try:
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            pending = pool.submit(lambda: rng.values)
            assert sent.wait(60)
            assert messaging.waiters
            statuses = [
                handshake(port, "/" + kernel.token[:-1], host),
                handshake(port, "/", host),
                handshake(port, "/" + kernel.token, host, "Origin: https://evil.example"),
                handshake(port, "/" + kernel.token, f"Host: evil.example:{port}"),
                handshake(port, "/" + kernel.token, host, host.replace("127.0.0.1", "localhost")),
            ]
            assert statuses == [403] * 5
            assert not pending.done()
            os.kill(bridge.addin.pid, signal.SIGCONT)
            assert [list(row) for row in pending.result(60)] == [["kept"]]
    finally:
        os.kill(bridge.addin.pid, signal.SIGCONT)
    assert messaging._guid == epoch and kernel.connection_count == connections
    rng.values = [["changed"]]
    assert fired.wait(60)  # the callback registered before the attempts still fires
    after = kernel.stats()["refused"]
    assert {k: after[k] - before.get(k, 0) for k in after} == {
        "wrong_token": 2, "foreign_origin": 1, "foreign_host": 2}
