"""Requests and responses: envelopes, time-outs, failures, and whatever the
host may hand to on_message."""

import collections
import concurrent.futures
import gc
import re
import threading
import time
import uuid

import pytest

from velmara_master.python_server.velmara.testing import wait_entered

TIMEOUT_TEXT = "Timed out waiting for Office.js response"
HEX32 = re.compile(r"^[0-9a-f]{32}$")


def capture(m):
    sent = []
    m.set_send_handler(sent.append)
    return sent


# --- envelopes -------------------------------------------------------------


def test_envelope_is_a_copy_of_the_body_then_id_then_kind(m, answering):
    sent = []

    def handler(envelope):
        sent.append(envelope)
        answering(m, ok=True)(envelope)

    m.set_send_handler(handler)
    value = ["shared"]
    body = {"method": "SET", "name": "values", "caller": 7, "value": value}
    before = dict(body)
    m.send_request_sync(body)
    (envelope,) = sent
    assert list(envelope) == ["method", "name", "caller", "value", "requestId", "kind"]
    assert envelope["kind"] == "request"
    assert envelope is not body and body == before and list(body) == list(before)
    assert envelope["value"] is value  # shallow
    ident = envelope["requestId"]
    assert type(ident) is str and HEX32.match(ident)
    parsed = uuid.UUID(hex=ident)
    assert parsed.version == 4 and parsed.variant == uuid.RFC_4122


@pytest.mark.parametrize(
    "body, keys",
    [
        ({"kind": "response", "method": "GET"}, ["kind", "method", "requestId"]),
        ({"requestId": "mine", "method": "GET"}, ["requestId", "method", "kind"]),
        ({"method": "GET", "kind": None, "requestId": 5}, ["method", "kind", "requestId"]),
        ({}, ["requestId", "kind"]),
    ],
)
def test_id_and_kind_are_overwritten_in_place(m, body, keys):
    sent = capture(m)
    before = dict(body)
    with pytest.raises(TimeoutError):
        m.send_request_sync(body, 0)
    (envelope,) = sent
    assert list(envelope) == keys
    assert envelope["kind"] == "request"
    assert HEX32.match(envelope["requestId"])
    assert body == before


def test_every_request_draws_a_new_id(m):
    sent = capture(m)
    for _ in range(500):
        with pytest.raises(TimeoutError):
            m.send_request_sync({"method": "GET"}, 0)
    ids = {envelope["requestId"] for envelope in sent}
    assert len(ids) == 500
    assert m._guid not in ids


def test_response_is_the_very_dict_delivered(m):
    delivered = {}

    def handler(envelope):
        delivered.update(requestId=envelope["requestId"], ok=True, result={"type": "Null"})
        m.on_message(delivered)

    m.set_send_handler(handler)
    assert m.send_request_sync({"method": "GET"}) is delivered
    assert m.waiters == {}


def test_handler_is_called_once_with_the_envelope_and_its_result_ignored(m):
    calls = []

    def handler(*args, **kwargs):
        calls.append((args, kwargs))
        m.on_message({"requestId": args[0]["requestId"], "ok": True})
        return "ignored"

    m.set_send_handler(handler)
    assert m.send_request_sync({"method": "GET"})["ok"] is True
    assert len(calls) == 1 and len(calls[0][0]) == 1 and calls[0][1] == {}


class Falsy:
    def __init__(self):
        self.calls = 0

    def __bool__(self):
        return False

    def __call__(self, envelope):
        self.calls += 1


@pytest.mark.parametrize("handler", [None, 0, "", Falsy()])
def test_a_false_handler_means_no_handler(m, handler):
    m.set_send_handler(handler)
    assert m._send_handler is handler
    with pytest.raises(RuntimeError, match=r"^No send handler registered$"):
        m.send_request_sync({"method": "GET"})
    assert m.waiters == {}
    if isinstance(handler, Falsy):
        assert handler.calls == 0


