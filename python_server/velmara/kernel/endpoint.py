"""The kernel's end of the add-in connection.

The transport is threaded, with no event loop between the bridge and the
socket, because every hop between threads costs a round trip dearly:

- A request is written by the worker that makes it: the send handler turns
  the envelope into JSON text and writes the frame to the socket itself.
- Frames from the add-in are parsed by the connection's reader thread,
  which is the bridge's listener: it calls `messaging.on_message` for a
  response right there, so the answer reaches its waiting worker with the
  one hop that cannot be avoided. The listener never waits for a response,
  so it never calls `send_request_sync`.
- DELs are answered at once on the finalizing thread; their ids go to the
  add-in in coalesced "release" frames (see `release.py`).

A far end that stops reading cannot hold a writer for ever: a write that
makes no progress for `send_timeout` seconds ends the connection.

Callbacks that the add-in invokes run on a small worker pool, never on the
listener, because a callback may use proxies and so wait for responses
that only the listener can deliver.
"""

from __future__ import annotations

import collections
import concurrent.futures
import ipaddress
import logging
import ssl
import threading
import time
import uuid
from collections.abc import Callable, Iterable
from http import HTTPStatus
from types import ModuleType
from typing import Any

from websockets.exceptions import ConnectionClosed
from websockets.frames import Opcode
from websockets.sync.server import ServerConnection, serve

from ..protocol import KIND_DIAG, KIND_RELEASE, MAX_FRAME_CHARS, dumps, dumps_bytes
from . import frames
from .frames import Frame, FrameRejected, read_frame
from .handshake import REFUSE_REASONS, Gate, RedactingLogger, checked_token, new_token
from .release import ReleaseBatcher
from .taskpane import TaskPane, is_websocket_handshake

log = logging.getLogger("velmara.kernel")

# Every DEL is answered on the spot with this result (the bridge does not
# look at it); its id goes to the add-in later, in a release frame.
_NULL_WIRE = {"type": "Null", "value": None, "isSpec": False}

# Frames that pass the kernel's limit but not the library's close the
# connection (code 1009); between the two they are dropped one by one.
_LIBRARY_LIMIT_FACTOR = 2

# After this many log lines of one drop reason, only every 1000th is logged.
_LOUD_DROPS = 20

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

# An answer nobody waits for may name objects that only the kernel can
# release; a hostile one names as many as fit. Release at most this many
# per frame: the add-in keeps the rest (counted as orphans_kept).
MAX_ORPHANS_PER_FRAME = 10_000

# Every counter exists from the start (see Kernel._bump).
_COUNTERS = ("requests", "dels", "callbacks", "orphans_released", "orphans_kept", "capped_answers",
             "write_timeouts")
_DROP_REASONS = (*frames.REJECT_REASONS, "internal_error")


def _peer(ws: ServerConnection) -> str:
    address = ws.remote_address
    return f"{address[0]}:{address[1]}" if address else "an unknown address"

# Threads that serve the add-in's frames: a proxy used there would wait for
# an answer that only that thread can deliver.
_listener = threading.local()


class _AddinConnection(ServerConnection):
    """A server connection whose reader thread hands complete text frames on at once.

    The library queues every message for a `recv()` on another thread; a
    text frame that is a whole message goes to `on_text` on the reader
    thread instead. Fragmented and binary messages take the library's road.
    """

    on_text: Callable[[Any], None] | None = None

    def process_event(self, event: Any) -> None:
        on_text = self.on_text
        if on_text is not None and self.request is not None and event.opcode is Opcode.TEXT and event.fin:
            on_text(event.data)
        else:
            super().process_event(event)


def _is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


class NotConnectedError(ConnectionError):
    """No add-in is connected to the kernel."""


