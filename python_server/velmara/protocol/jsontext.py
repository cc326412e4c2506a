"""JSON text of frames, and the one rule for numbers JSON cannot carry.

JSON numbers are IEEE doubles at the far end, so a wire value of type
"Int" beyond 2**53 in magnitude, or of type "Float" holding NaN or an
infinity, cannot travel as a number without changing. Such a wire value
travels with its number written as text instead:

    {"type": "Int", "value": 12345678901234567890, ...}
        -> {"type": "Int", "value": "12345678901234567890", ...}
    {"type": "Float", "value": nan} -> {"type": "Float", "value": "NaN"}
    inf -> "Infinity", -inf -> "-Infinity"

The tag stays, so the receiver knows the text is a number; the bridge's
decoder turns such text back into the same int or float. Anything else
that JSON cannot carry exactly is refused before a byte is sent: a "Dict"
(or any other object) key that is not a str, a non-finite or oversized
number outside an "Int"/"Float" wire value, and text holding a lone
surrogate (it has no UTF-8 form).

orjson writes the frame. It refuses by itself what the rule must catch
(ints beyond 2**53 with OPT_STRICT_INTEGER, keys that are not str, lone
surrogates) except non-finite floats, which it writes as `null`. So a frame
whose text has no `null` other than the payloads of "Null" wire values is
done in one call; only a frame that orjson refused or that holds another
`null` is walked in Python (`json_safe`) and written again. msgspec was
measured as well: it encodes as fast, but writes int keys as text and ints
of any size as numbers without a word, so every frame would need the walk.
"""

from __future__ import annotations

import contextlib
import json
import math
import re
from typing import Any

import orjson

# Largest magnitude an IEEE double represents exactly together with all
# smaller integers' neighbours; beyond it a JSON number may be rounded.
MAX_EXACT_INT = 2**53

_FLOAT_TEXT = {math.inf: "Infinity", -math.inf: "-Infinity"}

_SURROGATE = re.compile("[\ud800-\udfff]")

# Datetimes and dataclasses have no JSON form in the protocol: hand them to
# `default` (which has none) so that they are refused as json would.
_PASSTHROUGH = orjson.OPT_PASSTHROUGH_DATETIME | orjson.OPT_PASSTHROUGH_DATACLASS
# orjson's strict limit is 2**53 - 1: the walk decides about 2**53 itself.
_OPTIONS = orjson.OPT_STRICT_INTEGER | _PASSTHROUGH
_orjson_dumps = orjson.dumps
_orjson_loads = orjson.loads
_EncodeError = orjson.JSONEncodeError
_DecodeError = orjson.JSONDecodeError

# The one `null` that needs no look: the payload of a "Null" wire value as
# the bridge writes it. A `{` followed by `"` is always an object's start in
# orjson's output (a quote inside text is escaped), so a match is never text.
_NULL = b"null"
_NULL_WIRE = b'{"type":"Null","value":null'

_stdlib_encode = json.JSONEncoder(
    ensure_ascii=False,
    allow_nan=False,
    check_circular=False,
    separators=(",", ":"),
).encode


class UnrepresentableValue(ValueError):
    """A value that JSON cannot carry exactly and no rule maps."""

    def __init__(self, problem: str) -> None:
        super().__init__(problem)
        self.problem = problem
        self.path: list[str] = []

    def __str__(self) -> str:
        where = "".join(reversed(self.path)) or "(top level)"
        return f"cannot send to the Excel add-in: {self.problem} at {where}"


def float_text(value: float) -> str:
    """The text a non-finite float travels as."""
    if value != value:
        return "NaN"
    return _FLOAT_TEXT[value]


def _mapped_number(tag: str, value: Any) -> Any:
    """The text form of an "Int"/"Float" payload, or the payload itself."""
    kind = type(value)
    if kind is int or (isinstance(value, int) and kind is not bool):
        if -MAX_EXACT_INT <= value <= MAX_EXACT_INT:
            return value
        return str(int(value))
    if kind is float or isinstance(value, float):
        if math.isfinite(value):
            return value
        return float_text(value)
    return value


def json_safe(obj: Any) -> Any:
    """Return obj, or a copy with the number rule applied where needed.

    Containers are copied only along the paths that change, so the common
    case (nothing to map) costs one walk and no allocation.
    """
    kind = type(obj)
    if kind is str:
        return _safe_text(obj)
    if kind is bool or obj is None:
        return obj
    if kind is dict:
        return _safe_dict(obj)
    if kind is list or kind is tuple:
        return _safe_list(obj)
    if kind is int or kind is float:
        return _plain_number(obj)
    if isinstance(obj, (int, float)) and kind is not bool:
        return _plain_number(obj)
    if isinstance(obj, str):
        return _safe_text(obj)
    if isinstance(obj, dict):
        return _safe_dict(obj)
    if isinstance(obj, (list, tuple)):
        return _safe_list(obj)
    # Anything else is the encoder's business; it refuses what it cannot write.
    return obj