def test_handler_is_stored_unchanged_and_not_tested(m):
    m.set_send_handler(5)
    assert m._send_handler == 5
    with pytest.raises(TypeError, match="'int' object is not callable"):
        m.send_request_sync({"method": "GET"})
    assert m.waiters == {}


def test_handler_attribute_is_read_at_each_call(m, answering):
    m._send_handler = answering(m, ok=True, result=1)
    assert m.send_request_sync({})["result"] == 1
    m._send_handler = answering(m, ok=True, result=2)
    assert m.send_request_sync({})["result"] == 2


def test_waiter_is_registered_before_the_handler_runs(m):
    seen = []

    def handler(envelope):
        seen.append(dict(m.waiters))
        m.on_message({"requestId": envelope["requestId"], "ok": True})

    m.set_send_handler(handler)
    m.send_request_sync({"method": "GET"})
    ((ident, waiter),) = seen[0].items()
    assert type(waiter) is concurrent.futures.Future and HEX32.match(ident)
    assert m.waiters == {}


# --- time-outs -------------------------------------------------------------


@pytest.mark.parametrize("timeout", [0.05, 0, -1, -0.5])
def test_no_response_ends_in_the_timeout_error(m, timeout):
    sent = capture(m)
    with pytest.raises(TimeoutError) as info:
        m.send_request_sync({"method": "GET"}, timeout)
    assert type(info.value) is TimeoutError and str(info.value) == TIMEOUT_TEXT
    assert isinstance(info.value.__context__, TimeoutError)  # the wait's own
    assert info.value.__cause__ is None and not info.value.__suppress_context__
    assert len(sent) == 1 and m.waiters == {}
    # a late response is ignored
    assert m.on_message({"requestId": sent[0]["requestId"], "ok": True}) is None
    assert m.waiters == {}


@pytest.mark.parametrize("timeout", [0, -1, 0.0, 30.0])
def test_response_during_the_handler_returns_at_once_whatever_the_timeout(m, answering, timeout):
    m.set_send_handler(answering(m, ok=True, result="now"))
    assert m.send_request_sync({"method": "GET"}, timeout)["result"] == "now"
    assert m.waiters == {}


def test_the_timeout_counts_from_the_handlers_return(m):
    timeout = 0.3
    answered = []

    def handler(envelope):
        waiting = wait_entered(m.waiters[envelope["requestId"]])

        def answer():  # once the caller waits, long after the whole time-out began
            if waiting.wait(60):
                answered.append(m.on_message({"requestId": envelope["requestId"], "ok": True, "result": "late"}))

        threading.Thread(target=answer, daemon=True).start()
        time.sleep(timeout * 1.5)  # a slow transport: the handler outlasts the time-out

    m.set_send_handler(handler)
    assert m.send_request_sync({"method": "GET"}, timeout)["result"] == "late"
    assert answered == [None]


def test_timeout_error_from_the_handler_maps_to_the_timeout_error(m):
    original = TimeoutError("transport stalled")

    def handler(envelope):
        raise original

    m.set_send_handler(handler)
    with pytest.raises(TimeoutError) as info:
        m.send_request_sync({"method": "GET"})
    assert str(info.value) == TIMEOUT_TEXT and info.value is not original
    assert info.value.__context__ is original and info.value.__cause__ is None
    assert m.waiters == {}


@pytest.mark.parametrize("exc", [ValueError("bad"), OSError(32, "broken pipe"), KeyError("k"), RuntimeError("x")])
def test_handler_exceptions_reach_the_caller_as_the_same_object(m, exc):
    def handler(envelope):
        raise exc

    m.set_send_handler(handler)
    with pytest.raises(type(exc)) as info:
        m.send_request_sync({"method": "GET"})
    assert info.value is exc
    assert m.waiters == {}


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
def test_base_exceptions_from_the_handler_pass_unchanged_and_leave_no_waiter(m, exc):
    def handler(envelope):
        raise exc

    m.set_send_handler(handler)
    with pytest.raises(BaseException) as info:
        m.send_request_sync({"method": "GET"})
    assert info.value is exc
    assert info.value.__context__ is None
    assert m.waiters == {}


