"""The add-in's connection to the kernel: frames in, answers and events out."""

from __future__ import annotations

import asyncio
import itertools
import logging
from collections import Counter, deque
from typing import Any

from websockets.asyncio.client import connect
from websockets.exceptions import ConnectionClosed, InvalidHandshake

from ..protocol import (
    KIND_CALLBACK_RESULT,
    KIND_DIAG,
    KIND_RELEASE,
    KIND_REQUEST,
    MAX_FRAME_CHARS,
    loads,
)
from ..protocol import (
    dumps_bytes as dumps,
)
from ..protocol.redact import RedactingLogger
from .objects import ObjectTable, Session
from .workbook import SimError, Workbook

log = logging.getLogger("velmara.addin_sim")

DEFAULT_SETTINGS: dict[str, Any] = {
    "user.name": "Ada Lovelace",
    "user.locale": "en-GB",
    "workbook.currency": "GBP",
    "calc.iterations": 100,
    "calc.precision": 1e-06,
    "feature.preview": False,
}


class Simulator:
    """The workbook, settings and object ids that outlive a connection."""

    def __init__(self, settings: dict[str, Any] | None = None, first_id: int | None = None,
                 max_frame_chars: int = MAX_FRAME_CHARS) -> None:
        self.book = Workbook()
        self.settings = dict(DEFAULT_SETTINGS if settings is None else settings)
        self.table = ObjectTable(first_id)
        self.sessions = 0
        # The kernel's incoming frame limit: an answer beyond it is refused here.
        self.max_frame_chars = max_frame_chars

    def new_session(self) -> FrameHandler:
        self.sessions += 1
        return FrameHandler(Session(self.book, self.settings, self.table), self)


