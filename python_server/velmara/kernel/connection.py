"""The add-in's WebSocket connection: the kernel's one reach into websockets' internals.

Everything else in the kernel uses the library's documented API (`serve`,
`Server.socket`, `Server.connections`, `ServerConnection.send`, `close`,
`close_code`, iteration). This module alone touches what the reference
pages do not show, all of it in the threaded implementation
(`websockets.sync.connection`); pyproject.toml caps the dependency below
its next major version, and tests/kernel fails first if one of these moves:

- `process_event` is overridden so that the reader thread hands a whole
  text frame to the kernel at once. The library would queue it for a
  `recv()` on another thread: one more hop between threads per answer, a
  round trip's worth of latency.
- `protocol_mutex` is held while a frame is written, and `close()` needs
  it too: a writer stuck behind an add-in that reads nothing would hold the
  kernel's close up, so the socket is cut instead (`close_socket()`).
- `socket` gets the write time-out: a far end that stops reading cannot
  hold a writer for ever.
- `recv_events_thread` is named, so that a thread dump says whose it is;
  it and `keepalive_thread` are joined when the kernel closes, so that no
  thread of a closed kernel outlives it (the keepalive thread notices the
  reader's end only when it next wakes).
- `protocol.close_sent` tells a write that timed out (the add-in stopped
  reading) from the closing handshake's own time-out, and names the code
  the library closed with when it refused a frame for its size (1009).
- `Server.handler` (documented as the argument `Server` is made with, not
  as an attribute): what serves one accepted socket, handshake included.
  The kernel accepts with a loop of its own (accept.py) that hands each
  socket to it, because the library's loop ends for good on the first
  failed accept.
- `Server.shutdown_watcher` and `shutdown_notifier`: the socket pair that
  wakes the library's own accept loop, which never runs here: closed.
"""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import Any

from websockets.exceptions import ConnectionClosed
from websockets.frames import Opcode
from websockets.sync.server import ServerConnection

from ..protocol import CLOSE_TOO_BIG

__all__ = ["AddinConnection", "Link", "NotConnectedError", "cut_if_writing", "discard_server", "mark_listener",
           "on_listener", "socket_handler"]

# Threads that serve the add-in's frames: a proxy used there would wait for
# an answer that only that thread can deliver.
_listener = threading.local()


def mark_listener() -> None:
    _listener.active = True


def on_listener() -> bool:
    return getattr(_listener, "active", False)


class NotConnectedError(ConnectionError):
    """No add-in is connected to the kernel."""


class AddinConnection(ServerConnection):
    """A server connection whose reader thread hands complete text frames on at once.

    A text frame that is a whole message goes to `on_text` on the reader
    thread; fragmented and binary messages take the library's road to the
    connection handler's iteration.
    """

    on_text: Callable[[Any], None] | None = None

    def process_event(self, event: Any) -> None:
        on_text = self.on_text
        if on_text is not None and self.request is not None and event.opcode is Opcode.TEXT and event.fin:
            on_text(event.data)
        else:
            super().process_event(event)

    def prepare(self, write_timeout: float) -> bool:
        """Name the reader thread and bound every write; False when the socket is gone."""
        self.recv_events_thread.name = "velmara-kernel-reader"
        try:
            self.socket.settimeout(write_timeout)
        except OSError:
            return False
        return True

    def refused_for_size(self) -> bool:
        """True once the library closed the connection over a frame beyond its limit."""
        sent = self.protocol.close_sent
        return sent is not None and sent.code == CLOSE_TOO_BIG


def socket_handler(server: Any) -> Callable[[Any, Any], None]:
    """The library's handler of one accepted socket: handshake, then the kernel's session."""
    handler: Callable[[Any, Any], None] = server.handler
    return handler


def discard_server(server: Any) -> None:
    """Close what `serve()` opened for the library's accept loop, which never ran."""
    for name in ("shutdown_watcher", "shutdown_notifier"):
        sock = getattr(server, name, None)
        if sock is not None:
            sock.close()


def connection_threads(ws: ServerConnection) -> list[threading.Thread]:
    """The library's threads of one connection: its reader and its keepalive pinger."""
    threads = (getattr(ws, "recv_events_thread", None), getattr(ws, "keepalive_thread", None))
    return [thread for thread in threads if isinstance(thread, threading.Thread)]


def cut_if_writing(ws: ServerConnection) -> None:
    """Cut a connection whose writer may be stuck (a close frame would queue behind it)."""
    if ws.protocol_mutex.locked():
        ws.close_socket()


class Link:
    """One admitted add-in connection: frames go straight to its socket."""

    __slots__ = ("_on_stall", "closed", "number", "ws")

    def __init__(self, ws: ServerConnection, number: int, on_stall: Callable[[Link], None]) -> None:
        self.ws = ws
        self.number = number
        self.closed = False
        self._on_stall = on_stall

    def push(self, data: bytes | str) -> None:
        """Write one text frame from the calling thread."""
        if self.closed:
            raise NotConnectedError("The Excel add-in connection is closed")
        try:
            self.ws.send(data, text=True)
        except ConnectionClosed as exc:
            # A timeout after the kernel sent its close frame is the closing
            # handshake's, not a stalled write.
            if isinstance(exc.__cause__, TimeoutError) and self.ws.protocol.close_sent is None:
                self._on_stall(self)
                raise NotConnectedError("The Excel add-in stopped reading; its connection is dropped") from None
            raise NotConnectedError("The Excel add-in connection is closed") from None
        except (OSError, RuntimeError):
            raise NotConnectedError("The Excel add-in connection is closed") from None

    def close_outbox(self) -> None:
        self.closed = True


def peer_name(ws: ServerConnection) -> str:
    address = ws.remote_address
    return f"{address[0]}:{address[1]}" if address else "an unknown address"


def close_in_background(ws: ServerConnection, code: int, reason: str) -> threading.Thread:
    """Start the closing handshake without waiting for an add-in that may never answer; its thread."""
    closer = threading.Thread(target=ws.close, args=(code, reason), name="velmara-kernel-close", daemon=True)
    closer.start()
    return closer
