"""Running the Python callables that the add-in invokes.

Callbacks run on a small worker pool, never on the listener, because a
callback may use proxies and so wait for responses that only the listener
can deliver. The pool holds at most `max_queued` invocations, running or
waiting: an add-in (or whoever holds its connection) that fires events
faster than the user's code handles them gets a refusal for each one past
that, answered at once, instead of a queue that grows without end.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import logging
import threading
from types import ModuleType

from ..protocol import KIND_CALLBACK_RESULT, dumps
from .connection import Link, NotConnectedError
from .counters import QuietLog
from .frames import Frame

log = logging.getLogger("velmara.kernel")

# Invocations running or waiting: room for a burst of events while a slow
# handler runs, and a bound on what a flood of callback frames can hold.
DEFAULT_MAX_QUEUED = 256


def _error_text(exc: BaseException) -> str:
    # The error text may hold what the result could not (a lone surrogate):
    # escape it rather than leave the add-in unanswered.
    return f"{type(exc).__name__}: {exc}".encode("utf-8", "backslashreplace").decode()


def failure(call_id: str, message: str) -> str:
    return dumps({"kind": KIND_CALLBACK_RESULT, "callId": call_id, "ok": False, "error": {"message": message}})


class CallbackPool:
    """The worker threads of the callbacks and the bound on what waits for them."""

    def __init__(self, module: ModuleType, workers: int, quiet: QuietLog, *,
                 max_queued: int = DEFAULT_MAX_QUEUED) -> None:
        self._module = module
        self._quiet = quiet
        self.max_queued = max_queued
        self._slots = threading.BoundedSemaphore(max_queued)
        self._pool = concurrent.futures.ThreadPoolExecutor(max_workers=workers, thread_name_prefix="velmara-callback")

    def submit(self, conn: Link, frame: Frame) -> bool:
        """Queue one invocation; False (the add-in told why) when the pool is full or closed."""
        if not self._slots.acquire(blocking=False):
            call_id = frame.message["callId"]
            self._quiet.warning("callback_refused", "callback %s refused: %d callbacks are running or waiting",
                                call_id, self.max_queued)
            with contextlib.suppress(NotConnectedError):
                conn.push(failure(call_id, f"RuntimeError: the Python kernel is busy ({self.max_queued} callbacks "
                                           "are running or waiting); this event was not handled"))
            return False
        try:
            self._pool.submit(self._run, conn, frame)
        except RuntimeError:  # shut down: the kernel is closing
            self._slots.release()
            log.debug("callback dropped: the kernel is closing")
            return False
        return True

    def shutdown(self) -> None:
        on_pool = threading.current_thread().name.startswith("velmara-callback")
        self._pool.shutdown(wait=not on_pool, cancel_futures=True)

    def _run(self, conn: Link, frame: Frame) -> None:
        try:
            text = self._call(frame)
            try:
                conn.push(text)
            except NotConnectedError:
                log.info("callback %s finished after its connection closed; result dropped", frame.message["callId"])
        finally:
            self._slots.release()

    def _call(self, frame: Frame) -> str:
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
            reply = {"kind": KIND_CALLBACK_RESULT, "callId": call_id, "ok": True, "result": serializer.to_wire(result)}
            del result
            return dumps(reply)
        except Exception as exc:  # noqa: BLE001 - answered to the add-in, logged for the user
            # Once the callable is found the failure is the user's code:
            # its traceback is what they need to mend it.
            self._quiet.warning("callback_failed", "callback %s failed: %s: %s", call_id, type(exc).__name__, exc,
                                exc_info=func is not None)
            return failure(call_id, _error_text(exc))
