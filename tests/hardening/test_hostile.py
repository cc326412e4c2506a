"""Hostile and extreme input, end to end through the proxies.

Whatever the add-in answers, or whatever user code hands over, the caller
gets a plain result or a clear Python error, the module's state stays
intact, and the next call works.
"""

from __future__ import annotations

import binascii
import gc

import pytest

import com_like

pytestmark = pytest.mark.requires("routing", "operations", "wire", "proxies")


def w(tag, value, **extra):
    return {"type": tag, "value": value, "isSpec": False, **extra}


def deep_array(depth):
    wire = w("Null", None)
    for i in range(depth):
        wire = w("Array", [wire], id=i)
    return wire


def deep_list(depth):
    value = None
    for _ in range(depth):
        value = [value]
    return value


def deep_dict(depth):
    value = None
    for _ in range(depth):
        value = {"k": value}
    return value


@pytest.fixture
def probe(addin, state_intact):
    """Reads `hostile` from a fresh proxy, then checks that all is well."""
    addin.on("GET", "fine", result=w("String", "still fine"))
    proxy = com_like.OfficeJsObject(1, "Excel")

    def read(response):
        addin.rules[("GET", "hostile")] = response
        try:
            return proxy.hostile
        finally:
            state_intact()
            assert com_like.messaging._send_handler is addin
            assert proxy.fine == "still fine"

    return read


class Evil:
    def __bool__(self):
        raise ValueError("no truth")

    def __str__(self):
        raise ValueError("no text")


# A response, and what the caller sees: an exception type, or a check of
# the result.
RESPONSES = {
    "deep_array": ({"ok": True, "result": deep_array(50_000)}, RecursionError),
    "deep_dict": (
        {"ok": True, "result": {"type": "Dict", "id": 1, "isSpec": False, "value": {"k": deep_array(50_000)}}},
        RecursionError,
    ),
    "huge_array": (
        {"ok": True, "result": w("Array", [w("Int", i) for i in range(100_000)], id=3)},
        lambda r: len(r) == 100_000 and r[-1] == 99_999,
    ),
    "huge_dict": (
        {"ok": True, "result": w("Dict", {str(i): w("Null", None) for i in range(50_000)}, id=3)},
        lambda r: len(r) == 50_000 and r["49999"] is None,
    ),
    "huge_int": ({"ok": True, "result": w("Int", 10**20_000)}, lambda r: r == 10**20_000),
    "huge_int_text": ({"ok": True, "result": w("Int", "9" * 10_000)}, ValueError),
    "huge_string": ({"ok": True, "result": w("String", "x" * 10_000_000)}, lambda r: len(r) == 10_000_000),
    "surrogate_string": ({"ok": True, "result": w("String", "a\udc80\ud800b")}, lambda r: r == "a\udc80\ud800b"),
    "surrogate_key": (
        {"ok": True, "result": w("Dict", {"\udcff": w("String", "\ud800")}, id=2)},
        lambda r: r["\udcff"] == "\ud800",
    ),
    "surrogate_type_name": (
        {"ok": True, "result": {"type": "\ud800", "value": 5, "isSpec": True}},
        lambda r: r._internal_typeName == "\ud800",
    ),
    "base64_bad_padding": ({"ok": True, "result": w("Bytes", "abc")}, binascii.Error),
    "base64_non_ascii": ({"ok": True, "result": w("Bytes", "\u00e9\ud800")}, ValueError),
    "base64_junk_skipped": ({"ok": True, "result": w("Bytes", "@@QUJD")}, lambda r: r == b"ABC"),
    "base64_not_text": ({"ok": True, "result": w("Bytes", 5)}, TypeError),
    # Wrong member types, level by level.
    "response_ok_raises": ({"ok": Evil(), "result": w("Null", None)}, ValueError),
    "response_id_unhashable": ({"requestId": ["x"], "ok": True}, TypeError),
    "response_error_not_dict": ({"ok": False, "error": 5}, RuntimeError),
    "response_error_message_not_text": ({"ok": False, "error": {"message": 5}}, RuntimeError),
    "response_no_result": ({"ok": True}, TypeError),
    "result_not_dict": ({"ok": True, "result": [1, 2]}, TypeError),
    "result_type_not_text": ({"ok": True, "result": {"type": 5, "value": 1}}, lambda r: r == "1"),
    "result_type_not_text_reference": ({"ok": True, "result": {"type": 5, "value": 1, "isSpec": True}}, TypeError),
    "result_isspec_raises": ({"ok": True, "result": {"type": "Range", "value": 1, "isSpec": Evil()}}, ValueError),
    "int_value_none": ({"ok": True, "result": w("Int", None)}, TypeError),
    "int_value_list": ({"ok": True, "result": w("Int", [1])}, TypeError),
    "float_value_text": ({"ok": True, "result": w("Float", "one")}, ValueError),
    "string_value_raises": ({"ok": True, "result": w("String", Evil())}, ValueError),
    "date_value_list": ({"ok": True, "result": w("Date", [2024])}, lambda r: r == [2024]),
    "array_value_int": ({"ok": True, "result": w("Array", 5, id=1)}, TypeError),
    "array_value_text": ({"ok": True, "result": w("Array", "ab", id=1)}, TypeError),
    "array_id_text": ({"ok": True, "result": w("Array", [], id="x")}, TypeError),
    "array_id_missing": ({"ok": True, "result": w("Array", [])}, TypeError),
    "array_element_not_dict": ({"ok": True, "result": w("Array", [w("Int", 1), 2], id=1)}, TypeError),
    "array_element_bad_member": ({"ok": True, "result": w("Array", [w("Int", None)], id=1)}, TypeError),
    "dict_value_list": ({"ok": True, "result": w("Dict", [1], id=1)}, AttributeError),
    "dict_entry_not_dict": ({"ok": True, "result": w("Dict", {"a": "b"}, id=1)}, TypeError),
    "dict_nested_bad_member": (
        {"ok": True, "result": w("Dict", {"a": w("Array", [w("Float", "x")], id=2)}, id=1)},
        ValueError,
    ),
    "reference_value_text": ({"ok": True, "result": {"type": "Range", "value": "x", "isSpec": True}}, ValueError),
    "reference_value_nan": (
        {"ok": True, "result": {"type": "Range", "value": float("nan"), "isSpec": True}},
        ValueError,
    ),
    "reference_value_huge": (
        {"ok": True, "result": {"type": "Range", "value": 10**30, "isSpec": True}},
        lambda r: r._internal_id == 10**30,
    ),
}