class FrameHandler:
    """Turns each frame from the kernel into the frames to send back."""

    def __init__(self, session: Session, sim: Simulator) -> None:
        self.session = session
        self.sim = sim
        self._call_ids = itertools.count(1)
        self.callbacks: Counter[str] = Counter()
        self.callback_log: deque[dict[str, Any]] = deque(maxlen=50)
        self.dropped = 0
        self.releases = 0

    def handle(self, data: Any) -> list[bytes]:
        if type(data) is not str:
            return self._drop("binary frame")
        try:
            message = loads(data)
        except (ValueError, RecursionError) as exc:
            return self._drop(f"malformed JSON: {exc}")
        if type(message) is not dict:
            return self._drop("frame is not a JSON object")
        kind = message.get("kind")
        if kind == KIND_REQUEST:
            return self._request(message)
        if kind == KIND_RELEASE:
            return self._release(message)
        if kind == KIND_CALLBACK_RESULT:
            self._callback_result(message)
            return []
        if kind == KIND_DIAG:
            return [dumps(self._diag(message))]
        return self._drop(f"unknown kind {kind!r}")

    def _drop(self, why: str) -> list[bytes]:
        self.dropped += 1
        log.warning("dropped frame from the kernel: %s", why)
        return []

    def _release(self, message: dict[str, Any]) -> list[bytes]:
        # One reference per listed id (an id may be listed once per proxy);
        # nothing is answered.
        ids = message.get("ids")
        if type(ids) is not list:
            return self._drop("release without an 'ids' list")
        release = self.session.table.release
        for object_id in ids:
            release(object_id)
        self.releases += 1
        return []

    def _request(self, message: dict[str, Any]) -> list[bytes]:
        request_id = message.get("requestId")
        if type(request_id) is not str or not request_id:
            return self._drop("request without a requestId")
        session = self.session
        session.events.clear()
        try:
            result = session.perform(message)
            reply = {"kind": "excel_response", "requestId": request_id, "ok": True, "result": result}
        except SimError as exc:
            reply = {"kind": "excel_response", "requestId": request_id, "ok": False,
                     "error": {"message": str(exc)}}
        except Exception as exc:  # a request never goes unanswered
            log.exception("request %s failed inside the simulator", request_id)
            reply = {"kind": "excel_response", "requestId": request_id, "ok": False,
                     "error": {"message": f"Internal error in the simulated add-in: {type(exc).__name__}: {exc}"}}
        text = dumps(reply)
        # Bytes are at least as many as characters: count these only when it matters.
        if len(text) > self.sim.max_frame_chars and reply["ok"] and \
                (chars := len(text.decode())) > self.sim.max_frame_chars:
            # The kernel would drop it unread, and nobody would ever release
            # the objects it names: refuse the read instead.
            self._forget(reply["result"])
            text = dumps({"kind": "excel_response", "requestId": request_id, "ok": False, "error": {
                "message": f"The answer is too large for one message ({chars} characters, the limit "
                           f"is {self.sim.max_frame_chars}); read a smaller range at a time"}})
        out = [text]
        # Events fire after the change is answered, as Office.js does.
        for callable_id, args in session.events:
            self.callbacks["sent"] += 1
            out.append(dumps({"kind": "callback", "callId": f"call-{next(self._call_ids)}",
                              "callableId": callable_id, "args": [args]}))
        session.events.clear()
        return out

    def _forget(self, wire: Any) -> None:
        """Release every object an answer that is not sent names."""
        if type(wire) is not dict:
            return
        value = wire.get("value")
        if "id" in wire:
            self.session.table.release(wire["id"])
        if type(value) is list:
            for item in value:
                self._forget(item)
        elif type(value) is dict:
            for item in value.values():
                self._forget(item)
        elif wire.get("isSpec") and type(value) is int:
            self.session.table.release(value)

    def _callback_result(self, message: dict[str, Any]) -> None:
        ok = message.get("ok") is True
        self.callbacks["ok" if ok else "failed"] += 1
        entry = {"callId": message.get("callId"), "ok": ok}
        if ok:
            entry["result"] = message.get("result")
        else:
            error = message.get("error")
            entry["error"] = error.get("message") if type(error) is dict else None
        self.callback_log.append(entry)

    def _diag(self, message: dict[str, Any]) -> dict[str, Any]:
        session = self.session
        return {
            "kind": "diag_result",
            "diagId": message.get("diagId"),
            "objects": len(session.table),
            "staleDels": session.table.stale_dels,
            "requests": dict(session.requests),
            "releaseFrames": self.releases,
            "handlers": len(session.handlers),
            "callbacks": dict(self.callbacks),
            "callbackLog": list(self.callback_log),
            "sheets": [sheet.name for sheet in session.book.sheets],
            "sessions": self.sim.sessions,
            "dropped": self.dropped,
        }


async def serve_connection(ws: Any, handler: FrameHandler) -> None:
    try:
        async for data in ws:
            for text in handler.handle(data):
                await ws.send(text, text=True)
    except ConnectionClosed:
        pass


async def run(url: str, sim: Simulator, *, reconnect: bool = False, retry_for: float = 10.0) -> None:
    """Connect to the kernel and serve it; with reconnect, come back after a close."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + retry_for
    # The URL's path is the kernel's token, a secret: logs show the rest.
    scheme, _, rest = url.partition("://")
    where, _, token = rest.partition("/")
    shown = f"{scheme}://{where}"
    ws_log: Any = logging.getLogger("websockets.client")
    if token:
        ws_log = RedactingLogger(ws_log, token)
    while True:
        try:
            async with connect(url, compression=None, max_size=64 * 2**20, open_timeout=5, logger=ws_log) as ws:
                log.info("connected to %s", shown)
                await serve_connection(ws, sim.new_session())
                log.info("connection to %s closed (code %s)", shown, ws.close_code)
            deadline = loop.time() + retry_for
            if not reconnect:
                return
        except (OSError, InvalidHandshake, TimeoutError) as exc:
            if loop.time() > deadline:
                raise ConnectionError(f"could not connect to {shown}: {exc}") from exc
        await asyncio.sleep(0.05)