# --- failed responses ------------------------------------------------------

MISSING = object()


@pytest.mark.parametrize(
    "ok, succeeds",
    [
        (True, True),
        (1, True),
        ("yes", True),
        ([0], True),
        (2.5, True),
        (False, False),
        (0, False),
        ("", False),
        (None, False),
        ([], False),
        (0.0, False),
        (MISSING, False),
    ],
)
def test_ok_counts_by_its_truth_value(m, ok, succeeds):
    def handler(envelope):
        message = {"requestId": envelope["requestId"]}
        if ok is not MISSING:
            message["ok"] = ok
        assert m.on_message(message) is None

    m.set_send_handler(handler)
    if succeeds:
        assert m.send_request_sync({})["requestId"]
    else:
        with pytest.raises(RuntimeError, match=r"^Remote error$"):
            m.send_request_sync({})
    assert m.waiters == {}


class Getter:
    def get(self, key, default):
        return f"{key}|{default}"


@pytest.mark.parametrize(
    "error, text",
    [
        (MISSING, "Remote error"),
        ({}, "Remote error"),
        ({"message": "Sheet not found"}, "Sheet not found"),
        ({"message": ""}, ""),
        ({"code": 5}, "Remote error"),
        (collections.OrderedDict(message="ordered"), "ordered"),
        (Getter(), "message|Remote error"),
        # no get: the text itself when it is a non-empty str, else the default
        ("plain text", "plain text"),
        ("", "Remote error"),
        (None, "Remote error"),
        ([], "Remote error"),
        (["a", "b"], "Remote error"),
        (5, "Remote error"),
        (b"bytes", "Remote error"),
    ],
)
def test_failure_text(m, error, text):
    results = []

    def handler(envelope):
        message = {"requestId": envelope["requestId"], "ok": False}
        if error is not MISSING:
            message["error"] = error
        results.append(m.on_message(message))

    m.set_send_handler(handler)
    with pytest.raises(RuntimeError) as info:
        m.send_request_sync({}, 5)
    assert type(info.value) is RuntimeError and str(info.value) == text
    assert results == [None]
    assert m.waiters == {}


def test_failure_reaches_a_waiting_thread(m, pending):
    p = pending()
    assert m.on_message({"requestId": p.request_id, "ok": False, "error": None}) is None
    _, error = p.outcome()
    assert type(error) is RuntimeError and str(error) == "Remote error"
    assert m.waiters == {}


def test_a_raising_error_get_still_ends_the_wait(m, pending):
    boom = LookupError("get failed")

    class Broken:
        def get(self, key, default):
            raise boom

    p = pending()
    with pytest.raises(LookupError) as info:
        m.on_message({"requestId": p.request_id, "ok": False, "error": Broken()})
    assert info.value is boom
    _, error = p.outcome()
    assert type(error) is RuntimeError and str(error) == "Remote error"
    assert m.waiters == {}


@pytest.mark.parametrize("exc_type", [ZeroDivisionError, KeyboardInterrupt])
def test_an_ok_whose_truth_test_raises_still_ends_the_wait(m, pending, exc_type):
    class Undecided:
        def __bool__(self):
            raise exc_type("undecided")

    p = pending()
    with pytest.raises(exc_type, match="undecided"):
        m.on_message({"requestId": p.request_id, "ok": Undecided(), "error": {"message": "why"}})
    _, error = p.outcome()
    assert type(error) is RuntimeError and str(error) == "why"
    assert m.waiters == {}


def test_an_unreadable_ok_still_ends_the_wait(m, pending):
    class SameHashAsOk:  # the lookup of "ok" meets it and its __eq__ raises
        def __hash__(self):
            return hash("ok")

        def __eq__(self, other):
            raise LookupError("no comparison")

    p = pending(timeout=30)
    with pytest.raises(LookupError, match="no comparison"):
        m.on_message({"requestId": p.request_id, SameHashAsOk(): True})
    _, error = p.outcome()
    assert type(error) is RuntimeError and str(error) == "Remote error"
    assert m.waiters == {}


