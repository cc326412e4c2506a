"""What the kernel and the add-in agree on: frame kinds, methods, reserved
ids, wire tags, JSON text.

Every Python user of a protocol word imports it from here; the add-in's
copy is addin/src/protocol.mjs, and a test holds the two equal.
docs/protocol.md describes the frames.
"""

from typing import Any

from .jsontext import (
    MAX_EXACT_INT,
    UnrepresentableValue,
    dumps,
    dumps_bytes,
    float_text,
    json_safe,
    loads,
)

# Frames from the kernel.
KIND_REQUEST = "request"
KIND_RELEASE = "release"
KIND_CALLBACK_RESULT = "callback_result"
KIND_DIAG = "diag"
# Frames from the add-in.
KIND_RESPONSE = "excel_response"
KIND_CALLBACK = "callback"
KIND_DIAG_RESULT = "diag_result"

# Request methods of the bridge's envelopes.
METHOD_GET = "GET"
METHOD_SET = "SET"
METHOD_GETITEM = "GETITEM"
METHOD_CALL = "CALL"
METHOD_DEL = "DEL"

# Wire tags of plain values; any other tag with isSpec true names a remote
# object by its id.
TAG_NULL = "Null"
TAG_BOOL = "Bool"
TAG_INT = "Int"
TAG_FLOAT = "Float"
TAG_STRING = "String"
TAG_DATE = "Date"
TAG_BYTES = "Bytes"
TAG_ARRAY = "Array"
TAG_DICT = "Dict"
PLAIN_TAGS = frozenset((TAG_NULL, TAG_BOOL, TAG_INT, TAG_FLOAT, TAG_STRING, TAG_DATE, TAG_BYTES,
                        TAG_ARRAY, TAG_DICT))
# A registered Python callable, by its callable id (isSpec true).
TAG_PYTHON_FUNCTION = "Python_Function"

# The wire value of nothing: a DEL's answer, a call that returns nothing.
# Shared: nobody may change it.
NULL_WIRE: dict[str, Any] = {"type": TAG_NULL, "value": None, "isSpec": False}

# The kernel's default limit on an incoming frame, in characters. Excel on
# the web caps a payload at 5 MB, and a cell costs about 45 characters, so
# this carries a read of some 180k cells; an add-in refuses a read whose
# answer would not fit rather than send it.
MAX_FRAME_CHARS = 8 * 2**20

# Context, Excel and GetSetting: pinned by the add-in, never released.
ROOT_CONTEXT = 0
ROOT_EXCEL = 1
ROOT_GET_SETTING = 2
ROOT_IDS = frozenset((ROOT_CONTEXT, ROOT_EXCEL, ROOT_GET_SETTING))
# The id of every array and dict that the add-in sends as plain data: it
# names nothing the add-in keeps, so releasing it is a no-op at both ends.
SNAPSHOT_ID = -1
# Ids whose release the kernel acknowledges and never sends.
LOCAL_IDS = ROOT_IDS | {SNAPSHOT_ID}


# How a CALL argument is given.
ARG_PLACED = "PLACED"
ARG_NAMED = "NAMED"

# WebSocket close codes either end uses.
CLOSE_NORMAL = 1000
CLOSE_TOO_BIG = 1009  # a frame beyond the transport's limit
CLOSE_STALLED = 4000  # Excel stopped answering; the add-in comes back with a fresh context

__all__ = [
    "ARG_NAMED",
    "ARG_PLACED",
    "CLOSE_NORMAL",
    "CLOSE_STALLED",
    "CLOSE_TOO_BIG",
    "KIND_CALLBACK",
    "KIND_CALLBACK_RESULT",
    "KIND_DIAG",
    "KIND_DIAG_RESULT",
    "KIND_RELEASE",
    "KIND_REQUEST",
    "KIND_RESPONSE",
    "LOCAL_IDS",
    "MAX_EXACT_INT",
    "MAX_FRAME_CHARS",
    "METHOD_CALL",
    "METHOD_DEL",
    "METHOD_GET",
    "METHOD_GETITEM",
    "METHOD_SET",
    "NULL_WIRE",
    "PLAIN_TAGS",
    "ROOT_CONTEXT",
    "ROOT_EXCEL",
    "ROOT_GET_SETTING",
    "ROOT_IDS",
    "SNAPSHOT_ID",
    "TAG_ARRAY",
    "TAG_BOOL",
    "TAG_BYTES",
    "TAG_DATE",
    "TAG_DICT",
    "TAG_FLOAT",
    "TAG_INT",
    "TAG_NULL",
    "TAG_PYTHON_FUNCTION",
    "TAG_STRING",
    "UnrepresentableValue",
    "dumps",
    "dumps_bytes",
    "float_text",
    "json_safe",
    "loads",
]
