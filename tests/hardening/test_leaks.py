"""No operation of the module leaks, on its success path or its error paths.

Each case builds one operation (after any set-up it needs) and the leak
check runs it many times: a reference kept too many, an exception or a
traceback never dropped, a table entry never removed, all show as growth
that repeats in every round.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import datetime as dt
import enum

import numpy as np
import pandas as pd
import pytest

import com_like

requires = pytest.mark.requires


def raises(exc_type, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{fn!r} did not raise {exc_type.__name__}")


def case(*subsystems, id, iterations=None):
    """A leak case: a function (module, add-in) -> operation."""

    def wrap(make):
        if iterations is not None:
            make.iterations = iterations
        return pytest.param(make, id=id, marks=[requires(*subsystems)] if subsystems else [])

    return wrap


class Evil:
    def __str__(self):
        raise ValueError("no text")

    def __bool__(self):
        raise ValueError("no truth")


class Color(enum.IntEnum):
    RED = 1


# --------------------------------------------------------------------------
# Messaging


def _answered(mod, host):
    m = mod.messaging
    host.on("GET", "x", result=None)
    return lambda: m.send_request_sync({"method": "GET", "name": "x", "caller": 1})


def _registry_round_trip(mod, host):
    m = mod.messaging

    def f():
        pass

    def op():
        cid = m.register_callable(f)
        assert m.get_callable(cid) is f
        m.unregister_callable(cid)

    return op


def _send_with_handler(handler, *, timeout=None):
    def make(mod, host):
        m = mod.Messaging()
        m.set_send_handler(handler(m) if callable(handler) else handler)
        kwargs = {} if timeout is None else {"timeout": timeout}
        body = {"method": "GET", "name": "n", "caller": 3}
        return lambda: m.send_request_sync(body, **kwargs)

    return make


def _error_response(error):
    def handler(m):
        def h(env):
            m.on_message({"requestId": env["requestId"], "ok": False, "error": error})

        return h

    return handler


def _raise_in_handler(exc_type, text):
    # A new exception per call: raising one object again would grow its
    # traceback, a leak of the test's own.
    def handler(m):
        def h(env):
            raise exc_type(text)

        return h

    return handler


def _reset_in_handler(m):
    return lambda env: m.reset()


def _expecting(exc_type, make):
    def wrapped(mod, host):
        op = make(mod, host)
        return lambda: raises(exc_type, op)

    return wrapped


def _on_message(message_factory, exc_type=None):
    def make(mod, host):
        m = mod.Messaging()

        def op():
            message = message_factory(m)
            if exc_type is None:
                assert m.on_message(message) is None
            else:
                raises(exc_type, m.on_message, message)

        return op

    return make


def _pending(m, **fields):
    """A message answering a waiter registered by hand."""
    rid = "r" * 32
    m.waiters[rid] = concurrent.futures.Future()
    return {"requestId": rid, **fields}


MESSAGING_CASES = [
    case(id="init")(lambda mod, host: mod.Messaging),
    case(id="set_send_handler")(lambda mod, host: lambda: mod.Messaging().set_send_handler(print)),
    case(id="send.answered")(_answered),
    case(id="send.no_handler")(lambda mod, host: lambda: raises(RuntimeError, mod.Messaging().send_request_sync, {})),
    case(id="send.req_not_dict")(lambda mod, host: lambda: raises(TypeError, mod.messaging.send_request_sync, [])),
    case(id="send.req_dict_subclass")(
        lambda mod, host: lambda: raises(TypeError, mod.messaging.send_request_sync, collections_ordered())
    ),
    case(id="send.bad_timeout")(lambda mod, host: lambda: raises(TypeError, mod.messaging.send_request_sync, {}, "1")),
    case(id="send.wrong_arity")(lambda mod, host: lambda: raises(TypeError, mod.messaging.send_request_sync)),
    case(id="send.timeout")(_expecting(TimeoutError, _send_with_handler(lambda m: lambda env: None, timeout=0))),
    case(id="send.handler_timeout_error")(
        _expecting(TimeoutError, _send_with_handler(_raise_in_handler(TimeoutError, "t"), timeout=1))
    ),
    case(id="send.handler_raises")(_expecting(ValueError, _send_with_handler(_raise_in_handler(ValueError, "v")))),
    case(id="send.remote_error")(_expecting(RuntimeError, _send_with_handler(_error_response({"message": "no"})))),
    case(id="send.remote_error_default")(_expecting(RuntimeError, _send_with_handler(_error_response({})))),
    case(id="send.cancelled_by_reset")(
        _expecting(concurrent.futures.CancelledError, _send_with_handler(_reset_in_handler))
    ),
    case(id="on_message.ok")(_on_message(lambda m: _pending(m, ok=True, result=None))),
    case(id="on_message.error")(_on_message(lambda m: _pending(m, ok=False, error={"message": "e"}))),
    case(id="on_message.unknown_id")(_on_message(lambda m: {"requestId": "nobody", "ok": True})),
    case(id="on_message.no_id")(_on_message(lambda m: {"ok": True})),
    case(id="on_message.list_id")(_on_message(lambda m: {"requestId": [1]}, TypeError)),
    case(id="on_message.evil_ok")(_on_message(lambda m: _pending(m, ok=Evil()), ValueError)),
    case(id="on_message.not_dict")(_on_message(lambda m: [("requestId", "x")], TypeError)),
    case(id="reset")(lambda mod, host: mod.messaging.reset),
    case(id="registry.round_trip")(_registry_round_trip),
    case(id="registry.not_callable")(lambda mod, host: lambda: raises(TypeError, mod.messaging.register_callable, 5)),
    case(id="registry.get_missing")(lambda mod, host: lambda: mod.messaging.get_callable("pyfunc_nothing_1")),
    case(id="registry.get_bad_type")(lambda mod, host: lambda: raises(TypeError, mod.messaging.get_callable, None)),
    case(id="registry.unregister_missing")(lambda mod, host: lambda: mod.messaging.unregister_callable("nothing")),
    case(id="registry.unregister_bad_type")(
        lambda mod, host: lambda: raises(TypeError, mod.messaging.unregister_callable, 1)
    ),
]


def collections_ordered():
    import collections

    return collections.OrderedDict()


# --------------------------------------------------------------------------
# Serializer


def _utc_plus_2():
    return dt.timezone(dt.timedelta(hours=2))


TO_WIRE_VALUES = {
    "none": None,
    "bool": True,
    "np_bool": np.bool_(False),
    "int": 7,
    "big_int": 10**400,
    "int_enum": Color.RED,
    "float": 1.5,
    "nan": float("nan"),
    "str": "text \u00e9",
    "surrogate_str": "\ud800",
    "datetime_naive": dt.datetime(2024, 5, 1, 14),
    "datetime_aware": dt.datetime(2024, 5, 1, 14, tzinfo=_utc_plus_2()),
    "date": dt.date(2024, 5, 1),
    "timestamp": pd.Timestamp("2024-05-01T14:00:00+02:00"),
    "bytes": b"\x00\xffabc",
    "bytearray": bytearray(b"abc"),
    "memoryview": memoryview(b"abc"),
    "list": [1, "a", None, [2.0]],
    "tuple": (1, "a"),
    "dict": {"a": 1, 2: [None], (1, 2): {"b": b"x"}},
    "set": {1, 2},
    "np_int": np.int64(5),
    "series": pd.Series([1, 2], name="s"),
    "frame": pd.DataFrame({"a": [1, 2], "b": ["x", "y"]}),
}


def _to_wire(value):
    return lambda mod, host: lambda: mod.Serializer.to_wire(value)


def _to_wire_callable(mod, host):
    m = mod.messaging

    def op():
        wire = mod.Serializer.to_wire(lambda: None)
        m.unregister_callable(wire["value"])

    return op


def _self_containing_list():
    lst = [1]
    lst.append(lst)
    return lst


class _BadIter(list):
    def __iter__(self):
        raise ValueError("no iteration")


class _BadItems(dict):
    def items(self):
        raise ValueError("no items")


def _to_wire_raises(exc_type, make_value):
    def make(mod, host):
        value = make_value()
        return lambda: raises(exc_type, mod.Serializer.to_wire, value)

    return make


def _to_wire_tolerant(value):
    # Whether this value is converted or refused is the encoder's choice;
    # either way must not leak.
    def make(mod, host):
        def op():
            with contextlib.suppress(Exception):
                mod.Serializer.to_wire(value)

        return op

    return make


def _deep_array_wire(depth):
    wire = _w("Null", None)
    for i in range(depth):
        wire = _w("Array", [wire], id=i)
    return wire


def _deep_list(depth):
    value = None
    for _ in range(depth):
        value = [value]
    return value


TO_WIRE_CASES = [case("wire", id=f"to_wire.{name}")(_to_wire(value)) for name, value in TO_WIRE_VALUES.items()] + [
    case("wire", id="to_wire.callable")(_to_wire_callable),
    case("wire", id="to_wire.str_raises")(_to_wire_raises(ValueError, Evil)),
    case("wire", id="to_wire.nested_str_raises")(_to_wire_raises(ValueError, lambda: [1, {"k": [Evil()]}])),
    case("wire", id="to_wire.iter_raises")(_to_wire_raises(ValueError, lambda: _BadIter([1]))),
    case("wire", id="to_wire.items_raises")(_to_wire_raises(ValueError, lambda: _BadItems(a=1))),
    case("wire", id="to_wire.recursion", iterations=60)(_to_wire_raises(RecursionError, _self_containing_list)),
    case("wire", id="to_wire.deep", iterations=60)(_to_wire_raises(RecursionError, lambda: _deep_list(100_000))),
    case("wire", id="to_wire.datetime64")(_to_wire_tolerant(np.datetime64("2024-05-01"))),
    case("wire", id="to_wire.wrong_arity")(
        lambda mod, host: lambda: raises(TypeError, mod.Serializer.to_wire, 1, 2)
    ),
]


def _w(tag, value, **extra):
    return {"type": tag, "value": value, "isSpec": False, **extra}


FROM_WIRE_VALUES = {
    "null": _w("Null", None),
    "bool": _w("Bool", "false"),
    "int": _w("Int", "12"),
    "big_int": _w("Int", 10**400),
    "float": _w("Float", 1),
    "string": _w("String", 5),
    "date": _w("Date", "2024-05-01T12:00:00+00:00"),
    "date_unparsable": _w("Date", "not a date"),
    "bytes": _w("Bytes", "AP9hYmM="),
    "bytes_empty": _w("Bytes", ""),
    "unknown_tag": _w("Whatever", 3),
    "empty": {},
}

FROM_WIRE_PROXY_VALUES = {
    "array": _w("Array", [_w("Int", 1), _w("Array", [], id=4)], id=3),
    "dict": _w("Dict", {"a": _w("String", "x"), 1: _w("Null", None)}, id=5),
    "reference": {"type": "Range", "value": 9, "isSpec": True},
}


def _from_wire(wire):
    return lambda mod, host: lambda: mod.Serializer.from_wire(wire)


def _from_wire_raises(exc_type, wire):
    return lambda mod, host: lambda: raises(exc_type, mod.Serializer.from_wire, wire)


FROM_WIRE_CASES = (
    [case("wire", id=f"from_wire.{name}")(_from_wire(wire)) for name, wire in FROM_WIRE_VALUES.items()]
    + [
        case("wire", "proxies", id=f"from_wire.{name}")(_from_wire(wire))
        for name, wire in FROM_WIRE_PROXY_VALUES.items()
    ]
    + [
        case("wire", id="from_wire.not_dict")(_from_wire_raises(TypeError, [1])),
        case("wire", id="from_wire.int_not_number")(_from_wire_raises(ValueError, _w("Int", "twelve"))),
        case("wire", id="from_wire.int_none")(_from_wire_raises(TypeError, _w("Int", None))),
        case("wire", id="from_wire.int_too_many_digits")(_from_wire_raises(ValueError, _w("Int", "9" * 5000))),
        case("wire", id="from_wire.float_not_number")(_from_wire_raises(ValueError, _w("Float", "x"))),
        case("wire", id="from_wire.bytes_bad_padding")(_from_wire_raises(ValueError, _w("Bytes", "abc"))),
        case("wire", id="from_wire.bytes_non_ascii")(_from_wire_raises(ValueError, _w("Bytes", "\u00e9\ud800"))),
        case("wire", "proxies", id="from_wire.array_no_id")(_from_wire_raises(TypeError, _w("Array", []))),
        case("wire", "proxies", id="from_wire.array_bad_element")(
            _from_wire_raises(TypeError, _w("Array", [_w("Int", 1), 2], id=1))
        ),
        case("wire", "proxies", id="from_wire.array_not_iterable")(_from_wire_raises(TypeError, _w("Array", 5, id=1))),
        case("wire", "proxies", id="from_wire.dict_no_items")(_from_wire_raises(AttributeError, _w("Dict", [1], id=1))),
        case("wire", "proxies", id="from_wire.dict_bad_entry")(
            _from_wire_raises(ValueError, _w("Dict", {"a": _w("Int", "x")}, id=1))
        ),
        case("wire", "proxies", id="from_wire.reference_bad_id")(
            _from_wire_raises(ValueError, {"type": "Range", "value": "x", "isSpec": True})
        ),
        case("wire", "proxies", id="from_wire.reference_bad_type")(
            _from_wire_raises(TypeError, {"type": 5, "value": 1, "isSpec": True})
        ),
        case("wire", "proxies", id="from_wire.deep_array", iterations=8)(
            _from_wire_raises(RecursionError, _deep_array_wire(30_000))
        ),
    ]
)


# --------------------------------------------------------------------------
# Proxies: construction, remote operations, routing


def _construct(cls_name, *args):
    return lambda mod, host: lambda: getattr(mod, cls_name)(*args)


def _stale_proxy(mod):
    p = mod.OfficeJsObject(10, "Function")
    object.__setattr__(p, "_msg_guid", "stale")
    return p


def _fixture_rules(host):
    host.on("GET", "workbook", result=host.ref("Workbook", 10))
    host.on("GET", "values", result=host.plain("Array", [host.plain("Array", [host.plain("Int", 1)], id=12)], id=11))
    host.on("GET", "props", result=host.plain("Dict", {"a": host.plain("Int", 1)}, id=13))
    host.fail("GET", "missing", "no such member")
    host.on("SET", None, result=None)
    host.on("GETITEM", None, result=host.plain("String", "item"))
    host.on("CALL", None, result=host.ref("Range", 14))


def _proxy_case(body):
    """body(mod, host) -> op, with the add-in's rules in place."""

    def make(mod, host):
        _fixture_rules(host)
        return body(mod, host)

    return make


