"""JSON text for frames, and the one rule for numbers JSON cannot carry.

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
surrogate (what `os.listdir` gives for undecodable file names): frames
travel as UTF-8, which cannot carry it.
"""

from __future__ import annotations

import json
import math
import re
from typing import Any

# Largest magnitude an IEEE double represents exactly together with all
# smaller integers' neighbours; beyond it a JSON number may be rounded.
MAX_EXACT_INT = 2**53

_FLOAT_TEXT = {math.inf: "Infinity", -math.inf: "-Infinity"}

_SURROGATE = re.compile("[\ud800-\udfff]")

_encode = json.JSONEncoder(
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
        return _checked_text(obj)
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
        return _checked_text(obj)
    if isinstance(obj, dict):
        return _safe_dict(obj)
    if isinstance(obj, (list, tuple)):
        return _safe_list(obj)
    # Anything else is json's business; it refuses what it cannot write.
    return obj


def _checked_text(text: str) -> str:
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
            _checked_text(key)
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


def dumps(message: dict[str, Any]) -> str:
    """The JSON text of one frame, after the number rule.

    Raises UnrepresentableValue (a ValueError) for what the rule refuses
    and TypeError for objects that have no JSON form at all.
    """
    return _encode(json_safe(message))


def _refuse_constant(name: str) -> Any:
    raise ValueError(f"non-standard JSON constant {name}")


# Frames from the far end are strict JSON: NaN and Infinity literals are
# not JSON, and the rule above says how such numbers travel instead.
loads = json.JSONDecoder(parse_constant=_refuse_constant).decode
