"""Reading the frames that the add-in sends: nothing from there is trusted.

`read_frame` turns one WebSocket message into a checked `Frame`, or raises
`FrameRejected` with the reason category (the key under which the kernel
counts it) and a text for the log. A response that names a request id but
is otherwise malformed is not rejected: it becomes a failure response for
that request, so the waiting caller learns at once instead of timing out.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Any

from ..protocol import KIND_CALLBACK, KIND_DIAG_RESULT, KIND_RESPONSE, loads

# Request ids that the bridge mints are 32 hex digits; callback and
# diagnostic ids are the add-in's, but nothing sane needs more than this.
MAX_ID_CHARS = 128

# The reasons a frame is dropped, as counted by the kernel.
REJECT_REASONS = (
    "oversized",
    "binary",
    "malformed_json",
    "not_an_object",
    "unknown_kind",
    "bad_member",
)


# An answer that is oversized or cannot be parsed (nested beyond any
# parser's depth, broken text) has no readable body, but its caller should
# not wait out the time-out: add-ins write "kind" and "requestId" first, so
# the id can be read from the frame's head.
_HEAD_CHARS = 512
_HEAD_REQUEST_ID = re.compile(rf'"requestId"\s*:\s*"([^"\\]{{1,{MAX_ID_CHARS}}})"')


class FrameRejected(Exception):
    def __init__(self, reason: str, detail: str, request_id: str | None = None) -> None:
        super().__init__(f"{reason}: {detail}")
        self.reason = reason
        self.detail = detail
        # The request a rejected answer was meant for, when it can be told.
        self.request_id = request_id


@dataclass(slots=True)
class Frame:
    kind: str
    message: dict[str, Any]
    # Set when a response was malformed and replaced by a failure response.
    problem: str | None = None


def _is_id(value: Any) -> bool:
    return type(value) is str and 0 < len(value) <= MAX_ID_CHARS


def _preview(text: Any, limit: int = 60) -> str:
    if type(text) is not str:
        text = bytes(text[:limit * 4]).decode("utf-8", "replace")
    return repr(text[:limit]) + ("..." if len(text) > limit else "")


def read_frame(data: Any, max_chars: int, *, binary: bool | None = None) -> Frame:
    """Parse and check one incoming WebSocket message.

    `data` is text, or the UTF-8 bytes of a text frame (binary=False);
    without `binary`, bytes count as a binary frame. A rejected answer
    whose request id shows in its head carries it (`request_id`).
    """
    if binary is None:
        binary = type(data) is not str
    if binary:
        raise FrameRejected("binary", f"binary frame of {len(data)} bytes (the protocol is JSON text)")
    if len(data) > max_chars:
        chars = len(data) if type(data) is str else len(bytes(data).decode("utf-8", "replace"))
        if chars > max_chars:
            raise FrameRejected("oversized", f"frame of {chars} characters exceeds the limit of {max_chars}",
                                _head_request_id(data))
    try:
        message = loads(data)
    except (ValueError, RecursionError) as exc:
        raise FrameRejected("malformed_json", f"{exc} in {_preview(data)}", _head_request_id(data)) from None
    if type(message) is not dict:
        raise FrameRejected("not_an_object", f"JSON {type(message).__name__} instead of an object in {_preview(data)}")
    kind = message.get("kind")
    if kind == KIND_RESPONSE:
        return _read_response(message)
    if kind == KIND_CALLBACK:
        return _read_callback(message)
    if kind == KIND_DIAG_RESULT:
        if not _is_id(message.get("diagId")):
            raise FrameRejected("bad_member", "diag_result without a text 'diagId'")
        return Frame(kind, message)
    raise FrameRejected("unknown_kind", f"unknown kind {kind!r}" if type(kind) is str else
                        f"'kind' is {type(kind).__name__}, not text")


def _head_request_id(data: Any) -> str | None:
    head = data[:_HEAD_CHARS]
    if type(head) is not str:
        head = bytes(head).decode("utf-8", "replace")
    if f'"{KIND_RESPONSE}"' not in head:
        return None
    found = _HEAD_REQUEST_ID.search(head)
    return found.group(1) if found else None


def _response_problem(message: dict[str, Any]) -> str | None:
    ok = message.get("ok")
    if type(ok) is not bool:
        return f"'ok' is {type(ok).__name__}, not true or false"
    if ok:
        if type(message.get("result")) is not dict:
            return "'result' is missing or not a wire value object"
        return None
    if "error" in message:
        error = message["error"]
        if type(error) is not dict:
            return f"'error' is {type(error).__name__}, not an object"
        if "message" in error and type(error["message"]) is not str:
            return "'error.message' is not text"
    return None


def _read_response(message: dict[str, Any]) -> Frame:
    request_id = message.get("requestId")
    if not _is_id(request_id):
        raise FrameRejected("bad_member", "excel_response without a text 'requestId'")
    problem = _response_problem(message)
    if problem is None:
        return Frame(KIND_RESPONSE, message)
    failure = {
        "kind": KIND_RESPONSE,
        "requestId": request_id,
        "ok": False,
        "error": {"message": f"Malformed response from the Excel add-in: {problem}"},
    }
    return Frame(KIND_RESPONSE, failure, problem)


def _read_callback(message: dict[str, Any]) -> Frame:
    # Without a call id there is nobody to answer; with one, a malformed
    # invocation is answered with a failure so the add-in is not left waiting.
    if not _is_id(message.get("callId")):
        raise FrameRejected("bad_member", "callback without a text 'callId'")
    problem = None
    args = message.get("args", [])
    if not _is_id(message.get("callableId")):
        problem = "'callableId' is missing or not text"
    elif type(args) is not list or any(type(arg) is not dict for arg in args):
        problem = "'args' is not a list of wire value objects"
    return Frame(KIND_CALLBACK, message, problem)
