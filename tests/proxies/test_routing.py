"""Per-class routing rules, the interpreter's fallbacks, roots, reset and finalizers."""

import gc
import sys
import threading

import pytest

import com_like
from proxy_doubles import NULL_WIRE, Decoded

STALE = "Excel Object used after messaging context was stopped"


class Name(str):
    pass


def recording_op(calls, result="ok"):
    def op(*args, **kwargs):
        calls.append((args, kwargs))
        return result

    return op


class TestRootsAndReset:
    def test_roots(self, mod):
        assert [(p._internal_id, p._internal_typeName) for p in (mod.Context, mod.Excel, mod.GetSetting)] == [
            (0, "RequestContext"), (1, "Excel"), (2, "Function")]
        assert {mod.Context._msg_guid, mod.Excel._msg_guid, mod.GetSetting._msg_guid} == {mod.messaging._guid}
        assert all(type(p) is mod.OfficeJsObject for p in (mod.Context, mod.Excel, mod.GetSetting))

    def test_reset_restamps_context_and_excel_only(self, mod, recorder):
        old = mod.messaging._guid
        mod.messaging.reset()
        new = mod.messaging._guid
        assert new != old and len(new) == 32
        assert mod.Context._msg_guid == new and mod.Excel._msg_guid == new
        assert mod.GetSetting._msg_guid == old
        mod.Excel.workbook
        with pytest.raises(RuntimeError, match=STALE):
            mod.GetSetting("x")
        assert recorder.methods() == ["GET"]

    def test_restamp_goes_through_the_routed_setattr(self, mod):
        calls = []
        mod._cw__setattr__ = recording_op(calls, None)
        mod.messaging.reset()
        assert [(args[0], args[1]) for args, _ in calls] == [(mod.Context, "_msg_guid"), (mod.Excel, "_msg_guid")]


