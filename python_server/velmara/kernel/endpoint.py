"""The kernel's end of the add-in connection.

The transport is threaded, with no event loop between the bridge and the
socket, because every hop between threads costs a round trip dearly:

- A request is written by the worker that makes it (`sending.py`).
- Frames from the add-in are parsed by the connection's reader thread,
  which is the bridge's listener (`dispatch.py`).
- DELs are answered at once on the finalizing thread; their ids go to the
  add-in in coalesced "release" frames (`release.py`).
- Callbacks that the add-in invokes run on a small worker pool
  (`callbacks.py`).
- Connections are accepted by a loop that outlasts floods and descriptor
  exhaustion (`accept.py`); each has a thread of its own.

A far end that stops reading cannot hold a writer for ever: a write that
makes no progress for `send_timeout` seconds ends the connection.
"""

from __future__ import annotations

import collections
import logging
import ssl
import threading
import time
from collections.abc import Iterable
from http import HTTPStatus
from types import ModuleType
from typing import Any

from websockets.exceptions import ConnectionClosed
from websockets.sync.server import ServerConnection, serve

from ..protocol import KIND_RELEASE, MAX_FRAME_CHARS, dumps
from .accept import DEFAULT_MAX_PENDING, AcceptLoop
from .callbacks import DEFAULT_MAX_QUEUED, CallbackPool
from .connection import (
    AddinConnection,
    Link,
    NotConnectedError,
    close_in_background,
    connection_threads,
    cut_if_writing,
    discard_server,
    mark_listener,
    peer_name,
    socket_handler,
)
from .counters import Counters, QuietLog
from .dispatch import DROP_REASONS, Dispatcher
from .handshake import REFUSE_REASONS, Gate, RedactingLogger, checked_token, is_loopback, new_token
from .release import ReleaseBatcher
from .sending import SendHandler
from .taskpane import TaskPane, is_websocket_handshake

__all__ = ["DEFAULT_MAX_FRAME_CHARS", "DEFAULT_SEND_TIMEOUT", "Kernel", "NotConnectedError", "current_kernel"]

log = logging.getLogger("velmara.kernel")

# Frames that pass the kernel's limit but not the library's close the
# connection (code 1009); between the two they are dropped one by one.
_LIBRARY_LIMIT_FACTOR = 2

# Incoming frame limit. Excel on the web caps a payload at 5 MB, and our
# wire format spends about 45 characters on a cell, so 8 Mi characters
# carry a read of some 180k cells: far beyond what a workbook needs in one
# call, while a worst-case frame (nothing but empty arrays) peaks at about
# 220 MiB while parsed, not the gigabytes of a looser limit.
DEFAULT_MAX_FRAME_CHARS = MAX_FRAME_CHARS

# Seconds a write may make no progress before the add-in is taken to have
# stopped reading and its connection is dropped. Requests wait for their
# answers, so a live add-in never lets the socket's buffers fill for long.
DEFAULT_SEND_TIMEOUT = 30.0

# How long the kernel waits for the add-in to answer its close frame before
# cutting the connection. The close frame itself goes out at once, so the
# add-in learns either way; a live one answers within milliseconds.
_CLOSE_TIMEOUT = 0.25

# Every counter exists from the start (see counters.py). local_answers:
# GETs answered without a round trip (sending.py); callables_reused: ids
# of functions passed again, sent under their first id instead.
_COUNTERS = ("requests", "dels", "callbacks", "orphans_released", "orphans_kept", "capped_answers",
             "write_timeouts", "local_answers", "callables_reused", "callbacks_refused")


_current: Kernel | None = None


def current_kernel() -> Kernel | None:
    """The kernel started last in this process (None before any start)."""
    return _current