def _op_get(mod, host):
    p = mod.OfficeJsObject(0, "RequestContext")
    return lambda: mod._cw__getattr__(p, "workbook")


def _op_get_array(mod, host):
    p = mod.OfficeJsObject(20, "Range")
    return lambda: mod._cw__getattr__(p, "values")


def _op_set(mod, host):
    p = mod.OfficeJsObject(20, "Range")
    return lambda: mod._cw__setattr__(p, "values", [[1, "a"], {"k": None}])


def _op_getitem(mod, host):
    p = mod.OfficeJsObject(20, "Range")
    return lambda: (mod._cw__getitem__(p, 3), mod._cw__getitem__(p, slice(1, None, 2)))


def _op_call(mod, host):
    f = mod.OfficeJsObject(2, "Function")
    return lambda: mod._cw__call__(f, 1, "a", x=[2], y=None)


def _op_del(mod, host):
    p = mod.OfficeJsObject(20, "Range")
    return lambda: mod._cw__del__(p)


def _op_local_fields(mod, host):
    p = mod.OfficeJsObject(20, "Range")

    def op():
        mod._cw__getattr__(p, "_internal_cache")
        mod._cw__setattr__(p, "_typ", "officejs_object")

    return op


PROXY_CASES = [
    case("proxies", id="construct.object")(_construct("OfficeJsObject", 5, "Range")),
    case("proxies", id="construct.object_float_id")(_construct("OfficeJsObject", 2.9, "Range")),
    case("proxies", id="construct.array")(_construct("OfficeJsArray", 5)),
    case("proxies", id="construct.dict")(_construct("OfficeJsDict", 5)),
    case("proxies", id="construct.bad_id")(
        lambda mod, host: lambda: raises(TypeError, mod.OfficeJsObject, "1", "Range")
    ),
    case("proxies", id="construct.nan_id")(
        lambda mod, host: lambda: raises(ValueError, mod.OfficeJsObject, float("nan"), "Range")
    ),
    case("proxies", id="construct.bad_type_name")(
        lambda mod, host: lambda: raises(TypeError, mod.OfficeJsObject, 1, None)
    ),
    case("proxies", id="repr")(
        lambda mod, host: lambda: (repr(mod.Excel), repr(mod.OfficeJsArray(7)), repr(mod.OfficeJsDict(9)))
    ),
    case("operations", "wire", "proxies", id="op.get")(_proxy_case(_op_get)),
    case("operations", "wire", "proxies", id="op.get_array")(_proxy_case(_op_get_array)),
    case("operations", "wire", "proxies", id="op.set")(_proxy_case(_op_set)),
    case("operations", "wire", "proxies", id="op.getitem")(_proxy_case(_op_getitem)),
    case("operations", "wire", "proxies", id="op.call")(_proxy_case(_op_call)),
    case("operations", "wire", "proxies", id="op.del")(_proxy_case(_op_del)),
    case("operations", "proxies", id="op.local_fields")(_proxy_case(_op_local_fields)),
    case("operations", "wire", "proxies", id="op.remote_error")(
        _proxy_case(
            lambda mod, host: lambda: raises(RuntimeError, mod._cw__getattr__, mod.OfficeJsObject(1, "X"), "missing")
        )
    ),
    case("operations", "proxies", id="op.stale")(
        _proxy_case(lambda mod, host: lambda: raises(RuntimeError, mod._cw__getattr__, _stale_proxy(mod), "a"))
    ),
    case("operations", "proxies", id="op.bad_index")(
        _proxy_case(lambda mod, host: lambda: raises(TypeError, mod._cw__getitem__, mod.Excel, 1.5))
    ),
    case("operations", "proxies", id="op.call_not_function")(
        _proxy_case(lambda mod, host: lambda: raises(TypeError, mod._cw__call__, mod.Excel))
    ),
    case("operations", "wire", "proxies", id="op.set_unencodable")(
        _proxy_case(lambda mod, host: lambda: raises(ValueError, mod._cw__setattr__, mod.Excel, "v", Evil()))
    ),
    case("operations", "proxies", id="op.name_not_str")(
        _proxy_case(lambda mod, host: lambda: raises(TypeError, mod._cw__getattr__, mod.Excel, 5))
    ),
    case("operations", "proxies", id="op.no_handler")(
        lambda mod, host: (
            mod.messaging.set_send_handler(None),
            lambda: raises(RuntimeError, mod._cw__getattr__, mod.Excel, "a"),
        )[1]
    ),
    case("operations", "proxies", id="op.del_no_handler")(
        lambda mod, host: (mod.messaging.set_send_handler(None), lambda: mod._cw__del__(mod.Excel))[1]
    ),
]


