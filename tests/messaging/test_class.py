"""Messaging as a Python class: its attributes, methods, docstrings and the
argument rules of its methods."""

import collections
import concurrent.futures
import decimal
import fractions
import inspect
import math
import threading
import types

import pytest

import com_like

FULL_NAME = "velmara_master.python_server.velmara.com_like"
METHODS = [
    "__init__",
    "set_send_handler",
    "on_message",
    "send_request_sync",
    "reset",
    "register_callable",
    "get_callable",
    "unregister_callable",
]
LOCK_TYPE = type(threading.Lock())


def test_init_creates_the_nine_attributes_in_order(m):
    state = vars(m)
    assert list(state) == [
        "waiters",
        "_waiters_lock",
        "_guid",
        "_send_handler",
        "loop",
        "loop_thread",
        "_callable_registry",
        "_callable_lock",
        "_next_callable_id",
    ]
    assert type(m.waiters) is dict and m.waiters == {}
    assert type(m._callable_registry) is dict and m._callable_registry == {}
    assert type(m._waiters_lock) is LOCK_TYPE and type(m._callable_lock) is LOCK_TYPE
    assert m._waiters_lock is not m._callable_lock
    assert not m._waiters_lock.locked() and not m._callable_lock.locked()
    assert m._send_handler is None and m.loop is None and m.loop_thread is None
    assert type(m._next_callable_id) is int and m._next_callable_id == 1


def test_every_instance_has_its_own_tables_and_epoch():
    a, b = com_like.Messaging(), com_like.Messaging()
    for name in ("waiters", "_waiters_lock", "_callable_registry", "_callable_lock"):
        assert getattr(a, name) is not getattr(b, name)
    assert a._guid != b._guid


def test_init_finds_threading_through_the_module_namespace(monkeypatch):
    made = []

    class Recorder:
        @staticmethod
        def Lock():
            made.append(threading.Lock())
            return made[-1]

    monkeypatch.setitem(vars(com_like), "threading", Recorder)
    inst = com_like.Messaging()
    assert made == [inst._waiters_lock, inst._callable_lock]


def test_waiters_hold_real_futures(m, pending):
    p = pending()
    (waiter,) = m.waiters.values()
    assert type(waiter) is concurrent.futures.Future
    m.on_message({"requestId": p.request_id, "ok": True})
    assert p.outcome()[1] is None


def test_class_shape():
    cls = com_like.Messaging
    assert type(cls) is type
    assert cls.__bases__ == (object,)
    assert cls.__module__ == FULL_NAME
    assert cls.__qualname__ == cls.__name__ == "Messaging"
    assert cls.__doc__.startswith("Handles messaging for the Python-Excel bridge.")
    defined = [name for name in vars(cls) if name in METHODS]
    assert defined == METHODS


@pytest.mark.parametrize("name", METHODS)
def test_methods_behave_like_python_functions(m, name):
    func = vars(com_like.Messaging)[name]
    assert func.__name__ == name
    assert func.__qualname__ == f"Messaging.{name}"
    assert func.__module__ == FULL_NAME
    assert getattr(com_like.Messaging, name) is func  # no binding on the class
    bound = getattr(m, name)
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is m and bound.__func__ is func
    params = list(inspect.signature(func).parameters)
    assert params[0] == "self"
    assert list(inspect.signature(bound).parameters) == params[1:]


def test_send_request_sync_annotations_and_default():
    func = com_like.Messaging.send_request_sync
    assert func.__annotations__["req"] == "Dict[str, Any]"
    assert func.__annotations__["timeout"] == "float"
    assert inspect.signature(func).parameters["timeout"].default == 30.0


DOC_LEADS = {
    "set_send_handler": "Register a callback used to send messages to the add-in.",
    "on_message": "Handle an incoming response message from the add-in.",
    "send_request_sync": "Send a request and wait synchronously for the response.",
    "reset": "Reset the messaging state (e.g., when the connection is closed).",
    "register_callable": "Register a Python callable and return its ID.",
    "get_callable": "Retrieve a registered callable by its ID.",
    "unregister_callable": "Remove a callable from the registry.",
}


@pytest.mark.parametrize("name, lead", DOC_LEADS.items())
def test_docstrings_start_with_the_signature_line(name, lead):
    func = vars(com_like.Messaging)[name]
    first, blank, summary, *_ = func.__doc__.splitlines()
    assert first.startswith(f"Messaging.{name}(self") and first.endswith(")")
    for param in list(inspect.signature(func).parameters)[1:]:
        assert param in first
    assert blank == ""
    assert summary == lead


def test_init_docstring_is_only_its_signature():
    assert com_like.Messaging.__init__.__doc__ == "Messaging.__init__(self)"


class PyMessaging:
    """A Python class with the same signatures: the oracle for the wording
    of argument-count errors."""

    def __init__(self):
        pass

    def set_send_handler(self, handler):
        pass

    def on_message(self, message):
        pass

    def send_request_sync(self, req, timeout=30.0):
        pass

    def reset(self):
        pass

    def register_callable(self, callable_obj):
        pass

    def get_callable(self, callable_id):
        pass

    def unregister_callable(self, callable_id):
        pass


PyMessaging.__qualname__ = "Messaging"
for _name in METHODS:
    getattr(PyMessaging, _name).__qualname__ = f"Messaging.{_name}"

