"""The kernel's JSON text of frames: the shared protocol module's, under its old names."""

from __future__ import annotations

from ..protocol.jsontext import (
    MAX_EXACT_INT,
    UnrepresentableValue,
    dumps,
    dumps_bytes,
    float_text,
    json_safe,
    loads,
)

__all__ = ["MAX_EXACT_INT", "UnrepresentableValue", "dumps", "dumps_bytes", "float_text", "json_safe", "loads"]
