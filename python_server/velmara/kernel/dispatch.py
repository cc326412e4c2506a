"""Frames from the add-in, on the connection's reader thread (the listener).

A response goes to `messaging.on_message` right there, so the answer
reaches its waiting worker with the one hop that cannot be avoided. The
listener never waits for a response, so it never calls
`send_request_sync`. Callbacks go to the worker pool (`callbacks.py`).
Nothing a frame holds is trusted (`frames.py` checks it first).
"""

from __future__ import annotations

import collections
import concurrent.futures
import time
import uuid
from collections.abc import Iterable
from types import ModuleType
from typing import Any

from ..protocol import KIND_CALLBACK, KIND_DIAG, KIND_RESPONSE, PLAIN_TAGS, TAG_ARRAY, TAG_DICT, dumps
from .callbacks import CallbackPool
from .connection import Link, mark_listener, on_listener
from .counters import Counters, QuietLog
from .frames import REJECT_REASONS, Frame, FrameRejected, read_frame
from .release import ReleaseBatcher

# An answer nobody waits for may name objects that only the kernel can
# release; a hostile one names as many as fit. Release at most this many
# per frame: the add-in keeps the rest (counted as orphans_kept).
MAX_ORPHANS_PER_FRAME = 10_000

DROP_REASONS = (*REJECT_REASONS, "internal_error")


class Dispatcher:
    """Reads, checks and routes every frame of the attached connection."""

    def __init__(self, module: ModuleType, max_frame_chars: int, counters: Counters, quiet: QuietLog,
                 releases: ReleaseBatcher, callbacks: CallbackPool, sent_at: dict[str, float] | None,
                 latencies: collections.deque[float]) -> None:
        self._module = module
        self._max_frame_chars = max_frame_chars
        self._counters = counters
        self._counts = counters.table("counts")
        self._drops = counters.table("dropped")
        self._quiet = quiet
        self._releases = releases
        self._callbacks = callbacks
        self._sent_at = sent_at
        self._latencies = latencies
        self.diag_waiters: dict[str, concurrent.futures.Future[dict[str, Any]]] = {}

    def count_drop(self, reason: str, detail: str, exc_info: bool = False) -> None:
        seen = self._counters.bump(self._drops, reason)
        self._quiet.warning(f"drop:{reason}", "dropped frame from the add-in (%s #%d): %s", reason, seen, detail,
                            exc_info=exc_info)

    def on_frame(self, conn: Link, data: Any, binary: bool) -> None:
        mark_listener()
        if conn.closed:  # frames still arriving on a connection given up
            return
        try:
            frame = read_frame(data, self._max_frame_chars, binary=binary)
        except FrameRejected as exc:
            self.count_drop(exc.reason, exc.detail)
            if exc.request_id is not None:
                # Its caller learns now instead of waiting out the time-out.
                self._module.messaging.on_message({"requestId": exc.request_id, "ok": False, "error": {
                    "message": self._unreadable(exc, len(data))}})
            return
        try:
            if frame.kind == KIND_RESPONSE:
                self._on_response(conn, frame)
            elif frame.kind == KIND_CALLBACK:
                self._counters.bump(self._counts, "callbacks")
                if not self._callbacks.submit(conn, frame):
                    self._counters.bump(self._counts, "callbacks_refused")
            else:
                self.on_diag_result(frame.message)
        except Exception:  # noqa: BLE001 - the listener must outlive any one frame
            # Rate-limited like any drop: a peer that found a way to make
            # this fail could otherwise fill the log with tracebacks.
            self.count_drop("internal_error", "handling a frame failed", exc_info=True)

    def _unreadable(self, exc: FrameRejected, size: int) -> str:
        if exc.reason == "oversized":
            return (f"The Excel add-in's answer is too large for the kernel ({size} characters, "
                    f"the limit is {self._max_frame_chars}): read less at a time")
        return f"The Excel add-in's answer cannot be read ({exc.reason}): {exc.detail}"

    def _on_response(self, conn: Link, frame: Frame) -> None:
        message = frame.message
        request_id = message["requestId"]
        if frame.problem is not None:
            self.count_drop("bad_member", f"response to {request_id}: {frame.problem}")
        if self._sent_at is not None:
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
            self._release_orphans(message.get("result"))

    def _release_orphans(self, wire: Any) -> None:
        ids: list[int] = []
        collect_object_ids(wire, ids)
        if len(ids) > MAX_ORPHANS_PER_FRAME:
            kept = len(ids) - MAX_ORPHANS_PER_FRAME
            self._counters.bump(self._counts, "orphans_kept", kept)
            seen = self._counters.bump(self._counts, "capped_answers")
            self._quiet.warning("capped", "an answer nobody waits for names %d objects (#%d); "
                                "releasing %d, the add-in keeps %d", len(ids), seen, MAX_ORPHANS_PER_FRAME, kept)
            del ids[MAX_ORPHANS_PER_FRAME:]
        for object_id in ids:
            self._releases.add(object_id)
        if ids:
            self._counters.bump(self._counts, "orphans_released", len(ids))

    def on_diag_result(self, message: dict[str, Any]) -> None:
        waiter = self.diag_waiters.pop(message["diagId"], None)
        if waiter is not None and not waiter.done():
            waiter.set_result(message)

    def ask_diagnostics(self, conn: Link, timeout: float) -> dict[str, Any]:
        """Send a diagnostic query behind every pending release and wait for its answer."""
        if on_listener():
            raise RuntimeError("diagnostics() cannot wait on the listener thread")
        diag_id = uuid.uuid4().hex
        waiter: concurrent.futures.Future[dict[str, Any]] = concurrent.futures.Future()
        self.diag_waiters[diag_id] = waiter
        try:
            self._releases.flush()
            conn.push(dumps({"kind": KIND_DIAG, "diagId": diag_id}))
            return waiter.result(timeout)
        finally:
            self.diag_waiters.pop(diag_id, None)

    def cancel_diagnostics(self) -> None:
        for diag_id in list(self.diag_waiters):
            waiter = self.diag_waiters.pop(diag_id, None)
            if waiter is not None and not waiter.done():
                waiter.cancel()


def collect_object_ids(wire: Any, out: list[int]) -> None:
    """Every remote object an add-in answer names, the way the decoder sees it."""
    if type(wire) is not dict:
        return
    tag = wire.get("type")
    value = wire.get("value")
    if tag in (TAG_ARRAY, TAG_DICT):
        if type(wire.get("id")) is int:
            out.append(wire["id"])
        items: Iterable[Any] = ()
        if tag == TAG_ARRAY:
            if type(value) is list:
                items = value
        elif type(value) is dict:
            items = value.values()
        for item in items:
            collect_object_ids(item, out)
    elif tag not in PLAIN_TAGS and wire.get("isSpec") and type(value) is int:
        out.append(value)
