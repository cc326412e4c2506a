"""Hostile input: deep nesting, and no crash whatever the far end sends.

The nesting cases run in a fresh interpreter, so that a crash shows up as
a failed test instead of taking the test run down with it."""

import contextlib
import pathlib
import re

import pytest

DEEP = """
import sys, threading
import com_like
S = com_like.Serializer

def nested_wire(depth, kind):
    wire = {"type": "Int", "value": 1}
    for _ in range(depth):
        if kind == "Array":
            wire = {"type": "Array", "id": 1, "value": [wire]}
        else:
            wire = {"type": "Dict", "id": 1, "value": {"k": wire}}
    return wire

def nested_value(depth, kind):
    value = 1
    for _ in range(depth):
        value = [value] if kind == "list" else {"k": value}
    return value

def check(fn, arg):
    try:
        fn(arg)
    except RecursionError:
        return "RecursionError"
    return "returned"

def run():
    results = []
    for kind in ("Array", "Dict"):
        results.append(check(S.from_wire, nested_wire(100_000, kind)))
    for kind in ("list", "dict"):
        results.append(check(S.to_wire, nested_value(100_000, kind)))
    loop = []
    loop.append(loop)
    results.append(check(S.to_wire, loop))
    import numpy as np
    cell = np.empty((), dtype=object)
    cell[()] = cell
    results.append(check(S.to_wire, cell))
    # moderate nesting still works
    results.append(check(S.to_wire, nested_value(200, "list")))
    print(" ".join(results))

run()
worker = threading.Thread(target=run)
worker.start()
worker.join()
print("alive", S.to_wire([1])["value"][0]["value"])
"""


def test_deep_nesting_is_a_recursion_error_in_both_directions(python_subprocess):
    done = python_subprocess(DEEP)
    assert done.returncode == 0, done.stderr
    expected = " ".join(["RecursionError"] * 6 + ["returned"])
    assert done.stdout.splitlines() == [expected, expected, "alive 1"]


def test_proxies_of_a_deep_array_are_dropped_cleanly(python_subprocess):
    code = """
import com_like
m = com_like.messaging
sent = []
def handler(env):
    sent.append(env["method"])
    m.on_message({"requestId": env["requestId"], "ok": True, "result": None})
m.set_send_handler(handler)
wire = {"type": "Int", "value": 1}
for _ in range(50_000):
    wire = {"type": "Array", "id": 5, "value": [wire]}
try:
    com_like.Serializer.from_wire(wire)
except RecursionError:
    print("RecursionError", len(sent) > 1000, set(sent))
"""
    done = python_subprocess(code)
    assert done.returncode == 0, done.stderr
    # every proxy made before the limit was hit was dropped (and said so)
    assert done.stdout.strip() == "RecursionError True {'DEL'}"


def test_recursion_guards_are_always_left():
    """Every native function that enters the recursion check holds it in a
    guard object, never by hand, so no early return can skip the leave."""
    root = pathlib.Path(__file__).resolve().parents[2] / "python_server/velmara/com_like"
    for source in root.rglob("*.[ch]pp"):
        text = source.read_text()
        if source.name == "recursion.hpp":
            continue
        assert "Py_EnterRecursiveCall" not in text, source
        assert "Py_LeaveRecursiveCall" not in text, source
    wire = (root / "wire/encode.cpp").read_text() + (root / "wire/decode.cpp").read_text()
    # each container walk takes the guard first
    for name in ("encode_sequence", "encode_mapping", "encode_frame", "encode_ndarray", "decode_array", "decode_dict"):
        body = re.search(rf"::{name}\([^)]*\) {{\n(.*?)\n}}\n", wire, re.S).group(1)
        assert body.lstrip().startswith("RecursionGuard depth(kDepth);"), name


HOSTILE_VALUES = [
    None,
    1,
    "x",
    [],
    {},
    [{"type": "Int"}],
    float("nan"),
    b"\x00",
    10**400,
    "9" * 10_000,
    object(),
]


@pytest.mark.parametrize("tag", ["Null", "Bool", "Int", "Float", "String", "Date", "Bytes", "Array", "Dict", "X"])
@pytest.mark.parametrize("value", HOSTILE_VALUES, ids=lambda v: type(v).__name__)
@pytest.mark.parametrize("extra", [{}, {"id": 1}, {"id": "1"}, {"isSpec": True}, {"id": None, "isSpec": 1}])
def test_any_member_types_give_an_exception_or_a_value(from_wire, tag, value, extra):
    with contextlib.suppress(Exception):  # an exception is an answer; only a crash fails
        from_wire({"type": tag, "value": value, **extra})