def _chained(mod, host):
    return lambda: mod.Context.workbook


def _routing_call(mod, host):
    function = mod.OfficeJsObject(2, "Function")  # GetSetting may be stale by now
    return lambda: function("a", k=1)


def _routing_dict(mod, host):
    d = mod.Serializer.from_wire(host.plain("Dict", {"a": host.plain("Int", 1)}, id=13))

    def op():
        d.a = 2
        assert d.a == 2
        d.a = 1
        raises(AttributeError, setattr, d, "b", 1)

    return op


def _routing_array(mod, host):
    a = mod.OfficeJsArray(11)
    return lambda: (raises(AttributeError, setattr, a, "x", 1), raises(TypeError, a))


def _routing_renamed_operation(mod, host):
    del mod._cw__getattr__  # the fixture of the suite binds it again afterwards
    return lambda: raises(NameError, getattr, mod.Excel, "a")


def _routing_cycle(mod, host):
    def op():
        p = mod.OfficeJsObject(30, "Range")
        vars(p)["me"] = p
        a = mod.OfficeJsArray(31)
        a.append(a)
        d = mod.OfficeJsDict(32)
        d["me"] = d
        del p, a, d

    return op


ROUTING_REQUIRES = ("routing", "operations", "wire", "proxies")

ROUTING_CASES = [
    case(*ROUTING_REQUIRES, id="route.getattr")(_proxy_case(_chained)),
    case(*ROUTING_REQUIRES, id="route.setattr")(_proxy_case(lambda mod, host: lambda: setattr(mod.Excel, "v", 1))),
    case(*ROUTING_REQUIRES, id="route.getitem")(_proxy_case(lambda mod, host: lambda: mod.Excel[0])),
    case(*ROUTING_REQUIRES, id="route.call")(_proxy_case(_routing_call)),
    case(*ROUTING_REQUIRES, id="route.finalize")(_proxy_case(lambda mod, host: lambda: mod.OfficeJsObject(5, "R"))),
    case(*ROUTING_REQUIRES, id="route.remote_error")(
        _proxy_case(lambda mod, host: lambda: raises(RuntimeError, getattr, mod.Excel, "missing"))
    ),
    case(*ROUTING_REQUIRES, id="route.hasattr_raises")(
        _proxy_case(lambda mod, host: lambda: raises(RuntimeError, hasattr, mod.Excel, "missing"))
    ),
    case(*ROUTING_REQUIRES, id="route.self_keyword")(
        _proxy_case(lambda mod, host: lambda: raises(TypeError, lambda: mod.GetSetting(self=1)))
    ),
    case(*ROUTING_REQUIRES, id="route.name_not_str")(
        _proxy_case(lambda mod, host: lambda: raises(TypeError, mod.Excel.__getattr__, 5))
    ),
    case(*ROUTING_REQUIRES, id="route.stale")(
        _proxy_case(lambda mod, host: lambda: raises(RuntimeError, getattr, _stale_proxy(mod), "a"))
    ),
    case(*ROUTING_REQUIRES, id="route.dict_proxy")(_proxy_case(_routing_dict)),
    case(*ROUTING_REQUIRES, id="route.array_proxy")(_proxy_case(_routing_array)),
    case(*ROUTING_REQUIRES, id="route.operation_unbound")(_proxy_case(_routing_renamed_operation)),
    case(*ROUTING_REQUIRES, id="route.cycles_collected")(_proxy_case(_routing_cycle)),
]


ALL_CASES = MESSAGING_CASES + TO_WIRE_CASES + FROM_WIRE_CASES + PROXY_CASES + ROUTING_CASES


@pytest.mark.parametrize("make", ALL_CASES)
def test_no_leak(make, addin, leak_check, state_intact):
    op = make(com_like, addin)
    iterations = getattr(make, "iterations", 600)
    leak_check(op, iterations=iterations, warmup=min(60, iterations))
    com_like.messaging.set_send_handler(addin)
    state_intact()


def test_leak_check_catches_a_leak(leak_check):
    # The check itself must fail on a real leak of one object per call.
    kept = []
    with pytest.raises(AssertionError, match="growth"):
        leak_check(lambda: kept.append(object()), iterations=300)