def _safe_text(text: str) -> str:
    if text.isascii():
        return text
    found = _SURROGATE.search(text)
    if found is None:
        return text
    # The message names the code point: the surrogate itself could not
    # travel in an error report either.
    raise UnrepresentableValue(
        f"text holding the lone surrogate U+{ord(found.group()):04X} at index {found.start()} "
        f"(UTF-8 cannot carry it)")


def _plain_number(value: Any) -> Any:
    if isinstance(value, float):
        if math.isfinite(value):
            return value
        raise UnrepresentableValue(f"non-finite number {value!r} outside a \"Float\" wire value")
    if -MAX_EXACT_INT <= value <= MAX_EXACT_INT:
        return value
    raise UnrepresentableValue(f"integer {value} beyond 2**53 outside an \"Int\" wire value")


def _safe_dict(obj: dict[Any, Any]) -> dict[Any, Any]:
    tag = obj.get("type")
    out: dict[Any, Any] | None = None
    if (tag == "Int" or tag == "Float") and "value" in obj:
        payload = obj["value"]
        mapped = _mapped_number(tag, payload)
        if mapped is not payload:
            out = dict(obj)
            out["value"] = mapped
    for key, value in obj.items():
        if type(key) is not str and not isinstance(key, str):
            raise UnrepresentableValue(
                f"key {key!r} of type {type(key).__name__} (JSON object keys must be str)")
        try:
            _safe_text(key)
        except UnrepresentableValue as exc:
            exc.problem = "key " + exc.problem
            raise
        if out is not None and key == "value" and (tag == "Int" or tag == "Float"):
            continue
        try:
            safe = json_safe(value)
        except UnrepresentableValue as exc:
            exc.path.append(f"[{key!r}]")
            raise
        if safe is not value:
            if out is None:
                out = dict(obj)
            out[key] = safe
    return obj if out is None else out


def _safe_list(obj: list[Any] | tuple[Any, ...]) -> list[Any] | tuple[Any, ...]:
    out: list[Any] | None = None
    for index, value in enumerate(obj):
        try:
            safe = json_safe(value)
        except UnrepresentableValue as exc:
            exc.path.append(f"[{index}]")
            raise
        if safe is not value:
            if out is None:
                out = list(obj)
            out[index] = safe
    return obj if out is None else out


def _refuse(obj: Any) -> Any:
    raise TypeError(f"Object of type {type(obj).__name__} is not JSON serializable")


def dumps_bytes(message: Any) -> bytes:
    """The UTF-8 JSON text of one frame, after the number rule.

    Raises UnrepresentableValue (a ValueError) for what the rule refuses
    and TypeError for objects that have no JSON form at all.
    """
    try:
        data = _orjson_dumps(message, _refuse, _OPTIONS)
    except (_EncodeError, TypeError):
        return _dumps_walked(message)
    # Most frames hold no null at all: a search from the end settles that
    # in about half the time a count takes on a frame of megabytes.
    if data.rfind(_NULL) < 0:
        return data
    if data.count(_NULL) != data.count(_NULL_WIRE):
        return _dumps_walked(message)
    return data


def _dumps_walked(message: Any) -> bytes:
    """The slow road: map and check every value, then write."""
    safe = json_safe(message)
    try:
        return _orjson_dumps(safe, _refuse, _PASSTHROUGH)
    except _EncodeError as exc:
        cause = exc.__cause__ if isinstance(exc.__cause__, TypeError) else None
        if cause is not None and "not JSON serializable" in str(cause):
            raise TypeError(str(cause)) from None
        if "ecursion" not in str(exc):
            raise TypeError(str(exc)) from None
    # Deeper than orjson goes: what the walk let through json writes too.
    return _stdlib_encode(safe).encode("utf-8")


def dumps(message: Any) -> str:
    """The JSON text of one frame, after the number rule (see dumps_bytes)."""
    return dumps_bytes(message).decode("utf-8")


def loads(data: str | bytes) -> Any:
    """Parse strict JSON: NaN and Infinity literals are not JSON."""
    try:
        return _orjson_loads(data)
    except _DecodeError as exc:
        problem = str(exc)
    # Say what is wrong the way json does; orjson also refuses what json
    # lets through (escaped lone surrogates, numbers beyond a double,
    # nesting beyond 1024 levels).
    with contextlib.suppress(RecursionError):
        json.loads(data, parse_constant=_refuse_constant)
    raise ValueError(f"JSON refused: {problem}")


def _refuse_constant(name: str) -> Any:
    raise ValueError(f"non-standard JSON constant {name}")