class Kernel:
    """A kernel endpoint that the add-in connects to over WebSocket.

    `Kernel(...).start()` binds a loopback port (``port=0`` picks a free
    one, see `url`) and registers the send handler with the bridge's
    `messaging`. Only a handshake that presents the kernel's token (the
    URL path), no foreign `Origin` and a loopback `Host` is admitted. One
    add-in connection is served at a time; an admitted new one replaces
    the old. Every close or replacement resets `messaging`, so waiting
    calls end with `CancelledError` at once and `Context`/`Excel` work
    again on the next connection.
    """

    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int = 0,
        *,
        workers: int = 4,
        max_frame_chars: int = DEFAULT_MAX_FRAME_CHARS,
        send_timeout: float = DEFAULT_SEND_TIMEOUT,
        token: str | None = None,
        allowed_origins: Iterable[str] = (),
        track_latency: bool = False,
        module: ModuleType | None = None,
        taskpane: TaskPane | None = None,
        ssl_context: ssl.SSLContext | None = None,
        max_pending_handshakes: int = DEFAULT_MAX_PENDING,
        max_queued_callbacks: int = DEFAULT_MAX_QUEUED,
    ) -> None:
        if not is_loopback(host):
            raise ValueError(f"the kernel serves loopback addresses only, not {host!r}")
        if module is None:
            import com_like

            module = com_like
        self._module: ModuleType = module
        self._host = host
        self._port = port
        self._token = new_token() if token is None else checked_token(token)
        self._gate = Gate(self._token, allowed_origins)
        self._max_frame_chars = max_frame_chars
        self._send_timeout = send_timeout
        self._workers = workers
        self._max_pending = max_pending_handshakes
        self._taskpane = taskpane
        self._ssl = ssl_context

        self._server: Any = None
        self._accept: AcceptLoop | None = None
        self._conn: Link | None = None
        self._connections = 0
        self._state = threading.Condition()
        self._closed = False

        self._counters = Counters(counts=_COUNTERS, dropped=DROP_REASONS, refused=REFUSE_REASONS)
        self._counts = self._counters.table("counts")
        self._refusals = self._counters.table("refused")
        self._quiet = QuietLog(log)
        sent_at: dict[str, float] | None = {} if track_latency else None
        self._sent_at = sent_at
        self._latencies: collections.deque[float] = collections.deque(maxlen=100_000)
        self._releases = ReleaseBatcher(self._send_release)
        self._callbacks = CallbackPool(module, workers, self._quiet, max_queued=max_queued_callbacks)
        self._dispatch = Dispatcher(module, max_frame_chars, self._counters, self._quiet, self._releases,
                                    self._callbacks, sent_at, self._latencies)
        # One object, so that close() can tell whether it is still the bridge's handler.
        self._handler = SendHandler(module, lambda: self._conn, self._counters, self._releases, sent_at)

    # ------------------------------------------------------------------
    # life cycle

    def start(self) -> Kernel:
        if self._server is not None:
            raise RuntimeError("the kernel is already started")
        library_limit = self._max_frame_chars * _LIBRARY_LIMIT_FACTOR + 1024
        self._server = serve(
            self._handle,
            self._host,
            self._port,
            compression=None,
            max_size=library_limit,
            close_timeout=_CLOSE_TIMEOUT,
            process_request=self._process_request,
            logger=RedactingLogger(logging.getLogger("websockets.server"), self._token),
            create_connection=AddinConnection,
            ssl=self._ssl,
        )
        address = self._server.socket.getsockname()
        self._port = address[1]
        self._gate.bind([address[0]], self._port)
        if self._taskpane is not None:
            self._taskpane.bind("https" if self._ssl is not None else "http", self._host, self._port)
            # The page the kernel serves is the one browser page let in.
            self._gate.admit_origins(self._taskpane.origins)
        self._releases.start()
        # The library's server makes each connection's handler (handshake,
        # then self._handle); the accepting is ours (see accept.py).
        self._accept = AcceptLoop(self._server.socket, socket_handler(self._server), max_pending=self._max_pending,
                                  on_trouble=self._accept_trouble)
        self._accept.start()
        self._module.messaging.set_send_handler(self._handler)
        global _current
        _current = self
        # Runs before the interpreter joins its non-daemon threads (the
        # callback pool among them), so a callback stuck waiting on a gone
        # add-in cannot hold the exit up.
        register = getattr(threading, "_register_atexit", None)
        try:
            if register is None:
                raise RuntimeError
            register(self.close)
        except RuntimeError:
            import atexit

            atexit.register(self.close)
        return self

    def __enter__(self) -> Kernel:
        return self if self._server is not None else self.start()

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def port(self) -> int:
        return self._port

    @property
    def address(self) -> str:
        """The endpoint without the token: safe to show and to log."""
        host = f"[{self._host}]" if ":" in self._host else self._host
        scheme = "wss" if self._ssl is not None else "ws"
        return f"{scheme}://{host}:{self._port}"

    @property
    def token(self) -> str:
        return self._token

    @property
    def url(self) -> str:
        """The URL the add-in connects to, token included: a secret."""
        return f"{self.address}/{self._token}"

    @property
    def taskpane(self) -> TaskPane | None:
        return self._taskpane

    @property
    def taskpane_url(self) -> str | None:
        """The task pane's address with the token in its fragment: a secret (None when not served)."""
        return self._taskpane.page_url(self._token) if self._taskpane is not None else None

    @property
    def connected(self) -> bool:
        return self._conn is not None

    @property
    def connection_count(self) -> int:
        """How many add-in connections were accepted so far."""
        return self._connections

    def wait_connected(self, timeout: float = 10.0, *, count: int = 1) -> None:
        """Block until an add-in is connected and `connection_count` >= count."""
        deadline = time.monotonic() + timeout
        with self._state:
            while self._conn is None or self._connections < count:
                left = deadline - time.monotonic()
                if left <= 0 or self._closed:
                    raise TimeoutError(f"no add-in connected to {self.address} within {timeout} s")
                self._state.wait(left)

    def disconnect(self, timeout: float = 5.0) -> None:
        """Drop the current add-in connection (the add-in may reconnect).

        Waiting calls end at once; the closing handshake goes on in the
        background, so an unresponsive add-in cannot hold this up.
        """
        conn = self._conn
        if conn is None:
            return
        self._detach(conn, "disconnected by the kernel")
        close_in_background(conn.ws, 1012, "kernel disconnected")

    def close(self) -> None:
        """Stop serving: close the connection, reset the bridge, end threads."""
        if self._closed:
            return
        self._closed = True
        messaging = self._module.messaging
        if getattr(messaging, "_send_handler", None) is self._handler:
            messaging.set_send_handler(None)
        # Waiting calls end now, whatever the network does next.
        conn = self._conn
        if conn is not None:
            self._detach(conn, "kernel closed")
        if self._accept is not None:
            self._accept.stop()
            closers = []
            threads = []
            for ws in self._server.connections:
                threads += connection_threads(ws)
                # A writer may be stuck behind data the add-in is not
                # reading, and a close frame would queue behind it: cut such
                # a connection instead of waiting.
                cut_if_writing(ws)
                closers.append(close_in_background(ws, 1001, "kernel closing"))
            # An unresponsive add-in must not hold the kernel's close up.
            deadline = time.monotonic() + 5
            for closer in closers:
                closer.join(max(0.0, deadline - time.monotonic()))
            self._accept.join_handlers(max(0.0, deadline - time.monotonic()))
            for thread in threads:
                if thread is not threading.current_thread():
                    thread.join(max(0.0, deadline - time.monotonic()))
            discard_server(self._server)
        self._releases.close()
        with self._state:
            self._state.notify_all()
        self._callbacks.shutdown()

    def _process_request(self, connection: ServerConnection, request: Any) -> Any:
        # Plain GETs on the same port fetch the task pane (or get a 404).
        if self._taskpane is not None and not is_websocket_handshake(request.headers):
            return self._taskpane.respond(request.path, request.headers.get_all("Host"), request.method)
        return self._check_handshake(connection, request)

    def _check_handshake(self, connection: ServerConnection, request: Any) -> Any:
        # Runs before the connection counts for anything: a refusal leaves
        # the attached add-in, its waiting calls and its callbacks alone.
        refusal = self._gate.refusal(request)
        if refusal is None:
            # Admitted: from here the connection is the add-in's, never one of
            # the unfinished handshakes that a flood evicts. Later, once the
            # upgrade has been answered, eviction would cut a connection the
            # add-in already counts as open.
            if self._accept is not None:
                self._accept.handshake_done()
            return None
        reason, detail = refusal
        seen = self._counters.bump(self._refusals, reason)
        self._quiet.warning(f"refused:{reason}", "refused a connection from %s (%s #%d): %s",
                            peer_name(connection), reason, seen, detail)
        return connection.respond(HTTPStatus.FORBIDDEN, "connection refused by the Velmara kernel\n")

    # ------------------------------------------------------------------
    # connections (a thread each)

    def _handle(self, ws: ServerConnection) -> None:
        """Serve one admitted add-in connection (its own thread, until it closes)."""
        assert isinstance(ws, AddinConnection)  # the server makes no other kind
        mark_listener()
        old = self._conn
        if old is not None:
            self._detach(old, f"replaced by a new connection from {peer_name(ws)} that presented the token")
            close_in_background(old.ws, 1012, "replaced by a new connection")
        # A peer that stops reading must not hold a writer for ever.
        if not ws.prepare(self._send_timeout):
            return
        with self._state:
            self._connections += 1
            conn = Link(ws, self._connections, self._write_stalled)
            ws.on_text = lambda data: self._dispatch.on_frame(conn, data, False)
            self._conn = conn
            self._state.notify_all()
        log.info("add-in connected from %s (connection %d)", ws.remote_address, conn.number)
        try:
            # Only what the reader thread does not hand on arrives here:
            # fragmented text and binary messages.
            for data in ws:
                self._dispatch.on_frame(conn, data, type(data) is not str)
        except ConnectionClosed:
            pass
        finally:
            if ws.refused_for_size():
                self._dispatch.count_drop("oversized", "frame beyond the transport limit; the connection was closed")
            if self._conn is conn:
                self._detach(conn, "kernel closed" if self._closed else f"connection closed (code {ws.close_code})")

    def _accept_trouble(self, kind: str, text: str) -> None:
        self._quiet.warning(f"accept:{kind}", "%s", text)

    def _write_stalled(self, conn: Link) -> None:
        # Any thread: the write that timed out has closed the socket already.
        self._counters.bump(self._counts, "write_timeouts")
        if self._conn is conn:
            self._detach(conn, f"the add-in stopped reading (no write progress for {self._send_timeout} s)")

    def _detach(self, conn: Link, why: str) -> None:
        """Forget a connection and end every wait that depended on it."""
        with self._state:
            if self._conn is conn:
                self._conn = None
        conn.close_outbox()
        self._releases.discard()
        messaging = self._module.messaging
        waiting = len(messaging.waiters)
        if waiting:
            # The callers see a bare CancelledError; this says why.
            log.warning("add-in connection %d ended: %s; %d waiting call%s cancelled",
                        conn.number, why, waiting, "" if waiting == 1 else "s")
        else:
            log.info("add-in connection %d ended: %s; messaging reset", conn.number, why)
        messaging.reset()
        self._handler.forget_callables()
        if self._sent_at is not None:
            self._sent_at.clear()
        self._dispatch.cancel_diagnostics()

    def _send_release(self, ids: list[int]) -> None:
        conn = self._conn
        if conn is None:
            raise NotConnectedError("The Excel add-in is not connected")
        conn.push(dumps({"kind": KIND_RELEASE, "ids": ids}))

    # ------------------------------------------------------------------
    # diagnostics

    def diagnostics(self, timeout: float = 5.0) -> dict[str, Any]:
        """Ask the add-in for its diagnostic counters (object table size...).

        The query travels behind every frame sent before it, and pending
        releases go out first, so every proxy dropped earlier has been
        released when the add-in answers.
        """
        conn = self._conn
        if conn is None:
            raise NotConnectedError("The Excel add-in is not connected")
        return self._dispatch.ask_diagnostics(conn, timeout)

    def stats(self) -> dict[str, Any]:
        """Counters: requests, dels, callbacks, local answers, drops by reason, latencies."""
        out: dict[str, Any] = self._counters.snapshot("counts")
        out["dropped"] = self._counters.snapshot("dropped", nonzero=True)
        out["refused"] = self._counters.snapshot("refused", nonzero=True)
        out["release_frames"] = self._releases.frames
        out["released_ids"] = self._releases.ids
        out["connections"] = self._connections
        accept = self._accept
        if accept is not None:
            out["accept"] = {"evicted": accept.evicted, "accept_failures": accept.accept_failures,
                             "start_failures": accept.start_failures}
        latencies = sorted(self._latencies)
        if latencies:
            out["round_trips"] = len(latencies)
            out["median_round_trip_s"] = latencies[len(latencies) // 2]
            out["p99_round_trip_s"] = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))]
        return out
