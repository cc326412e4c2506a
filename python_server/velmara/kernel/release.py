"""Coalescing released object ids into "release" frames.

Every proxy sends its own DEL when it is finalized, on whatever thread
that happens. The kernel answers each DEL at once and only notes the id;
the ids go to the add-in together, one "release" frame per `limit` ids or
per `interval` seconds, whichever comes first, and always before a frame
that must see every earlier release (a diagnostic query). Ids the add-in
never stores (the pinned roots and the snapshot id) are not noted at all.
"""

from __future__ import annotations

import threading
from typing import Any, Callable

from ..protocol import LOCAL_IDS

# Enough for a large read's worth of references in one frame (about 20
# characters an id), small enough that a frame stays far below any limit.
DEFAULT_LIMIT = 4096
# Short beside any user-visible delay, long beside a round trip, so that a
# loop of reads shares one frame instead of paying one per read.
DEFAULT_INTERVAL = 0.02


class ReleaseBatcher:
    """Pending released ids and the thread that sends them when they wait too long.

    `send(ids)` transmits one release frame; it is called with the batcher's
    lock held, so frames leave in the order their ids were noted and
    `flush()` returns only after everything noted before it was handed on.
    """

    def __init__(self, send: Callable[[list[int]], None], *,
                 limit: int = DEFAULT_LIMIT, interval: float = DEFAULT_INTERVAL) -> None:
        self._send = send
        self._limit = limit
        self._interval = interval
        self._lock = threading.Lock()
        self._wake = threading.Condition(threading.Lock())
        self._pending: list[int] = []
        self._closed = False
        self._armed = False
        self._stopped = threading.Event()
        self._thread: threading.Thread | None = None
        self.frames = 0
        self.ids = 0

    def add(self, object_id: Any) -> None:
        """Note one released reference (any thread, never waits on the network for long)."""
        if type(object_id) is not int or object_id in LOCAL_IDS:
            return
        with self._lock:
            self._pending.append(object_id)
            full = len(self._pending) >= self._limit
            if full:
                self._send_pending()
        if not full:
            self._start_timer()

    def flush(self) -> None:
        """Hand every noted id on now."""
        with self._lock:
            self._send_pending()

    def discard(self) -> None:
        """Forget noted ids (their connection is gone; the add-in forgot them too)."""
        with self._lock:
            self._pending = []

    def close(self) -> None:
        with self._wake:
            self._closed = True
            self._stopped.set()
            self._wake.notify_all()
            thread = self._thread
        if thread is not None and thread is not threading.current_thread():
            thread.join(timeout=5)

    def _send_pending(self) -> None:
        ids = self._pending
        if not ids:
            return
        self._pending = []
        self.frames += 1
        self.ids += len(ids)
        try:
            self._send(ids)
        except Exception:  # no connection: the add-in forgot those objects anyway
            pass

    def _start_timer(self) -> None:
        with self._wake:
            if self._closed or self._armed:
                return
            self._armed = True
            if self._thread is None:
                thread = threading.Thread(target=self._run, name="velmara-kernel-release", daemon=True)
                try:
                    thread.start()
                except RuntimeError:  # interpreter shutting down: nobody is left to tell
                    return
                self._thread = thread
            self._wake.notify()

    def _run(self) -> None:
        while True:
            with self._wake:
                while not self._closed and not self._armed:
                    self._wake.wait()
                if self._closed:
                    return
            # Let more ids gather; adds meanwhile do not cut the wait short.
            if self._stopped.wait(self._interval):
                return
            with self._wake:
                self._armed = False
            self.flush()
