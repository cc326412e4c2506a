"""An in-process host for com_like's Messaging: a transport queue and a
listener thread that answers every request as soon as it arrives.

It stands in for the kernel (send handler on the worker side, listener
thread calling `on_message` on the other) so that benchmarks and tests can
drive real cross-thread round trips without a connection.
"""

from __future__ import annotations

import queue
import threading
from typing import Any, Callable

_STOP = object()


def ok_response(envelope: dict) -> dict:
    """The add-in's answer to one envelope: success, no result."""
    return {"requestId": envelope["requestId"], "ok": True, "result": None}


class Listener:
    """One listener thread that hands every queued item to `deliver`."""

    def __init__(self, deliver: Callable[[Any], None], name: str = "host-listener") -> None:
        self._queue: queue.SimpleQueue = queue.SimpleQueue()
        self._deliver = deliver
        self._thread = threading.Thread(target=self._run, name=name, daemon=True)
        self.put = self._queue.put
        self.errors: list[BaseException] = []

    def start(self) -> "Listener":
        self._thread.start()
        return self

    def stop(self, timeout: float = 5.0) -> None:
        self._queue.put(_STOP)
        self._thread.join(timeout)

    def _run(self) -> None:
        get = self._queue.get
        deliver = self._deliver
        while True:
            item = get()
            if item is _STOP:
                return
            try:
                deliver(item)
            except BaseException as exc:  # kept for the test or benchmark to inspect
                self.errors.append(exc)


class InProcessHost:
    """Registers itself as the send handler of `messaging` and answers each
    envelope on its listener thread through `messaging.on_message`."""

    def __init__(self, messaging: Any, answer: Callable[[dict], dict] = ok_response) -> None:
        self.messaging = messaging
        on_message = messaging.on_message
        self.listener = Listener(lambda envelope: on_message(answer(envelope)))
        self.send = self.listener.put

    def __enter__(self) -> "InProcessHost":
        self.listener.start()
        self.messaging.set_send_handler(self.send)
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.messaging.set_send_handler(None)
        self.listener.stop()


class BareFutureHost:
    """The same queue and listener thread, carrying (future, envelope) pairs
    that the listener completes with the same answer: the floor of a
    cross-thread round trip."""

    def __init__(self, answer: Callable[[dict], dict] = ok_response) -> None:
        self.listener = Listener(lambda item: item[0].set_result(answer(item[1])), name="bare-listener")
        self.put = self.listener.put

    def __enter__(self) -> "BareFutureHost":
        self.listener.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.listener.stop()
