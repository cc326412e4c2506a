"""The re-raise rule of the routing methods, observed with Python functions
bound as the remote operations, so that the entries to trim really exist.

As the exception leaves the routing method the interpreter puts the entry of
the frame that used the proxy (the test itself) in front; everything behind
that entry is what the rule left.
"""

import builtins
import gc
import sys

import pytest

import com_like


def chain(tb):
    names = []
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


def catch(action):
    """Run action(); the exception and the code names behind the entry of
    action's own frame (the frame that used the proxy)."""
    try:
        action()
    except BaseException as e:  # noqa: BLE001 - BaseExceptions are under test too
        tb = e.__traceback__
        assert tb.tb_frame is sys._getframe()
        user = tb.tb_next
        assert user.tb_frame.f_code is action.__code__
        return e, chain(user.tb_next)
    raise AssertionError("no exception")


KEEP = []


def kept(proxy):
    """Hold the proxy until the test's bindings are undone, so that its
    finalizer does not run the test's raising operation on the way out."""
    KEEP.append(proxy)
    return proxy


@pytest.fixture(autouse=True)
def _release_proxies(mod):
    saved = {name: getattr(mod, name) for name in mod._internal_officejs_names[:5]}
    saved["_internal_officejs_names"] = mod._internal_officejs_names
    yield
    vars(mod).update(saved)
    KEEP.clear()
    gc.collect()  # proxies caught in tracebacks of the test's exceptions


# (operation name, what to do to a proxy to reach it)
ROUTES = [
    ("_cw__getattr__", lambda: kept(com_like.OfficeJsObject(3, "Function")).missing),
    ("_cw__getattr__", lambda: kept(com_like.OfficeJsArray(3)).missing),
    ("_cw__getattr__", lambda: kept(com_like.OfficeJsDict(3)).missing),
    ("_cw__getitem__", lambda: kept(com_like.OfficeJsObject(3, "Function"))[0]),
    ("_cw__setattr__", lambda: setattr(kept(com_like.OfficeJsObject(3, "Function")), "x", 1)),
    ("_cw__call__", lambda: kept(com_like.OfficeJsObject(3, "Function"))(1, k=2)),
    ("_cw__call__", lambda: kept(com_like.OfficeJsArray(3))()),
    ("_cw__call__", lambda: kept(com_like.OfficeJsDict(3))()),
    ("_cw__del__", lambda: kept(com_like.OfficeJsObject(3, "Function")).__del__()),
    ("_cw__del__", lambda: kept(com_like.OfficeJsArray(3)).__del__()),
    ("_cw__del__", lambda: kept(com_like.OfficeJsDict(3)).__del__()),
]
ROUTE_IDS = [
    "obj-getattr", "array-getattr", "dict-getattr", "obj-getitem", "obj-setattr",
    "obj-call", "array-call", "dict-call", "obj-del", "array-del", "dict-del",
]


def bind(mod, op_name, func):
    setattr(mod, op_name, func)