class _Connection:
    """One accepted add-in connection: frames go straight to its socket."""

    __slots__ = ("_on_stall", "closed", "number", "ws")

    def __init__(self, ws: ServerConnection, number: int, on_stall: Callable[[_Connection], None]) -> None:
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
    ) -> None:
        if not _is_loopback(host):
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
        self._track_latency = track_latency
        self._taskpane = taskpane
        self._ssl = ssl_context

        self._thread: threading.Thread | None = None
        self._server: Any = None
        self._pool: concurrent.futures.ThreadPoolExecutor | None = None
        self._conn: _Connection | None = None
        self._connections = 0
        self._state = threading.Condition()
        self._closed = False

        self._counts_lock = threading.Lock()
        self._counts = dict.fromkeys(_COUNTERS, 0)
        self._drops = dict.fromkeys(_DROP_REASONS, 0)
        self._refusals = dict.fromkeys(REFUSE_REASONS, 0)
        self._sent_at: dict[str, float] = {}
        self._latencies: collections.deque[float] = collections.deque(maxlen=100_000)
        self._diag_waiters: dict[str, concurrent.futures.Future[dict[str, Any]]] = {}
        self._releases = ReleaseBatcher(self._send_release)
        # One bound method, so that close() can tell whether it is still ours.
        self._handler: Callable[[dict[str, Any]], None] = self._send

    # ------------------------------------------------------------------
    # life cycle

    def start(self) -> Kernel:
        if self._thread is not None:
            raise RuntimeError("the kernel is already started")
        self._pool = concurrent.futures.ThreadPoolExecutor(
            max_workers=self._workers, thread_name_prefix="velmara-callback")
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
            create_connection=_AddinConnection,
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
        self._thread = threading.Thread(
            target=self._server.serve_forever, name="velmara-kernel-listener", daemon=True)
        self._thread.start()
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
        return self if self._thread is not None else self.start()

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
        _close_in_background(conn.ws, 1012, "kernel disconnected")

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
        server = self._server
        if server is not None:
            for ws in server.connections:
                if ws.protocol_mutex.locked():
                    # A writer is (or may be) stuck behind data the add-in
                    # is not reading, and a close frame would queue behind
                    # it: cut the connection instead of waiting.
                    ws.close_socket()
            # The server waits for its connections' closing handshakes; an
            # unresponsive add-in must not hold the kernel's close up.
            stopper = threading.Thread(target=server.shutdown, name="velmara-kernel-close", daemon=True)
            stopper.start()
            stopper.join(timeout=5)
            if self._thread is not None and self._thread is not threading.current_thread():
                self._thread.join(timeout=5)
        self._releases.close()
        with self._state:
            self._state.notify_all()
        if self._pool is not None:
            on_pool = threading.current_thread().name.startswith("velmara-callback")
            self._pool.shutdown(wait=not on_pool, cancel_futures=True)

    def _process_request(self, connection: ServerConnection, request: Any) -> Any:
        # Plain GETs on the same port fetch the task pane (or get a 404).
        if self._taskpane is not None and not is_websocket_handshake(request.headers):
            return self._taskpane.respond(request.path, request.headers.get_all("Host"))
        return self._check_handshake(connection, request)

    def _check_handshake(self, connection: ServerConnection, request: Any) -> Any:
        # Runs before the connection counts for anything: a refusal leaves
        # the attached add-in, its waiting calls and its callbacks alone.
        refusal = self._gate.refusal(request)
        if refusal is None:
            return None
        reason, detail = refusal
        seen = self._bump(self._refusals, reason)
        if seen <= _LOUD_DROPS or seen % 1000 == 0:
            log.warning("refused a connection from %s (%s #%d): %s",
                        _peer(connection), reason, seen, detail)
        return connection.respond(HTTPStatus.FORBIDDEN, "connection refused by the Velmara kernel\n")

    # ------------------------------------------------------------------
    # connections (listener thread)

    def _handle(self, ws: ServerConnection) -> None:
        """Serve one add-in connection (its own thread, until it closes)."""
        assert isinstance(ws, _AddinConnection)  # the server makes no other kind
        _listener.active = True
        threading.current_thread().name = "velmara-kernel-connection"
        ws.recv_events_thread.name = "velmara-kernel-reader"
        old = self._conn
        if old is not None:
            self._detach(old, f"replaced by a new connection from {_peer(ws)} that presented the token")
            _close_in_background(old.ws, 1012, "replaced by a new connection")
        try:
            # A peer that stops reading must not hold a writer for ever.
            ws.socket.settimeout(self._send_timeout)
        except OSError:
            return
        with self._state:
            self._connections += 1
            conn = _Connection(ws, self._connections, self._write_stalled)
            ws.on_text = lambda data: self._on_frame(conn, data, False)
            self._conn = conn
            self._state.notify_all()
        log.info("add-in connected from %s (connection %d)", ws.remote_address, conn.number)
        try:
            # Only what the reader thread does not hand on arrives here:
            # fragmented text and binary messages.
            for data in ws:
                self._on_frame(conn, data, type(data) is not str)
        except ConnectionClosed:
            pass
        finally:
            sent = ws.protocol.close_sent
            if sent is not None and sent.code == 1009:  # the library refused a frame
                self._count_drop("oversized", "frame beyond the transport limit; the connection was closed")
            if self._conn is conn:
                self._detach(conn, "kernel closed" if self._closed else f"connection closed (code {ws.close_code})")

    def _write_stalled(self, conn: _Connection) -> None:
        # Any thread: the write that timed out has closed the socket already.
        self._bump(self._counts, "write_timeouts")
        if self._conn is conn:
            self._detach(conn, f"the add-in stopped reading (no write progress for {self._send_timeout} s)")

    def _detach(self, conn: _Connection, why: str) -> None:
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
        self._sent_at.clear()
        for diag_id in list(self._diag_waiters):
            waiter = self._diag_waiters.pop(diag_id, None)
            if waiter is not None and not waiter.done():
                waiter.cancel()

    # ------------------------------------------------------------------
    # incoming frames (listener thread)

    def _bump(self, table: dict[str, int], key: str, n: int = 1) -> int:
        # The DEL path counts too, from whatever thread a finalizer runs on.
        # Every key exists from the start and values are ints, so nothing
        # under the lock runs Python code or allocates a tracked object: no
        # collection, and so no finalizer, can start while it is held.
        with self._counts_lock:
            table[key] += n
            return table[key]

    def _count_drop(self, reason: str, detail: str, exc_info: bool = False) -> None:
        seen = self._bump(self._drops, reason)
        if seen <= _LOUD_DROPS or seen % 1000 == 0:
            log.warning("dropped frame from the add-in (%s #%d): %s", reason, seen, detail, exc_info=exc_info)

    def _on_frame(self, conn: _Connection, data: Any, binary: bool) -> None:
        _listener.active = True
        if conn.closed:  # frames still arriving on a connection given up
            return
        try:
            frame = read_frame(data, self._max_frame_chars, binary=binary)
        except FrameRejected as exc:
            self._count_drop(exc.reason, exc.detail)
            if exc.request_id is not None:
                # Its caller learns now instead of waiting out the time-out.
                self._module.messaging.on_message({"requestId": exc.request_id, "ok": False, "error": {
                    "message": f"The Excel add-in's answer is too large for the kernel ({len(data)} "
                               f"characters, the limit is {self._max_frame_chars}): read less at a time"}})
            return
        try:
            if frame.kind == frames.KIND_RESPONSE:
                self._on_response(conn, frame)
            elif frame.kind == frames.KIND_CALLBACK:
                self._on_callback(conn, frame)
            else:
                self._on_diag_result(frame.message)
        except Exception:  # noqa: BLE001 - the listener must outlive any one frame
            # Rate-limited like any drop: a peer that found a way to make
            # this fail could otherwise fill the log with tracebacks.
            self._count_drop("internal_error", "handling a frame failed", exc_info=True)

    def _on_response(self, conn: _Connection, frame: Frame) -> None:
        message = frame.message
        request_id = message["requestId"]
        if frame.problem is not None:
            self._count_drop("bad_member", f"response to {request_id}: {frame.problem}")
        if self._track_latency:
            sent = self._sent_at.pop(request_id, None)
            if sent is not None:
                self._latencies.append(time.perf_counter() - sent)
        messaging = self._module.messaging
        if request_id in messaging.waiters:
            messaging.on_message(message)
            return
        # Nobody waits for this answer: a DEL that was acknowledged locally,
        # or a request that timed out or was cancelled. References in it
        # never became proxies, so nobody else will ever release them.
        if message.get("ok"):
            self._release_orphans(conn, message.get("result"))

    def _release_orphans(self, conn: _Connection, wire: Any) -> None:
        ids: list[int] = []
        _collect_object_ids(wire, ids)
        if len(ids) > MAX_ORPHANS_PER_FRAME:
            kept = len(ids) - MAX_ORPHANS_PER_FRAME
            self._bump(self._counts, "orphans_kept", kept)
            seen = self._bump(self._counts, "capped_answers")
            if seen <= _LOUD_DROPS or seen % 1000 == 0:
                log.warning("an answer nobody waits for names %d objects (#%d); releasing %d, the add-in keeps %d",
                            len(ids), seen, MAX_ORPHANS_PER_FRAME, kept)
            del ids[MAX_ORPHANS_PER_FRAME:]
        for object_id in ids:
            self._releases.add(object_id)
        if ids:
            self._bump(self._counts, "orphans_released", len(ids))

    def _on_diag_result(self, message: dict[str, Any]) -> None:
        waiter = self._diag_waiters.pop(message["diagId"], None)
        if waiter is not None and not waiter.done():
            waiter.set_result(message)

    def _on_callback(self, conn: _Connection, frame: Frame) -> None:
        assert self._pool is not None
        self._bump(self._counts, "callbacks")
        try:
            self._pool.submit(self._run_callback, conn, frame)
        except RuntimeError:  # pool shut down: the kernel is closing
            log.debug("callback dropped: the kernel is closing")

    # ------------------------------------------------------------------
    # callbacks (worker pool)

    def _run_callback(self, conn: _Connection, frame: Frame) -> None:
        message = frame.message
        call_id = message["callId"]
        module = self._module
        func = None
        try:
            if frame.problem is not None:
                raise ValueError(f"Malformed callback invocation: {frame.problem}")
            callable_id = message["callableId"]
            func = module.messaging.get_callable(callable_id)
            if func is None:
                raise LookupError(f"No Python callable is registered under {callable_id!r}")
            serializer = module.Serializer
            args = [serializer.from_wire(arg) for arg in message.get("args", ())]
            result = func(*args)
            del args
            reply = {"kind": "callback_result", "callId": call_id, "ok": True,
                     "result": serializer.to_wire(result)}
            del result
            text = dumps(reply)
        except Exception as exc:
            # Once the callable is found the failure is the user's code:
            # its traceback is what they need to mend it.
            log.warning("callback %s failed: %s: %s", call_id, type(exc).__name__, exc, exc_info=func is not None)
            # The error text may hold what the result could not (a lone
            # surrogate): escape it rather than leave the add-in unanswered.
            error = f"{type(exc).__name__}: {exc}".encode("utf-8", "backslashreplace").decode()
            text = dumps({"kind": "callback_result", "callId": call_id, "ok": False,
                          "error": {"message": error}})
        try:
            conn.push(text)
        except NotConnectedError:
            log.info("callback %s finished after its connection closed; result dropped", call_id)

    # ------------------------------------------------------------------
    # the send handler (any thread)

    def _send(self, envelope: dict[str, Any]) -> None:
        if envelope.get("method") == "DEL":
            self._send_del(envelope)
            return
        conn = self._conn
        if conn is None:
            raise NotConnectedError("The Excel add-in is not connected")
        if getattr(_listener, "active", False):
            raise RuntimeError("a proxy was used on the kernel's listener thread; "
                               "it would wait for a response that only that thread can deliver")
        text = dumps_bytes(envelope)
        if self._track_latency:
            self._sent_at[envelope["requestId"]] = time.perf_counter()
        try:
            conn.push(text)
        except NotConnectedError:
            if envelope["requestId"] not in self._module.messaging.waiters:
                # The connection went while this frame was being written and
                # the reset has cancelled the call already: it ends as every
                # other waiting call does.
                return
            raise
        self._bump(self._counts, "requests")

    def _send_del(self, envelope: dict[str, Any]) -> None:
        # A finalizer may run on any thread, the listener and interpreter
        # exit included: note the id for the next release frame, then
        # answer it here and now.
        try:
            if self._conn is not None:
                self._releases.add(envelope.get("caller"))
                self._bump(self._counts, "dels")
        except Exception:  # the DEL is answered below whatever failed here
            log.debug("a released id was not noted", exc_info=True)
        self._module.messaging.on_message(
            {"requestId": envelope["requestId"], "ok": True, "result": _NULL_WIRE})

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
        if getattr(_listener, "active", False):
            raise RuntimeError("diagnostics() cannot wait on the listener thread")
        diag_id = uuid.uuid4().hex
        waiter: concurrent.futures.Future[dict[str, Any]] = concurrent.futures.Future()
        self._diag_waiters[diag_id] = waiter
        try:
            self._releases.flush()
            conn.push(dumps({"kind": KIND_DIAG, "diagId": diag_id}))
            return waiter.result(timeout)
        finally:
            self._diag_waiters.pop(diag_id, None)

    def stats(self) -> dict[str, Any]:
        """Counters: requests, dels, callbacks, drops by reason, latencies."""
        # Copying a dict of ints is one step for the interpreter: no lock.
        out: dict[str, Any] = dict(self._counts)
        out["dropped"] = {reason: n for reason, n in self._drops.copy().items() if n}
        out["refused"] = {reason: n for reason, n in self._refusals.copy().items() if n}
        out["release_frames"] = self._releases.frames
        out["released_ids"] = self._releases.ids
        out["connections"] = self._connections
        latencies = sorted(self._latencies)
        if latencies:
            out["round_trips"] = len(latencies)
            out["median_round_trip_s"] = latencies[len(latencies) // 2]
            out["p99_round_trip_s"] = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))]
        return out


def _close_in_background(ws: ServerConnection, code: int, reason: str) -> None:
    """Start the closing handshake without waiting for an add-in that may never answer."""
    threading.Thread(target=ws.close, args=(code, reason), name="velmara-kernel-close", daemon=True).start()


_TAGS = frozenset(("Null", "Bool", "Int", "Float", "String", "Date", "Bytes", "Array", "Dict"))


def _collect_object_ids(wire: Any, out: list[int]) -> None:
    """Every remote object an add-in answer names, the way the decoder sees it."""
    if type(wire) is not dict:
        return
    tag = wire.get("type")
    value = wire.get("value")
    if tag == "Array" or tag == "Dict":
        if type(wire.get("id")) is int:
            out.append(wire["id"])
        items: Iterable[Any] = ()
        if tag == "Array":
            if type(value) is list:
                items = value
        elif type(value) is dict:
            items = value.values()
        for item in items:
            _collect_object_ids(item, out)
    elif tag not in _TAGS and wire.get("isSpec") and type(value) is int:
        out.append(value)