class TestObjectRouting:
    def test_forwarding_arguments(self, mod):
        calls = []
        for op in ("_cw__getattr__", "_cw__getitem__", "_cw__setattr__", "_cw__call__", "_cw__del__"):
            setattr(mod, op, recording_op(calls, op))
        p = com_like.OfficeJsObject(4, "Function")
        kw = {"x": 3}
        assert p.width == "_cw__getattr__"
        assert p[1:2] == "_cw__getitem__"
        p.width = 5
        p._msg_guid = "g"  # internal names are forwarded too
        assert p(1, 2, **kw) == "_cw__call__"
        assert p.__del__() == "_cw__del__"
        assert p.__getattr__("__secret__") == "_cw__getattr__"
        assert calls == [
            ((p, "width"), {}), ((p, slice(1, 2)), {}), ((p, "width", 5), {}), ((p, "_msg_guid", "g"), {}),
            ((p, 1, 2), {"x": 3}), ((p,), {}), ((p, "__secret__"), {})]
        assert calls[4][1] is not kw
        del calls[:]  # the proxy's finalizer must not see the recording ops
        mod._cw__del__ = recording_op([], None)

    def test_call_keeps_the_callers_mapping(self, mod):
        def op(self, *args, **kwargs):
            kwargs["added"] = True

        mod._cw__call__ = op
        kw = {"x": 1}
        com_like.OfficeJsObject(4, "Function")(**kw)
        assert kw == {"x": 1}

    @pytest.mark.parametrize("cls", ["OfficeJsObject", "OfficeJsArray", "OfficeJsDict"])
    def test_keyword_self_is_refused_and_nothing_sent(self, mod, recorder, cls):
        calls = []
        mod._cw__call__ = recording_op(calls)
        p = com_like.OfficeJsObject(4, "Function") if cls == "OfficeJsObject" else getattr(com_like, cls)(4)
        for call in (lambda: p(self=1), lambda: p(1, self=1, x=2)):
            with pytest.raises(TypeError) as info:
                call()
            assert str(info.value) == "__call__() got multiple values for keyword argument 'self'"
        assert calls == [] and recorder.requests == []

    @pytest.mark.parametrize("cls", ["OfficeJsObject", "OfficeJsArray", "OfficeJsDict"])
    def test_self_only_as_keyword(self, mod, cls):
        calls = []
        mod._cw__call__ = recording_op(calls)
        p = com_like.OfficeJsObject(4, "Function") if cls == "OfficeJsObject" else getattr(com_like, cls)(4)
        getattr(com_like, cls).__call__(x=1, self=p)
        getattr(com_like, cls).__call__(self=p)
        assert calls == [((p,), {"x": 1}), ((p,), {})]

    @pytest.mark.parametrize("cls", ["OfficeJsObject", "OfficeJsArray", "OfficeJsDict"])
    def test_call_without_self(self, cls):
        with pytest.raises(TypeError) as info:
            getattr(com_like, cls).__call__()
        assert str(info.value) == f"{cls}.__call__() missing 1 required positional argument: 'self'"

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda p: type(p).__getattr__(p),
             "OfficeJsObject.__getattr__() missing 1 required positional argument: 'name'"),
            (lambda p: type(p).__getitem__(p, 1, 2),
             "OfficeJsObject.__getitem__() takes 2 positional arguments but 3 were given"),
            (lambda p: type(p).__setattr__(p, "a"),
             "OfficeJsObject.__setattr__() missing 1 required positional argument: 'value'"),
            (lambda p: type(p).__del__(p, 1), "OfficeJsObject.__del__() takes 1 positional argument but 2 were given"),
            (lambda p: com_like.OfficeJsArray.__setattr__(p),
             "OfficeJsArray.__setattr__() missing 2 required positional arguments: 'name' and 'value'"),
            (lambda p: com_like.OfficeJsDict.__getattr__(p, "a", "b"),
             "OfficeJsDict.__getattr__() takes 2 positional arguments but 3 were given"),
        ],
    )
    def test_wrong_argument_counts(self, recorder, call, message):
        with pytest.raises(TypeError) as info:
            call(com_like.OfficeJsObject(4, "X"))
        assert str(info.value) == message
        assert recorder.requests == []

    @pytest.mark.parametrize("cls", ["OfficeJsObject", "OfficeJsArray", "OfficeJsDict"])
    @pytest.mark.parametrize("method", ["__getattr__", "__setattr__"])
    def test_name_type_is_checked_outside_the_rule(self, mod, cls, method):
        del mod._cw__getattr__, mod._cw__setattr__  # never reached
        p = com_like.OfficeJsObject(4, "X") if cls == "OfficeJsObject" else getattr(com_like, cls)(4)
        args = (5,) if method == "__getattr__" else (5, 1)
        with pytest.raises(TypeError) as info:
            getattr(p, method)(*args)
        assert str(info.value) == "Argument 'name' has incorrect type (expected str, got int)"
        with pytest.raises(TypeError) as info:
            getattr(p, method)(Name("x"), *args[1:])
        assert str(info.value) == "Argument 'name' has incorrect type (expected str, got Name)"
        assert len(info.value.__notes__) == 1

    def test_getattr_builtin_with_str_subclass(self, recorder):
        with pytest.raises(TypeError, match="got Name"):
            getattr(com_like.OfficeJsObject(4, "X"), Name("values"))
        assert recorder.requests == []

    def test_underscore_names_are_routed(self, recorder):
        p = com_like.OfficeJsObject(4, "X")
        p._private, p.__dunder__, p.__class_getitem__
        assert [b["name"] for b in recorder.bodies] == ["_private", "__dunder__", "__class_getitem__"]

    def test_local_attributes_are_not_routed(self, recorder):
        p = com_like.OfficeJsObject(4, "X")
        p.__class__, p.__dict__, p.__repr__, p._internal_id
        assert recorder.requests == []

    def test_iteration_falls_back_to_getitem_until_index_error(self, mod, recorder):
        def answer(envelope):
            if envelope["name"] == "3":
                raise IndexError("end of range")
            return {"ok": True, "result": envelope["name"]}

        recorder.answer = answer
        p = com_like.OfficeJsObject(4, "Range")
        assert list(p) == [Decoded("0"), Decoded("1"), Decoded("2")]
        assert [b["name"] for b in recorder.bodies] == ["0", "1", "2", "3"]
        del recorder.envelopes[:]
        assert Decoded("1") in p
        assert [b["name"] for b in recorder.bodies] == ["0", "1"]
        del recorder.envelopes[:]
        assert Decoded("9") not in p
        assert len(recorder.bodies) == 4

    def test_other_exceptions_end_iteration_with_that_exception(self, recorder):
        def answer(envelope):
            if envelope["name"] == "1":
                raise LookupError("broken")
            return {"ok": True, "result": 0}

        recorder.answer = answer
        p = com_like.OfficeJsObject(4, "Range")
        with pytest.raises(LookupError, match="broken"):
            list(p)
        with pytest.raises(LookupError, match="broken"):
            5 in p  # noqa: B015 - the membership test is the request that fails

    def test_len_item_assignment_and_item_deletion(self, recorder):
        p = com_like.OfficeJsObject(4, "Range")
        with pytest.raises(TypeError, match="has no len"):
            len(p)
        with pytest.raises(TypeError, match="does not support item assignment"):
            p[0] = 1
        with pytest.raises(TypeError, match=r"doesn't support item deletion|does not support item deletion"):
            del p[0]
        assert recorder.requests == []

    def test_deleting_an_attribute_is_local(self, recorder):
        p = com_like.OfficeJsObject(4, "Range")
        object.__setattr__(p, "extra", 1)
        del p.extra
        assert "extra" not in vars(p)
        with pytest.raises(AttributeError):
            del p.missing
        del p._internal_cache
        assert list(vars(p)) == ["_internal_id", "_internal_typeName", "_msg_guid", "_typ"]
        assert recorder.requests == []

    def test_callable(self):
        for p in (com_like.OfficeJsObject(1, "Range"), com_like.OfficeJsArray(1), com_like.OfficeJsDict(1)):
            assert callable(p)

    def test_hasattr_and_getattr_default_with_module_messaging(self, mod, recorder):
        recorder.answer = lambda e: {"ok": False, "error": {"message": "no such property"}}
        p = com_like.OfficeJsObject(4, "Range")
        with pytest.raises(RuntimeError, match="no such property"):
            hasattr(p, "nothing")
        with pytest.raises(RuntimeError, match="no such property"):
            getattr(p, "nothing", None)

    def test_hasattr_and_getattr_default_with_attribute_error(self, canned):
        canned.response = {"ok": False}
        p = com_like.OfficeJsObject(4, "Range")
        assert hasattr(p, "nothing") is False
        assert getattr(p, "nothing", "dflt") == "dflt"
        assert len(canned.bodies) == 2

    def test_stale_proxy_refused_before_sending(self, mod, recorder):
        p = com_like.OfficeJsObject(4, "Function")
        mod.messaging.reset()
        for action in (lambda: p.x, lambda: setattr(p, "x", 1), lambda: p[0], lambda: p()):
            with pytest.raises(RuntimeError) as info:
                action()
            assert str(info.value) == STALE and info.value.__suppress_context__
        assert recorder.requests == []


