"""Hosts that answer the bridge's requests in process.

- `InlineHost` answers each envelope during the send handler call, on the
  requesting thread. The bridge registers its waiter before it calls the
  handler, so the call completes without a second thread; an exception of
  `answer` reaches the caller the way a failing transport's would.
- `ThreadedHost` queues each envelope and answers it on a listener thread,
  the way the kernel's listener does: real cross-thread round trips.

Both keep what was sent (`envelopes`, `counts`, `last`) and let a test wait,
bounded, for a condition over what was sent and answered (`wait_for`).
`answer(envelope)` returns the response without its `requestId` (the host
adds it unless the response names one itself) or None to leave the request
unanswered.
"""

from __future__ import annotations

import collections
import concurrent.futures
import queue
import threading
from collections.abc import Callable
from typing import Any, Protocol, Self

from ..protocol import NULL_WIRE

Envelope = dict[str, Any]
Response = dict[str, Any]
Answer = Callable[[Envelope], Response | None]



def null_answer(envelope: Envelope) -> Response:
    """Success with a null result, whatever was asked."""
    return {"ok": True, "result": NULL_WIRE}


class Messaging(Protocol):
    """The two entry points of `com_like.Messaging` that a host uses."""

    def on_message(self, message: Any, /) -> Any: ...

    def set_send_handler(self, handler: Any, /) -> Any: ...


class Host:
    """Registration, the record of what was sent, and delivery of answers."""

    def __init__(self, messaging: Messaging, answer: Answer = null_answer, *, keep: bool = True) -> None:
        self.messaging = messaging
        self.answer = answer
        # Leak checks send thousands of requests: they keep counts, not envelopes.
        self.keep = keep
        self.envelopes: list[Envelope] = []
        self.counts: collections.Counter[Any] = collections.Counter()
        self.last: Envelope | None = None
        self._progress = threading.Condition()
        self._previous: Any = None

    def note(self, envelope: Envelope) -> None:
        with self._progress:
            self.counts[envelope.get("method")] += 1
            self.last = envelope
            if self.keep:
                self.envelopes.append(envelope)
            self._progress.notify_all()

    def deliver(self, envelope: Envelope, response: Response | None) -> Response | None:
        """Hands `response` to the bridge as the answer to `envelope`."""
        if response is not None:
            response = dict(response)  # an answer may hand out the same dict twice
            response.setdefault("requestId", envelope["requestId"])
            self.messaging.on_message(response)
        with self._progress:
            self._progress.notify_all()
        return response

    def respond(self, envelope: Envelope) -> Response | None:
        return self.deliver(envelope, self.answer(envelope))

    def wait_for(self, predicate: Callable[[], bool], timeout: float = 5.0) -> bool:
        """Waits until `predicate()` holds, re-checked after every envelope
        sent and every answer delivered; False once `timeout` has passed."""
        with self._progress:
            return self._progress.wait_for(predicate, timeout)

    def __enter__(self) -> Self:
        self._previous = getattr(self.messaging, "_send_handler", None)
        self.messaging.set_send_handler(self)
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.messaging.set_send_handler(self._previous)


class InlineHost(Host):
    """Answers every envelope from inside the send handler."""

    def __call__(self, envelope: Envelope) -> None:
        self.note(envelope)
        self.respond(envelope)


_STOP = object()


class Listener:
    """One thread that hands every queued item to `deliver`, in order.

    With `batches`, `deliver` gets a list of everything queued at that
    moment instead (a listener that answers out of order shuffles it). An
    exception of `deliver` is kept in `errors` and the thread goes on.
    """

    def __init__(self, deliver: Callable[[Any], object], *, name: str = "host-listener", batches: bool = False) -> None:
        self._queue: queue.SimpleQueue[Any] = queue.SimpleQueue()
        self._deliver = deliver
        self.put = self._queue.put
        self.errors: list[BaseException] = []
        self.thread = threading.Thread(target=self._run_batches if batches else self._run, name=name, daemon=True)

    def start(self) -> Self:
        self.thread.start()
        return self

    def stop(self, timeout: float = 10.0) -> None:
        """Delivers what is queued, then ends the thread."""
        self._queue.put(_STOP)
        self.thread.join(timeout)
        if self.thread.is_alive():
            raise RuntimeError(f"{self.thread.name} did not stop within {timeout} s")

    def _run(self) -> None:
        get, deliver = self._queue.get, self._deliver
        while (item := get()) is not _STOP:
            try:
                deliver(item)
            except BaseException as exc:  # noqa: BLE001 - kept for the test or benchmark to inspect
                self.errors.append(exc)

    def _run_batches(self) -> None:
        while True:
            batch = [self._queue.get()]
            while not self._queue.empty():
                batch.append(self._queue.get_nowait())
            items = [item for item in batch if item is not _STOP]
            if items:
                try:
                    self._deliver(items)
                except BaseException as exc:  # noqa: BLE001 - as in _run
                    self.errors.append(exc)
            if len(items) != len(batch):
                return


class ThreadedHost(Host):
    """Queues every envelope; the listener thread answers it.

    Used as a context manager: entering starts the listener and registers
    the host, leaving restores the previous send handler and stops the
    listener once it has answered what was queued. An `answer` that raises
    is kept in `errors` and answered with a failure, so that no caller is
    left waiting for a broken double.
    """

    def __init__(
        self,
        messaging: Messaging,
        answer: Answer = null_answer,
        *,
        keep: bool = True,
        batches: bool = False,
        name: str = "host-listener",
    ) -> None:
        super().__init__(messaging, answer, keep=keep)
        self.listener = Listener(self.respond_all if batches else self.respond, name=name, batches=batches)
        self.errors = self.listener.errors

    def __call__(self, envelope: Envelope) -> None:
        self.note(envelope)
        self.listener.put(envelope)

    def respond(self, envelope: Envelope) -> Response | None:
        try:
            response = self.answer(envelope)
        except Exception as exc:  # noqa: BLE001 - kept in errors and answered as a failure
            self.errors.append(exc)
            response = {"ok": False, "error": {"message": f"host double failed: {exc!r}"}}
        return self.deliver(envelope, response)

    def respond_all(self, envelopes: list[Envelope]) -> None:
        """Answers one batch; a subclass may reorder it."""
        for envelope in envelopes:
            self.respond(envelope)

    def __enter__(self) -> Self:
        self.listener.start()
        return super().__enter__()

    def __exit__(self, *exc_info: object) -> None:
        super().__exit__(*exc_info)
        self.listener.stop()


class _Signalling(threading.Condition):
    def __init__(self, entered: threading.Event) -> None:
        super().__init__()
        self.entered = entered

    def wait(self, timeout: float | None = None) -> bool:
        self.entered.set()
        return super().wait(timeout)


def wait_entered(future: concurrent.futures.Future[Any]) -> threading.Event:
    """An event set once a thread starts to wait on `future`.

    Lets a test act while a caller is known to be inside its wait, instead
    of sleeping and hoping. It swaps in a condition that signals on entering
    `wait`, so call it before anyone waits on the future: from a send
    handler, say (the bridge registers the waiter before calling it).
    """
    entered = threading.Event()
    # concurrent.futures.Future waits on this condition in result() and exception().
    future._condition = _Signalling(entered)  # noqa: SLF001
    return entered