class Undecidable:
    def __bool__(self):
        raise ZeroDivisionError("undecidable")


def test_an_already_completed_waiter_is_left_alone(m, pending):
    p = pending()
    waiter = m.waiters[p.request_id]
    waiter.set_result("completed elsewhere")
    for ok in (True, False, Undecidable()):
        m.waiters[p.request_id] = waiter
        assert m.on_message({"requestId": p.request_id, "ok": ok}) is None
        assert m.waiters == {}
    assert p.outcome() == ("completed elsewhere", None)


# --- whatever the host hands over ------------------------------------------


class Text(str):
    pass


class HashBomb:
    def __hash__(self):
        raise ArithmeticError("no hash")


class BoolBomb(str):
    def __bool__(self):
        raise ArithmeticError("no truth")


@pytest.mark.parametrize(
    "request_id, raises",
    [
        (MISSING, None),
        (None, None),
        ("", None),
        (0, None),
        (12345, None),
        (b"bytes", None),
        (("a", "b"), None),
        ("no-such-request", None),
        (["list"], TypeError),
        ({"a": 1}, TypeError),
        (HashBomb(), ArithmeticError),
    ],
)
def test_unmatched_or_unusable_ids_change_nothing(m, pending, request_id, raises):
    p = pending()
    table = dict(m.waiters)
    message = {"ok": True}
    if request_id is not MISSING:
        message["requestId"] = request_id
    if raises:
        with pytest.raises(raises):
            m.on_message(message)
    else:
        assert m.on_message(message) is None
    assert m.waiters == table
    # the pending request is still answerable
    assert m.on_message({"requestId": p.request_id, "ok": True, "result": 1}) is None
    result, error = p.outcome()
    assert error is None and result["result"] == 1


def test_an_id_whose_truth_test_raises_reaches_the_host(m, pending):
    p = pending()
    with pytest.raises(ArithmeticError):
        m.on_message({"requestId": BoolBomb(p.request_id), "ok": True})
    assert list(m.waiters) == [p.request_id]
    m.on_message({"requestId": p.request_id, "ok": True})
    assert p.outcome()[1] is None


def test_a_str_subclass_id_is_matched_by_its_text(m, pending):
    p = pending()
    assert m.on_message({"requestId": Text(p.request_id), "ok": True, "result": "sub"}) is None
    result, error = p.outcome()
    assert error is None and result["result"] == "sub"
    assert m.waiters == {}


def test_a_second_response_for_the_same_id_does_nothing(m, pending):
    p = pending()
    first = {"requestId": p.request_id, "ok": True, "result": 1}
    assert m.on_message(first) is None
    assert m.on_message({"requestId": p.request_id, "ok": False}) is None
    assert p.outcome() == (first, None)


@pytest.mark.parametrize("message", [None, [], "requestId", 5, collections.UserDict()])
def test_on_message_refuses_what_is_not_a_dict(m, pending, message):
    p = pending()
    with pytest.raises(TypeError, match=r"^Argument 'message' has incorrect type"):
        m.on_message(message)
    assert list(m.waiters) == [p.request_id]
    m.on_message({"requestId": p.request_id, "ok": True})
    assert p.outcome()[1] is None


@pytest.mark.parametrize("member", ["ok", "error"])
def test_a_message_that_changes_under_its_own_members_is_read_safely(m, pending, member):
    # The member's own code drops the last reference to it from the message;
    # the module must hold its own reference while it works with it.
    p = pending()
    message = {"requestId": p.request_id, "ok": False}

    class Shifty:
        def __bool__(self):
            message.clear()
            gc.collect()
            return False

        def __getattr__(self, name):
            message.clear()
            gc.collect()
            raise AttributeError(name)

    message[member] = Shifty()
    assert m.on_message(message) is None
    _, error = p.outcome()
    assert type(error) is RuntimeError and str(error) == "Remote error"
    assert m.waiters == {}