class TestArray:
    def test_every_assignment_is_refused(self, recorder):
        a = com_like.OfficeJsArray(6)
        a.extend([1, 2])
        for name in ("x", "_internal_id", "_msg_guid", "append", "__class__"):
            with pytest.raises(AttributeError) as info:
                setattr(a, name, 0)
            assert str(info.value) == "Cannot set attributes on OfficeJsArray"
            assert info.value.__cause__ is None and info.value.__context__ is None
        assert list(a) == [1, 2] and a._internal_id == 6
        assert recorder.requests == []

    def test_reset_cannot_restamp_an_array(self, mod, recorder):
        a = com_like.OfficeJsArray(6)
        mod.messaging.reset()
        with pytest.raises(RuntimeError, match=STALE):
            a()

    def test_list_behaviour_is_local(self, recorder):
        a = com_like.OfficeJsArray(6)
        a.append("x")
        a += ["y"]
        assert a[0] == "x" and a[-1] == "y" and len(a) == 2 and list(iter(a)) == ["x", "y"] and "y" in a
        assert a == ["x", "y"]
        a[0] = "z"
        assert recorder.requests == []

    def test_missing_attribute_is_routed(self, recorder):
        com_like.OfficeJsArray(6).address
        assert recorder.bodies == [
            {"method": "GET", "name": "address", "caller": 6}, {"method": "DEL", "name": "__del__", "caller": 6}]

    def test_call_is_refused_by_the_operation(self, recorder):
        with pytest.raises(TypeError) as info:
            com_like.OfficeJsArray(6)(1)
        assert str(info.value) == "Only Function-typed SpecialObjects are callable"
        assert info.value.__suppress_context__ is True
        assert recorder.requests == []