BAD_CALLS = [
    ("set_send_handler", (), {}),
    ("set_send_handler", (1, 2), {}),
    ("set_send_handler", (), {"handler": 1, "other": 2}),
    ("set_send_handler", (1,), {"handler": 1}),
    ("on_message", (), {}),
    ("on_message", ({}, {}), {}),
    ("on_message", (), {"msg": {}}),
    ("send_request_sync", (), {}),
    ("send_request_sync", ({}, 1.0, 2), {}),
    ("send_request_sync", (), {"timeout": 1.0}),
    ("send_request_sync", ({},), {"req": {}}),
    ("send_request_sync", ({},), {"timeout": 1.0, "retries": 2}),
    ("reset", (1,), {}),
    ("reset", (), {"force": True}),
    ("register_callable", (), {}),
    ("register_callable", (len, len), {}),
    ("get_callable", (), {}),
    ("get_callable", ("a", "b"), {}),
    ("unregister_callable", (), {"id": "a"}),
]


@pytest.mark.parametrize("name, args, kwargs", BAD_CALLS)
def test_argument_count_errors_use_the_interpreters_wording(m, name, args, kwargs):
    with pytest.raises(TypeError) as expected:
        getattr(PyMessaging(), name)(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        getattr(m, name)(*args, **kwargs)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("name", ["reset", "on_message", "__init__"])
def test_unbound_call_without_self(name):
    with pytest.raises(TypeError) as expected:
        getattr(PyMessaging, name)()
    with pytest.raises(TypeError) as got:
        getattr(com_like.Messaging, name)()
    assert str(got.value) == str(expected.value)


def test_every_parameter_binds_by_keyword(m, answering):
    com_like.Messaging.set_send_handler(self=m, handler=answering(m, ok=True))
    response = com_like.Messaging.send_request_sync(self=m, req={"method": "GET"}, timeout=1.0)
    assert response["ok"] is True
    m.on_message(message={"requestId": "nobody"})
    ident = m.register_callable(callable_obj=len)
    assert m.get_callable(callable_id=ident) is len
    assert m.unregister_callable(callable_id=ident) is None


class SubDict(dict):
    pass


class SubStr(str):
    pass


TYPE_ERROR = "Argument '{}' has incorrect type (expected {}, got {})"


def tp_name(value):
    """The C-level name of value's type, as the interpreter's own messages
    print it (module-qualified for types defined in C)."""
    try:
        object.__getattribute__(value, "_no_such_attribute_")
    except AttributeError as exc:
        return str(exc).split("'")[1]
    raise AssertionError("attribute unexpectedly present")
NOTE = "Subclasses of built-in types are not accepted: pass an exact {}."


def _calls(m):
    return {
        "req": lambda v: m.send_request_sync(v),
        "message": lambda v: m.on_message(v),
        "callable_id": lambda v: m.get_callable(v),
        "callable_id (unregister)": lambda v: m.unregister_callable(v),
    }


@pytest.mark.parametrize(
    "param, value, expected, subclass",
    [
        ("req", None, "dict", False),
        ("req", [("a", 1)], "dict", False),
        ("req", types.MappingProxyType({}), "dict", False),
        ("req", collections.OrderedDict(), "dict", True),
        ("req", SubDict(), "dict", True),
        ("message", None, "dict", False),
        ("message", "{}", "dict", False),
        ("message", collections.defaultdict(int), "dict", True),
        ("callable_id", None, "str", False),
        ("callable_id", b"pyfunc_", "str", False),
        ("callable_id", SubStr("pyfunc_x_1"), "str", True),
        ("callable_id (unregister)", 5, "str", False),
        ("callable_id (unregister)", SubStr("x"), "str", True),
    ],
)
def test_exact_type_parameters(m, param, value, expected, subclass):
    m.set_send_handler(lambda envelope: pytest.fail("nothing may be sent"))
    with pytest.raises(TypeError) as info:
        _calls(m)[param](value)
    name = param.split()[0]
    assert str(info.value) == TYPE_ERROR.format(name, expected, tp_name(value))
    assert getattr(info.value, "__notes__", []) == ([NOTE.format(expected)] if subclass else [])
    assert m.waiters == {}


class FloatLike:
    def __float__(self):
        return 0.0


class IndexLike:
    def __index__(self):
        return 0


@pytest.mark.parametrize(
    "timeout", [0, 0.0, False, FloatLike(), IndexLike(), fractions.Fraction(0), decimal.Decimal("0")]
)
def test_timeout_takes_any_real_number(m, timeout):
    sent = []
    m.set_send_handler(sent.append)
    with pytest.raises(TimeoutError, match=r"^Timed out waiting for Office\.js response$"):
        m.send_request_sync({"method": "GET"}, timeout)
    assert len(sent) == 1 and m.waiters == {}


@pytest.mark.parametrize("timeout", ["1.0", None, [], 1j, object()])
def test_timeout_conversion_errors_are_the_interpreters(m, timeout):
    with pytest.raises(TypeError) as expected:
        math.isfinite(timeout)  # the interpreter's conversion of a float parameter
    m.set_send_handler(lambda envelope: pytest.fail("nothing may be sent"))
    with pytest.raises(TypeError) as got:
        m.send_request_sync({"method": "GET"}, timeout)
    assert str(got.value) == str(expected.value)
    assert m.waiters == {}


def test_timeout_is_converted_before_req_is_tested(m):
    with pytest.raises(TypeError, match="must be real number, not str"):
        m.send_request_sync(None, "soon")
    with pytest.raises(TypeError, match="Argument 'req' has incorrect type"):
        m.send_request_sync(None, 1.0)
