"""Coalescing released object ids into "release" frames.

Every proxy sends its own DEL when it is finalized, on whatever thread the
garbage collector happens to run: a worker in the middle of writing a
frame, the reader thread, this module's own thread. The kernel answers
each DEL at once and only notes the id here, so noting one takes no lock
and never touches the network: a deque append and, when the batch starts
or fills, a token in a SimpleQueue (whose put is safe even from inside a
finalizer). The ids go to the add-in together, one "release" frame per
`limit` ids or per `interval` seconds, whichever comes first, and always
before a frame that must see every earlier release (a diagnostic query).
Ids the add-in never stores (the pinned roots and the snapshot id) are not
noted at all, nor are ids that no JSON number carries exactly.
"""

from __future__ import annotations

import collections
import queue
import threading
import time
from collections.abc import Callable
from typing import Any

from ..protocol import LOCAL_IDS, MAX_EXACT_INT

# Enough for a large read's worth of references in one frame (about 20
# characters an id), small enough that a frame stays far below any limit.
DEFAULT_LIMIT = 4096
# Short beside any user-visible delay, long beside a round trip, so that a
# loop of reads shares one frame instead of paying one per read.
DEFAULT_INTERVAL = 0.02


class ReleaseBatcher:
    """Pending released ids and the thread that sends them.

    `send(ids)` transmits one release frame, or raises ConnectionError. Frames go out under a lock
    that noting an id never takes, so they leave in the order their ids
    were noted, and `flush()` returns only once everything noted before it
    was handed on.
    """

    def __init__(self, send: Callable[[list[int]], None], *,
                 limit: int = DEFAULT_LIMIT, interval: float = DEFAULT_INTERVAL) -> None:
        self._send = send
        self._limit = limit
        self._interval = interval
        self._pending: collections.deque[int] = collections.deque()
        self._tokens: queue.SimpleQueue[bool] = queue.SimpleQueue()
        self._armed = False
        self._send_lock = threading.Lock()
        self._closed = threading.Event()
        self._thread: threading.Thread | None = None
        self._start_lock = threading.Lock()
        self.frames = 0
        self.ids = 0

    def add(self, object_id: Any) -> None:
        """Note one released reference: any thread, finalizers included; no lock, no I/O."""
        if type(object_id) is not int or object_id in LOCAL_IDS or not -MAX_EXACT_INT <= object_id <= MAX_EXACT_INT:
            return
        pending = self._pending
        pending.append(object_id)
        if not self._armed or len(pending) == self._limit:
            self._armed = True
            self._tokens.put(True)

    def start(self) -> None:
        with self._start_lock:
            if self._thread is None and not self._closed.is_set():
                self._thread = threading.Thread(target=self._run, name="velmara-kernel-release", daemon=True)
                self._thread.start()

    def flush(self) -> None:
        """Hand every noted id on now (not from a finalizer)."""
        with self._send_lock:
            self._send_pending()

    def discard(self) -> None:
        """Forget noted ids (their connection is gone; the add-in forgot them too).

        Takes no lock: a write that fails inside `flush` ends its connection,
        and that ends here.
        """
        self._take()

    def close(self) -> None:
        self._closed.set()
        self._tokens.put(False)
        thread = self._thread
        if thread is not None and thread is not threading.current_thread():
            thread.join(timeout=5)

    def _take(self) -> list[int]:
        pending, ids = self._pending, []
        popleft = pending.popleft
        try:
            while True:
                ids.append(popleft())
        except IndexError:
            return ids

    def _send_pending(self) -> None:
        while True:
            ids = self._take()
            if not ids:
                return
            for start in range(0, len(ids), self._limit):
                chunk = ids[start:start + self._limit]
                self.frames += 1
                self.ids += len(chunk)
                try:
                    self._send(chunk)
                except ConnectionError:  # no connection: the add-in forgot those objects anyway
                    return

    def _run(self) -> None:
        tokens = self._tokens
        while not self._closed.is_set():
            tokens.get()
            # A batch has started: let more ids gather, unless it fills.
            deadline = time.monotonic() + self._interval
            while not self._closed.is_set() and len(self._pending) < self._limit:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                try:
                    tokens.get(timeout=left)
                except queue.Empty:
                    break
            if self._closed.is_set():
                return
            self._armed = False
            self.flush()
