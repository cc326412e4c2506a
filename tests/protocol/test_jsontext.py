"""The shared JSON text: orjson's fast path keeps the number and refusal rules."""

import datetime as dt
import json
import math

import pytest

from velmara_master.python_server.velmara.protocol import UnrepresentableValue, dumps, json_safe, loads


def wire(tag, value):
    return {"type": tag, "value": value, "isSpec": False}


def bulk(*inner):
    """A frame as the bridge writes it, with Nulls and "null" text around the value under test."""
    rows = [wire("Array", [wire("Null", None), wire("String", "null"), wire("Float", 1.5), wire("Int", 7)])] * 50
    return {"method": "SET", "name": "values", "caller": 12, "requestId": "r" * 32, "kind": "request",
            "value": wire("Array", rows + list(inner))}


def reference(message):
    """What the walk and json write: the rules as they were before orjson."""
    return json.dumps(json_safe(message), ensure_ascii=False, allow_nan=False, separators=(",", ":"))


@pytest.mark.parametrize("inner", [
    wire("Float", math.nan), wire("Float", -math.inf), wire("Int", 2**53), wire("Int", -(2**53) - 1),
    wire("Int", 10**30), wire("Dict", {"k": wire("Float", math.inf), "n": wire("Null", None)}),
    wire("String", "Zürich \u2603 \U0001F600"), wire("Date", "2024-05-01T00:00:00"),
])
def test_mapped_values_come_out_as_the_walk_writes_them(inner):
    message = bulk(inner)
    assert loads(dumps(message)) == json.loads(reference(message))


@pytest.mark.parametrize("inner, problem", [
    (wire("String", math.nan), "non-finite number nan"),
    ({"type": "Int", "value": [math.inf]}, "non-finite number inf"),
    (wire("Dict", {1: wire("Null", None)}), "key 1 of type int"),
    (wire("String", "a\ud800b"), "lone surrogate"),
    (wire("Dict", {"k": wire("Dict", {"\udfff": wire("Null", None)})}), "key text holding the lone surrogate U+DFFF"),
    ({"type": "Bool", "value": True, "extra": 2**60}, "beyond 2**53 outside"),
])
def test_what_no_rule_maps_is_refused_on_the_fast_path_too(inner, problem):
    with pytest.raises(UnrepresentableValue) as info:
        dumps(bulk(inner))
    assert problem in str(info.value) and "at ['value']['value'][50]" in str(info.value)


@pytest.mark.parametrize("value", [object(), dt.datetime(2024, 5, 1), {1, 2}])
def test_objects_without_json_form_are_type_errors(value):
    with pytest.raises(TypeError):
        dumps({"value": value})


def test_nesting_beyond_orjsons_depth_is_still_written():
    deep = wire("Int", 1)
    for _ in range(200):
        deep = wire("Array", [deep])
    assert dumps(deep) == reference(deep)


@pytest.mark.parametrize("text, message", [
    ('{"v": NaN}', "non-standard JSON constant"), ('{"v": -Infinity}', "non-standard JSON constant"),
    ('{"v": "\\ud800"}', "surrogate"), ('{"v": 1', "Expecting"), ("[" * 5000 + "]" * 5000, "depth"),
])
def test_incoming_text_is_strict_json(text, message):
    with pytest.raises(ValueError, match=message):
        loads(text)