@pytest.mark.parametrize("op_name, action", ROUTES, ids=ROUTE_IDS)
class TestEveryRoute:
    def test_only_listed_entries_become_none(self, mod, op_name, action):
        err = LookupError("remote said no")
        err.add_note("kept")

        def raising(*args, **kwargs):
            raise err

        raising.__code__ = raising.__code__.replace(co_name=op_name)
        bind(mod, op_name, raising)
        e, rest = catch(action)
        assert e is err
        assert rest == []
        assert e.args == ("remote said no",) and e.__notes__ == ["kept"]
        assert e.__cause__ is None and e.__suppress_context__ is True

    def test_trimming_stops_at_the_first_unlisted_entry(self, mod, op_name, action):
        def send_request_sync():
            def __getattr__():  # a listed name after a kept entry stays
                raise ValueError("deep")

            __getattr__()

        def __getattr__(*args, **kwargs):
            inner(*args, **kwargs)

        def inner(*args, **kwargs):
            send_request_sync()

        inner.__code__ = inner.__code__.replace(co_name=op_name)
        bind(mod, op_name, __getattr__)
        e, rest = catch(action)
        assert rest == ["send_request_sync", "__getattr__"]
        assert str(e) == "deep"

    def test_unlisted_first_entry_is_left_alone(self, mod, op_name, action):
        def remote(*args, **kwargs):
            raise ValueError("x")

        bind(mod, op_name, remote)
        e, rest = catch(action)
        assert rest == ["remote"]
        assert e.__suppress_context__ is True

    def test_empty_list_drops_nothing(self, mod, op_name, action):
        def raising(*args, **kwargs):
            raise ValueError("x")

        raising.__code__ = raising.__code__.replace(co_name=op_name)
        bind(mod, op_name, raising)
        mod._internal_officejs_names = []
        _, rest = catch(action)
        assert rest == [op_name]

    def test_the_list_is_read_from_the_module_at_each_use(self, mod, op_name, action):
        def helper():
            raise ValueError("x")

        def raising(*args, **kwargs):
            helper()

        bind(mod, op_name, raising)
        mod._internal_officejs_names = ["raising", "helper"]
        assert catch(action)[1] == []
        mod._internal_officejs_names = ("raising",)
        assert catch(action)[1] == ["helper"]

    @pytest.mark.parametrize("names", [5, None, "unbound"])
    def test_unusable_list_replaces_the_exception(self, mod, op_name, action, names):
        original = ValueError("original")

        def raising(*args, **kwargs):
            raise original

        bind(mod, op_name, raising)
        if names == "unbound":
            del mod._internal_officejs_names
        else:
            mod._internal_officejs_names = names
        e, _ = catch(action)
        assert e is not original
        if names == "unbound":
            assert type(e) is NameError and str(e) == "name '_internal_officejs_names' is not defined"
        else:
            assert type(e) is TypeError
        assert e.__context__ is original
        assert original.__traceback__ is not None

    def test_explicit_cause_is_cleared_and_context_kept(self, mod, op_name, action):
        cause, context = KeyError("cause"), OSError("context")

        def raising(*args, **kwargs):
            try:
                raise context
            except OSError:
                raise ValueError("x") from cause

        bind(mod, op_name, raising)
        e, _ = catch(action)
        assert e.__cause__ is None and e.__suppress_context__ is True
        assert e.__context__ is context

    @pytest.mark.parametrize("kind", [KeyboardInterrupt, SystemExit, GeneratorExit])
    def test_base_exceptions_pass_untouched(self, mod, op_name, action, kind):
        cause = ValueError("cause")
        err = kind("stop")

        def raising(*args, **kwargs):
            raise err from cause

        raising.__code__ = raising.__code__.replace(co_name=op_name)
        bind(mod, op_name, raising)
        mod._internal_officejs_names = 5  # would fail if the rule looked at it
        e, rest = catch(action)
        assert e is err
        assert rest == [op_name]
        assert e.__cause__ is cause and e.__suppress_context__ is True

    def test_unbound_operation_is_a_name_error(self, mod, op_name, action):
        delattr(mod, op_name)
        e, rest = catch(action)
        assert type(e) is NameError and str(e) == f"name '{op_name}' is not defined"
        assert rest == [] and e.__cause__ is None and e.__suppress_context__ is True

    def test_builtins_are_the_fallback(self, mod, op_name, action):
        def from_builtins(*args, **kwargs):
            raise ValueError("from builtins")

        delattr(mod, op_name)
        setattr(builtins, op_name, from_builtins)
        try:
            e, rest = catch(action)
        finally:
            delattr(builtins, op_name)
        assert str(e) == "from builtins" and rest == ["from_builtins"]

    def test_rebinding_takes_effect_at_once(self, mod, op_name, action):
        def first(*args, **kwargs):
            raise ValueError("first")

        def second(*args, **kwargs):
            raise ValueError("second")

        bind(mod, op_name, first)
        assert str(catch(action)[0]) == "first"
        bind(mod, op_name, second)
        assert str(catch(action)[0]) == "second"


class TestNativeOperations:
    def test_native_operations_add_no_entries(self, mod):
        mod.messaging.set_send_handler(None)
        e, rest = catch(lambda: kept(com_like.OfficeJsObject(3, "X")).anything)
        assert type(e) is RuntimeError and str(e) == "No send handler registered"
        assert rest == []
        assert e.__cause__ is None and e.__suppress_context__ is True

    def test_send_handler_entries_are_kept(self, mod):
        def handler(envelope):
            raise ConnectionError("down")

        mod.messaging.set_send_handler(handler)
        e, rest = catch(lambda: kept(com_like.OfficeJsObject(3, "X")).anything)
        assert type(e) is ConnectionError
        assert rest == ["handler"]

    def test_handler_named_like_an_operation_is_trimmed(self, mod):
        def _cw__getattr__(envelope):
            raise ConnectionError("down")

        mod.messaging.set_send_handler(_cw__getattr__)
        _, rest = catch(lambda: kept(com_like.OfficeJsObject(3, "X")).anything)
        assert rest == []

    def test_hasattr_sees_the_reraised_exception(self, mod):
        err = AttributeError("no such thing")

        def _cw__getattr__(self, name):
            raise err

        mod._cw__getattr__ = _cw__getattr__
        p = com_like.OfficeJsObject(3, "X")
        assert hasattr(p, "x") is False
        assert getattr(p, "x", "default") == "default"
        assert err.__suppress_context__ is True