@pytest.mark.parametrize("response, expect", RESPONSES.values(), ids=RESPONSES.keys())
def test_hostile_response(probe, response, expect):
    if isinstance(expect, type):
        with pytest.raises(expect):
            probe(response)
    else:
        assert expect(probe(response))


class Faulty:
    def __str__(self):
        raise ValueError("no text")


OUTGOING = {
    "deep_list": (deep_list(100_000), RecursionError),
    "deep_dict": (deep_dict(100_000), RecursionError),
    "self_containing": (None, RecursionError),  # filled in below
    "unencodable_inside": ([1, {"k": [Faulty()]}], ValueError),
    "huge_list": (list(range(200_000)), None),
    "huge_int": (10**20_000, None),
    "surrogates": ({"\udc80": ["\ud800", "a\udfff"]}, None),
}
_loop: list = []
_loop.append(_loop)
OUTGOING["self_containing"] = (_loop, RecursionError)


@pytest.mark.parametrize("value, expect", OUTGOING.values(), ids=OUTGOING.keys())
def test_hostile_value_sent(addin, state_intact, value, expect):
    addin.on("SET", None, result=None)
    proxy = com_like.OfficeJsObject(1, "Excel")
    before = addin.counts["SET"]
    if expect is not None:
        with pytest.raises(expect):
            proxy.values = value
        assert addin.counts["SET"] == before  # nothing was sent
    else:
        proxy.values = value
        assert addin.counts["SET"] == before + 1
        assert com_like.Serializer.to_wire(value) == addin.last["value"]
    state_intact()
    proxy.values = 1
    assert addin.last["value"] == {"type": "Int", "value": 1, "isSpec": False}


@pytest.mark.parametrize("args", [("\ud800",), (10**5000,), (deep_list(100_000),)], ids=["surrogate", "huge", "deep"])
def test_hostile_call_arguments(addin, state_intact, args):
    addin.on("CALL", None, result=w("Null", None))
    function = com_like.OfficeJsObject(2, "Function")
    if isinstance(args[0], list):
        with pytest.raises(RecursionError):
            function(*args)
        assert addin.counts["CALL"] == 0
    else:
        assert function(*args, key=args[0]) is None
        sent = addin.last["args"]
        assert [a["arg_type"] for a in sent] == ["PLACED", "NAMED"]
        assert sent[0]["value"]["value"] == args[0] == sent[1]["value"]["value"]
    state_intact()
    assert function() is None


def _shrinking_list():
    items = []

    class Shrink:
        def __str__(self):
            items.clear()  # the encoder is in the middle of walking this list
            gc.collect()
            return "shrunk"

    items[:] = [Shrink(), "x", [1, 2]]
    return items


def _refilled_dict():
    entries = {}

    class Refill:
        def __str__(self):
            entries.clear()
            entries.update({i: object() for i in range(50)})
            gc.collect()
            return "refilled"

    entries.update(a=Refill(), b="x", c="y")
    return entries


def _shrinking_wire_list():
    items = [w("Int", 1)]

    class IntLike:
        def __int__(self):
            items.clear()
            gc.collect()
            return 5

    items += [w("Int", IntLike()), w("Int", 3)]
    return w("Array", items, id=1)


def _refilled_wire_dict():
    entries = {}

    class IntLike:
        def __int__(self):
            entries.clear()
            entries.update({str(i): w("Null", None) for i in range(40)})
            gc.collect()
            return 5

    entries.update(a=w("Int", IntLike()), b=w("Int", 3))
    return w("Dict", entries, id=1)


@pytest.mark.parametrize(
    "direction, make",
    [
        ("to_wire", _shrinking_list),
        ("to_wire", _refilled_dict),
        ("from_wire", _shrinking_wire_list),
        ("from_wire", _refilled_wire_dict),
    ],
    ids=["list_shrinks_while_encoded", "dict_refilled_while_encoded", "list_shrinks_while_decoded",
         "dict_refilled_while_decoded"],
)
def test_container_changed_by_its_own_elements(addin, state_intact, direction, make):
    # Foreign code run for one element changes the container being walked:
    # what the walk then gives is open, a crash or a stale element is not.
    value = make()
    codec = getattr(com_like.Serializer, direction)
    try:
        result = codec(value)
    except RuntimeError as exc:
        assert "changed size during iteration" in str(exc)
    else:
        assert isinstance(result, (dict, list))
    state_intact()