class TestDict:
    @pytest.fixture
    def d(self):
        d = com_like.OfficeJsDict(9)
        d["held"] = 1
        d["items"] = "shadow?"
        return d

    def test_held_key_is_read_locally(self, d, recorder):
        assert d.held == 1
        assert recorder.requests == []

    def test_held_key_is_updated_locally(self, d, recorder):
        assert d.__setattr__("held", 2) is None
        d.held = 3
        assert d["held"] == 3
        assert recorder.requests == []

    @pytest.mark.parametrize("name", ["missing", "_internal_id", "_msg_guid"])
    def test_other_names_cannot_be_set(self, d, recorder, name):
        before = dict(vars(d))
        with pytest.raises(AttributeError) as info:
            setattr(d, name, 0)
        assert str(info.value) == "Cannot set attributes on OfficeJsDict"
        assert info.value.__cause__ is None and info.value.__context__ is None
        assert vars(d) == before and "missing" not in d
        assert recorder.requests == []

    def test_missing_key_is_routed(self, d, recorder):
        assert d.missing == Decoded(NULL_WIRE)
        assert recorder.bodies == [{"method": "GET", "name": "missing", "caller": 9}]

    def test_items_key_does_not_shadow_the_method(self, d):
        assert list(d.items()) == [("held", 1), ("items", "shadow?")]
        assert d["items"] == "shadow?"

    def test_indexing_a_missing_key(self, d, recorder):
        with pytest.raises(KeyError):
            d["missing"]
        assert recorder.requests == []

    def test_subclass_membership_is_honoured(self, recorder):
        class Loose(com_like.OfficeJsDict):
            def __contains__(self, key):
                return True

            def __getitem__(self, key):
                return f"item {key}"

        assert Loose(3).anything == "item anything"
        assert recorder.requests == []


class TestFinalizers:
    def test_each_proxy_sends_one_del(self, recorder):
        for p in (com_like.OfficeJsObject(31, "Range"), com_like.OfficeJsArray(32), com_like.OfficeJsDict(33)):
            del p
        gc.collect()
        assert sorted((b["method"], b["caller"]) for b in recorder.bodies) == [("DEL", 31), ("DEL", 32), ("DEL", 33)]

    def test_stale_proxy_still_sends_del(self, mod, recorder):
        p = com_like.OfficeJsObject(34, "Range")
        mod.messaging.reset()
        del p
        assert recorder.bodies == [{"method": "DEL", "name": "__del__", "caller": 34}]

    def test_proxy_in_a_cycle(self, recorder):
        p = com_like.OfficeJsObject(35, "Range")
        p._internal_cache["me"] = p
        del p
        assert recorder.requests == []
        gc.collect()
        assert [b["caller"] for b in recorder.bodies] == [35]

    def test_explicit_del_then_finalizer(self, recorder):
        p = com_like.OfficeJsObject(36, "Range")
        assert p.__del__() is None
        assert len(recorder.bodies) == 1
        del p
        assert [b["caller"] for b in recorder.bodies] == [36, 36]

    def test_del_from_another_thread(self, recorder):
        seen = []
        recorder.answer = lambda e: (seen.append(threading.current_thread()), {"ok": True})[1]
        holder = [com_like.OfficeJsArray(37)]
        worker = threading.Thread(target=holder.clear)
        worker.start()
        worker.join(60)
        assert seen == [worker] and [b["caller"] for b in recorder.bodies] == [37]

    def test_failures_of_the_request_are_not_reported(self, mod, stub_serializer, monkeypatch):
        reports = []
        monkeypatch.setattr(sys, "unraisablehook", reports.append)

        def handler(envelope):
            raise ConnectionError("gone")

        mod.messaging.set_send_handler(handler)
        p = com_like.OfficeJsObject(38, "Range")
        del p
        half = com_like.OfficeJsObject.__new__(com_like.OfficeJsObject)
        del half
        assert reports == []

    @pytest.mark.parametrize("cls", ["OfficeJsObject", "OfficeJsArray", "OfficeJsDict"])
    def test_escaping_exception_is_reported_as_unraisable(self, mod, monkeypatch, cls):
        reports = []
        monkeypatch.setattr(sys, "unraisablehook", lambda u: reports.append((u.exc_type, str(u.exc_value), u.object)))
        p = com_like.OfficeJsObject(39, "Range") if cls == "OfficeJsObject" else getattr(com_like, cls)(39)
        saved = mod._cw__del__
        del mod._cw__del__
        del p
        mod._cw__del__ = saved
        assert len(reports) == 1
        exc_type, text, obj = reports[0]
        assert exc_type is NameError and text == "name '_cw__del__' is not defined"
        assert obj is vars(getattr(com_like, cls))["__del__"]
