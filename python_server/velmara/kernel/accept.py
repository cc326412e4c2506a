"""The kernel's accept loop: it outlasts a flood of idle connections.

Any local program can open TCP connections to the kernel's port without
the token, and each one costs a thread, a reader thread and a descriptor
until its opening handshake ends (ten seconds for one that says nothing).
The library's own loop ends for good on the first failed `accept()` (no
descriptor left: EMFILE, ENFILE) or thread start, leaving the port bound
and the add-in locked out. This loop instead:

- keeps at most `max_pending` connections that have not finished their
  handshake, and closes the oldest of them when a new one arrives past
  that: the kernel serves one add-in, and the newest connection is the
  likeliest to be it, while an idle flood holds nothing for long;
- after a failed `accept()` or thread start, closes the oldest pending
  connection (giving its descriptor and threads back), waits a little,
  longer after each failure in a row, and goes on.

So the add-in gets in as soon as a flood ends, or during it when its
handshake is quicker than the flood's next `max_pending` connections.

`handle(sock, address)` is the library's per-connection handler
(`Server.handler`): handshake, then the kernel's session. It calls
`handshake_done()` on its own thread once the add-in is admitted.
"""

from __future__ import annotations

import contextlib
import errno
import logging
import selectors
import socket
import threading
from collections.abc import Callable
from typing import Any

log = logging.getLogger("velmara.kernel")

# Connections still in their opening handshake. A handshake on loopback
# takes milliseconds; a few at once are a browser's retries at most.
DEFAULT_MAX_PENDING = 8

# Waits after failures in a row: doubling from the first to the last.
_FIRST_BACKOFF_S = 0.01
_LAST_BACKOFF_S = 0.5

# Failures of accept() that pass once descriptors or memory are back.
_EXHAUSTED = frozenset((errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM))
# Connection threads (a test makes their start fail).
_Thread = threading.Thread

# Failures that concern the one connection being accepted, nothing else.
_ONE_GONE = frozenset((errno.ECONNABORTED, errno.EPROTO, errno.EINTR))


class AcceptLoop:
    """Accepts connections on `listener` and serves each on a thread of its own."""

    def __init__(self, listener: socket.socket, handle: Callable[[socket.socket, Any], None], *,
                 max_pending: int = DEFAULT_MAX_PENDING, on_trouble: Callable[[str, str], None] | None = None) -> None:
        self._listener = listener
        self._handle = handle
        self._max_pending = max(1, max_pending)
        self._on_trouble = on_trouble or (lambda key, text: log.warning("%s", text))
        self._pending: dict[object, socket.socket] = {}
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._wake_r, self._wake_w = socket.socketpair()
        self._local = threading.local()
        self._threads: set[threading.Thread] = set()
        self.thread = threading.Thread(target=self._run, name="velmara-kernel-listener", daemon=True)
        # What the loop did about floods, for the kernel's stats().
        self.evicted = 0
        self.accept_failures = 0
        self.start_failures = 0

    def start(self) -> None:
        self.thread.start()

    def handshake_done(self) -> None:
        """The calling connection thread's handshake passed: it no longer counts as pending."""
        key = getattr(self._local, "key", None)
        if key is not None:
            with self._lock:
                self._pending.pop(key, None)

    def stop(self, timeout: float = 5.0) -> None:
        """Stop accepting, close the listener, and cut connections still in their handshake."""
        self._stopping.set()
        with contextlib.suppress(OSError):
            self._wake_w.send(b"x")
        if self.thread.is_alive() and self.thread is not threading.current_thread():
            self.thread.join(timeout)
        self._listener.close()
        with self._lock:
            pending = list(self._pending.values())
            self._pending.clear()
        for sock in pending:
            _shut(sock)

    def join_handlers(self, timeout: float) -> None:
        """Wait, bounded in all, for the connection threads to end."""
        with self._lock:
            threads = list(self._threads)
        share = timeout / max(1, len(threads))
        for thread in threads:
            if thread is not threading.current_thread():
                thread.join(share)

    # ------------------------------------------------------------------

    def _run(self) -> None:
        selector = selectors.DefaultSelector()
        try:
            selector.register(self._wake_r, selectors.EVENT_READ)
            selector.register(self._listener, selectors.EVENT_READ)
            failures = 0
            while not self._stopping.is_set():
                selector.select()
                if self._stopping.is_set():
                    break
                if self._accept_one():
                    failures = 0
                    continue
                failures += 1
                self._evict_oldest()
                self._stopping.wait(min(_LAST_BACKOFF_S, _FIRST_BACKOFF_S * 2 ** min(failures - 1, 10)))
        except (OSError, ValueError):
            # The listener was closed under the selector: the kernel is closing.
            if not self._stopping.is_set():
                log.exception("the kernel's accept loop ended")
        finally:
            selector.close()
            self._wake_r.close()
            self._wake_w.close()

    def _accept_one(self) -> bool:
        """Accept and start one connection; False after a failure that calls for a pause."""
        try:
            sock, address = self._listener.accept()
        except OSError as exc:
            if self._stopping.is_set():
                return True
            self.accept_failures += 1
            if exc.errno in _EXHAUSTED:
                self._on_trouble("accept", f"cannot accept a connection ({exc.strerror}); "
                                           "closing the oldest unfinished handshake and trying again")
                return False
            if exc.errno in _ONE_GONE:
                return True
            self._on_trouble("accept", f"cannot accept a connection ({exc}); trying again")
            return False
        key = object()
        with self._lock:
            if len(self._pending) >= self._max_pending:
                self._evict_oldest_locked()
            self._pending[key] = sock
        thread = _Thread(target=self._serve, args=(key, sock, address),
                                  name="velmara-kernel-connection", daemon=True)
        try:
            with self._lock:
                self._threads.add(thread)
            thread.start()
        except RuntimeError as exc:  # can't start new thread
            self.start_failures += 1
            with self._lock:
                self._threads.discard(thread)
                self._pending.pop(key, None)
            sock.close()
            self._on_trouble("thread", f"cannot serve a connection ({exc}); "
                                       "closing the oldest unfinished handshake and trying again")
            return False
        return True

    def _serve(self, key: object, sock: socket.socket, address: Any) -> None:
        self._local.key = key
        try:
            self._handle(sock, address)
        finally:
            with self._lock:
                self._pending.pop(key, None)
                self._threads.discard(threading.current_thread())

    def _evict_oldest(self) -> None:
        with self._lock:
            self._evict_oldest_locked()

    def _evict_oldest_locked(self) -> None:
        if not self._pending:
            return
        oldest = next(iter(self._pending))
        _shut(self._pending.pop(oldest))
        self.evicted += 1


def _shut(sock: socket.socket) -> None:
    # shutdown(), not close(): the connection's own threads still use the
    # descriptor. They see the end of the stream, end the handshake and
    # close it themselves.
    with contextlib.suppress(OSError):
        sock.shutdown(socket.SHUT_RDWR)
