"""A protocol-level far end for tests of the kernel: frames, no Excel.

`Peer(url, answer)` connects the way the add-in does (the token is the
URL's path), retrying until its deadline as the add-in's task pane does
after a failed attempt, and answers every "request" frame with
`answer(request)` on its own thread: a response without kind and
requestId (the peer adds them), or None to leave the request unanswered.
Diagnostic queries get an empty diag_result; release frames are kept.
It knows nothing of workbooks or ranges: whatever a test needs from the
far end, its `answer` says.
"""

from __future__ import annotations

import contextlib
import json
import threading
import time
from collections.abc import Callable
from typing import Any, Self

from websockets.exceptions import ConnectionClosed, InvalidStatus
from websockets.sync.client import ClientConnection, connect

from ..protocol import KIND_DIAG, KIND_DIAG_RESULT, KIND_RELEASE, KIND_REQUEST, KIND_RESPONSE, NULL_WIRE

Request = dict[str, Any]
PeerAnswer = Callable[[Request], dict[str, Any] | None]

# Between two attempts to connect, as an add-in waits before it retries.
RETRY_S = 0.05


def null_result(request: Request) -> dict[str, Any]:
    return {"ok": True, "result": NULL_WIRE}


class Peer:
    """One connection to a kernel, answering on a thread of its own."""

    def __init__(self, url: str, answer: PeerAnswer = null_result) -> None:
        self.url = url
        self.answer = answer
        self.requests: list[Request] = []
        self.released: list[int] = []
        self.attempts = 0
        self.errors: list[BaseException] = []
        self._ws: ClientConnection | None = None
        self._thread: threading.Thread | None = None
        self._stack = contextlib.ExitStack()

    def connect(self, timeout: float = 60.0) -> Self:
        """Connect, retrying failed attempts until `timeout`; a refused handshake (403) is final."""
        deadline = time.monotonic() + timeout
        while True:
            self.attempts += 1
            left = deadline - time.monotonic()
            try:
                self._ws = self._stack.enter_context(
                    connect(self.url, compression=None, max_size=None, open_timeout=max(1.0, min(10.0, left))))
                break
            except InvalidStatus:
                raise
            except Exception as exc:  # cut by the kernel (a flood), not listening yet...
                if time.monotonic() + RETRY_S >= deadline:
                    raise TimeoutError(f"no connection to the kernel within {timeout} s "
                                       f"({self.attempts} attempts; last: {exc!r})") from exc
                time.sleep(RETRY_S)
        self._thread = threading.Thread(target=self._serve, name="test-peer", daemon=True)
        self._thread.start()
        return self

    @property
    def connected(self) -> bool:
        """Connected (and answering) since `connect()` returned."""
        return self._thread is not None

    def close(self) -> None:
        self._stack.close()
        if self._thread is not None:
            self._thread.join(10)

    def __enter__(self) -> Self:
        return self if self._ws is not None else self.connect()

    def __exit__(self, *exc: object) -> None:
        self.close()

    def _serve(self) -> None:
        assert self._ws is not None
        ws = self._ws
        try:
            for data in ws:
                frame = json.loads(data)
                kind = frame.get("kind")
                if kind == KIND_REQUEST:
                    self.requests.append(frame)
                    try:
                        response = self.answer(frame)
                    except Exception as exc:  # noqa: BLE001 - kept for the test; the request fails
                        self.errors.append(exc)
                        response = {"ok": False, "error": {"message": f"peer failed: {exc!r}"}}
                    if response is not None:
                        ws.send(json.dumps({"kind": KIND_RESPONSE, "requestId": frame["requestId"], **response}))
                elif kind == KIND_RELEASE:
                    self.released.extend(frame["ids"])
                elif kind == KIND_DIAG:
                    ws.send(json.dumps({"kind": KIND_DIAG_RESULT, "diagId": frame["diagId"]}))
        except ConnectionClosed:
            pass
