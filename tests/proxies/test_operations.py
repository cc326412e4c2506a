"""The five remote operations: request bodies, local answers, checks and failures."""

import threading

import pytest

import com_like
from proxy_doubles import NULL_WIRE, CannedMessaging, Decoded, Recorder, StubSerializer, Unencodable

STALE = "Excel Object used after messaging context was stopped"
GET_FIELDS = ["_internal_id", "_internal_typeName", "_msg_guid", "_typ", "_internal_cache"]
SET_FIELDS = ["_internal_id", "_internal_typeName", "_msg_guid", "_typ"]


def stub(value):
    return {"type": "Stub", "value": value}


@pytest.fixture
def proxy():
    return com_like.OfficeJsObject(17, "Range")


@pytest.fixture
def function_proxy():
    return com_like.OfficeJsObject(23, "Function")


def make_stale(p):
    object.__setattr__(p, "_msg_guid", "0" * 32)
    return p


class TestBodies:
    def test_get(self, recorder, proxy):
        result = com_like._cw__getattr__(proxy, "values")
        assert result == Decoded(NULL_WIRE)
        (envelope,) = recorder.envelopes
        assert list(envelope) == ["method", "name", "caller", "requestId", "kind"]
        assert recorder.bodies == [{"method": "GET", "name": "values", "caller": 17}]

    def test_get_through_attribute_syntax_on_context(self, recorder, mod):
        assert mod.Context.workbook == Decoded(NULL_WIRE)
        assert recorder.bodies == [{"method": "GET", "name": "workbook", "caller": 0}]

    def test_set(self, recorder, proxy):
        assert com_like._cw__setattr__(proxy, "formulas", [1, "a"]) is None
        (envelope,) = recorder.envelopes
        assert list(envelope) == ["method", "name", "value", "caller", "requestId", "kind"]
        assert recorder.bodies == [{"method": "SET", "name": "formulas", "value": stub([1, "a"]), "caller": 17}]

    def test_set_does_not_read_the_result(self, recorder, proxy, mod):
        calls = []
        mod.Serializer = type("S", (StubSerializer,), {"from_wire": staticmethod(lambda w: calls.append(w))})
        com_like._cw__setattr__(proxy, "x", 1)
        assert calls == [] and len(recorder.envelopes) == 1

    def test_getitem(self, recorder, proxy):
        assert com_like._cw__getitem__(proxy, 4) == Decoded(NULL_WIRE)
        (envelope,) = recorder.envelopes
        assert list(envelope) == ["method", "name", "caller", "requestId", "kind"]
        assert recorder.bodies == [{"method": "GETITEM", "name": "4", "caller": 17}]

    def test_call(self, recorder, function_proxy):
        assert com_like._cw__call__(function_proxy, 1, "two", x=3, y=None) == Decoded(NULL_WIRE)
        (envelope,) = recorder.envelopes
        assert list(envelope) == ["method", "name", "args", "caller", "requestId", "kind"]
        (body,) = recorder.bodies
        assert body == {
            "method": "CALL",
            "name": "__call__",
            "args": [
                {"arg_type": "PLACED", "value": stub(1)},
                {"arg_type": "PLACED", "value": stub("two")},
                {"arg_type": "NAMED", "name": "x", "value": stub(3)},
                {"arg_type": "NAMED", "name": "y", "value": stub(None)},
            ],
            "caller": 23,
        }
        assert [list(a) for a in body["args"]] == [["arg_type", "value"]] * 2 + [["arg_type", "name", "value"]] * 2

    def test_call_without_arguments_sends_an_empty_list(self, recorder, function_proxy):
        com_like._cw__call__(function_proxy)
        assert recorder.bodies[0]["args"] == []

    def test_del(self, recorder, proxy):
        assert com_like._cw__del__(proxy) is None
        (envelope,) = recorder.envelopes
        assert list(envelope) == ["method", "name", "caller", "requestId", "kind"]
        assert recorder.bodies == [{"method": "DEL", "name": "__del__", "caller": 17}]

    def test_caller_is_read_by_ordinary_lookup_at_each_call(self, recorder, proxy):
        object.__setattr__(proxy, "_internal_id", "renamed")
        com_like._cw__getattr__(proxy, "a")
        assert recorder.bodies[0]["caller"] == "renamed"

    def test_parameters_by_keyword(self, recorder, proxy, function_proxy):
        com_like._cw__getattr__(self=proxy, name="a")
        com_like._cw__setattr__(proxy, value=5, name="b")
        com_like._cw__getitem__(index=slice(None), self=proxy)
        com_like._cw__del__(self=proxy)
        com_like._cw__call__(self=function_proxy, k=1)
        assert [(b["method"], b["name"]) for b in recorder.bodies] == [
            ("GET", "a"), ("SET", "b"), ("GETITEM", "::"), ("DEL", "__del__"), ("CALL", "__call__")]
        assert recorder.bodies[-1]["args"] == [{"arg_type": "NAMED", "name": "k", "value": stub(1)}]

    def test_every_read_is_a_new_request(self, recorder, proxy):
        com_like._cw__getattr__(proxy, "a")
        com_like._cw__getattr__(proxy, "a")
        assert len(recorder.envelopes) == 2
        assert recorder.envelopes[0]["requestId"] != recorder.envelopes[1]["requestId"]
        assert proxy._internal_cache == {}


class TestLocalFields:
    @pytest.mark.parametrize("field", GET_FIELDS)
    def test_get_answers_fields_locally_even_when_stale(self, recorder, proxy, field):
        make_stale(proxy)
        assert com_like._cw__getattr__(proxy, field) is vars(proxy)[field]
        assert recorder.envelopes == []

    @pytest.mark.parametrize("field", GET_FIELDS)
    def test_get_of_a_missing_field_is_attribute_error(self, recorder, field):
        half = com_like.OfficeJsObject.__new__(com_like.OfficeJsObject)
        with pytest.raises(AttributeError):
            com_like._cw__getattr__(half, field)
        assert recorder.envelopes == []

    @pytest.mark.parametrize("op, args", [("_cw__getattr__", ("x",)), ("_cw__setattr__", ("x", 1)),
                                          ("_cw__getitem__", (0,)), ("_cw__call__", ())])
    def test_stale_check_reads_the_proxys_epoch_before_messaging(self, mod, op, args):
        half = com_like.OfficeJsObject.__new__(com_like.OfficeJsObject)
        del mod.messaging
        with pytest.raises(AttributeError, match="_msg_guid"):
            getattr(com_like, op)(half, *args)

    @pytest.mark.parametrize("field", SET_FIELDS)
    def test_set_stores_fields_locally(self, recorder, proxy, field):
        make_stale(proxy)
        marker = object()
        assert com_like._cw__setattr__(proxy, field, marker) is None
        assert vars(proxy)[field] is marker
        assert recorder.envelopes == []

    def test_restamping_makes_a_stale_proxy_usable(self, recorder, proxy, mod):
        make_stale(proxy)
        com_like._cw__setattr__(proxy, "_msg_guid", mod.messaging._guid)
        com_like._cw__getattr__(proxy, "a")
        assert recorder.methods() == ["GET"]

    def test_set_of_internal_cache_is_sent(self, recorder, proxy):
        com_like._cw__setattr__(proxy, "_internal_cache", {})
        assert recorder.bodies == [{"method": "SET", "name": "_internal_cache", "value": stub({}), "caller": 17}]
        assert proxy._internal_cache == {}

    @pytest.mark.parametrize("name", ["_internal_Id", "internal_id", "_internal_id ", "__dict__x", "_guid",
                                      "__class_getitem__"])
    def test_other_names_are_sent(self, recorder, proxy, name):
        com_like._cw__getattr__(proxy, name)
        com_like._cw__setattr__(proxy, name, 1)
        assert [b["name"] for b in recorder.bodies] == [name, name]


class TestNameArgument:
    class Sub(str):
        pass

    @pytest.mark.parametrize("op", ["_cw__getattr__", "_cw__setattr__"])
    @pytest.mark.parametrize("name, type_text", [(5, "int"), (None, "NoneType"), (b"a", "bytes")])
    def test_non_str(self, recorder, proxy, op, name, type_text):
        args = (proxy, name) if op == "_cw__getattr__" else (proxy, name, 1)
        with pytest.raises(TypeError) as info:
            getattr(com_like, op)(*args)
        assert str(info.value) == f"Argument 'name' has incorrect type (expected str, got {type_text})"
        assert recorder.envelopes == []

    @pytest.mark.parametrize("op", ["_cw__getattr__", "_cw__setattr__"])
    def test_str_subclass_even_for_a_field_name(self, recorder, proxy, op):
        name = self.Sub("_internal_id")
        args = (proxy, name) if op == "_cw__getattr__" else (proxy, name, 1)
        with pytest.raises(TypeError) as info:
            getattr(com_like, op)(*args)
        assert str(info.value) == "Argument 'name' has incorrect type (expected str, got Sub)"
        assert len(info.value.__notes__) == 1
        assert recorder.envelopes == [] and proxy._internal_id == 17

    def test_name_is_checked_before_stale(self, recorder, proxy):
        make_stale(proxy)
        with pytest.raises(TypeError, match="incorrect type"):
            com_like._cw__getattr__(proxy, 1)

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda p: com_like._cw__getattr__(p), "_cw__getattr__() missing 1 required positional argument: 'name'"),
            (lambda p: com_like._cw__setattr__(p, "a"),
             "_cw__setattr__() missing 1 required positional argument: 'value'"),
            (lambda p: com_like._cw__getitem__(p, 1, 2),
             "_cw__getitem__() takes 2 positional arguments but 3 were given"),
            (lambda p: com_like._cw__del__(p, 1), "_cw__del__() takes 1 positional argument but 2 were given"),
            (lambda p: com_like._cw__del__(), "_cw__del__() missing 1 required positional argument: 'self'"),
            (lambda p: com_like._cw__call__(), "_cw__call__() missing 1 required positional argument: 'self'"),
            (lambda p: com_like._cw__call__(p, self=p), "_cw__call__() got multiple values for argument 'self'"),
            (lambda p: com_like._cw__getattr__(p, "a", nme="b"),
             "_cw__getattr__() got an unexpected keyword argument 'nme'"),
        ],
    )
    def test_wrong_arguments(self, recorder, proxy, call, message):
        with pytest.raises(TypeError) as info:
            call(proxy)
        assert str(info.value) == message
        assert recorder.envelopes == []


class TestIndexText:
    @pytest.mark.parametrize(
        "index, text",
        [
            (0, "0"),
            (-1, "-1"),
            (2**70, str(2**70)),
            (True, "True"),
            (False, "False"),
            (slice(1, 3), "1:3:"),
            (slice(None), "::"),
            (slice(None, None, 2), "::2"),
            (slice(-2, None), "-2::"),
            (slice(1, 10, -1), "1:10:-1"),
            (slice("a", 2.5, None), "a:2.5:"),
        ],
    )
    def test_index_text(self, recorder, proxy, index, text):
        com_like._cw__getitem__(proxy, index)
        assert recorder.bodies == [{"method": "GETITEM", "name": text, "caller": 17}]

    def test_int_subclass_uses_its_str(self, recorder, proxy):
        class Pos(int):
            def __str__(self):
                return "pos"

        com_like._cw__getitem__(proxy, Pos(3))
        assert recorder.bodies[0]["name"] == "pos"

    @pytest.mark.parametrize("index", [1.5, "1", None, (1, 2), [0]])
    def test_bad_index_is_refused_before_the_stale_check(self, recorder, proxy, index):
        make_stale(proxy)
        with pytest.raises(TypeError) as info:
            com_like._cw__getitem__(proxy, index)
        assert str(info.value) == "Index must be an integer or a slice"
        assert recorder.envelopes == []

    def test_good_index_on_a_stale_proxy_is_stale(self, recorder, proxy):
        make_stale(proxy)
        with pytest.raises(RuntimeError) as info:
            com_like._cw__getitem__(proxy, 0)
        assert str(info.value) == STALE
        assert recorder.envelopes == []


class TestStale:
    @pytest.mark.parametrize(
        "call",
        [
            lambda p: com_like._cw__getattr__(p, "a"),
            lambda p: com_like._cw__setattr__(p, "a", 1),
            lambda p: com_like._cw__getitem__(p, slice(1, 2)),
            lambda p: com_like._cw__call__(p, 1),
        ],
        ids=["get", "set", "getitem", "call"],
    )
    def test_stale_proxy_sends_nothing(self, recorder, function_proxy, call):
        make_stale(function_proxy)
        with pytest.raises(RuntimeError) as info:
            call(function_proxy)
        assert str(info.value) == STALE
        assert info.value.__cause__ is None and info.value.__context__ is None
        assert recorder.envelopes == []

    def test_stale_before_function_test(self, recorder):
        a = make_stale(com_like.OfficeJsArray(3))
        with pytest.raises(RuntimeError, match=STALE):
            com_like._cw__call__(a)

    def test_stale_after_reset_and_del_still_sent(self, recorder, proxy, mod):
        mod.messaging.reset()
        with pytest.raises(RuntimeError, match=STALE):
            com_like._cw__getattr__(proxy, "a")
        com_like._cw__del__(proxy)
        assert recorder.bodies == [{"method": "DEL", "name": "__del__", "caller": 17}]

    @pytest.mark.parametrize("change", [
        lambda m: setattr(m, "_guid", "f" * 32),
        lambda m: vars(m).update(_guid="f" * 32),
        lambda m: setattr(m, "__dict__", {**vars(m), "_guid": "f" * 32}),
    ], ids=["setattr", "dict update", "dict replaced"])
    def test_an_epoch_changed_between_operations_is_seen(self, recorder, proxy, mod, change):
        com_like._cw__getattr__(proxy, "a")
        com_like._cw__getattr__(proxy, "b")
        change(mod.messaging)
        with pytest.raises(RuntimeError, match=STALE):
            com_like._cw__getattr__(proxy, "c")
        assert [body["name"] for body in recorder.bodies] == ["a", "b"]

    def test_stale_check_uses_not_equal(self, recorder, proxy, mod):
        class Same:
            def __ne__(self, other):
                return False

        object.__setattr__(proxy, "_msg_guid", Same())
        com_like._cw__getattr__(proxy, "a")
        assert recorder.methods() == ["GET"]

    def test_stale_check_reads_the_current_messaging(self, recorder, proxy, mod):
        stand_in = CannedMessaging("e" * 32, {"ok": True, "result": NULL_WIRE})
        mod.messaging = stand_in
        with pytest.raises(RuntimeError, match=STALE):
            com_like._cw__getattr__(proxy, "a")
        assert stand_in.bodies == []


class TestCall:
    @pytest.mark.parametrize("type_name", ["Range", "function", "Function ", "Array"])
    def test_only_function_type_is_callable(self, recorder, type_name):
        p = com_like.OfficeJsObject(5, type_name)
        with pytest.raises(TypeError) as info:
            com_like._cw__call__(p, 1)
        assert str(info.value) == "Only Function-typed SpecialObjects are callable"
        assert recorder.envelopes == []

    @pytest.mark.parametrize("cls", ["OfficeJsArray", "OfficeJsDict"])
    def test_containers_are_never_callable(self, recorder, cls):
        with pytest.raises(TypeError, match="Only Function-typed"):
            com_like._cw__call__(getattr(com_like, cls)(1))

    def test_encoding_error_sends_nothing(self, recorder, function_proxy):
        with pytest.raises(ValueError, match="stub cannot encode"):
            com_like._cw__call__(function_proxy, 1, bad=Unencodable())
        assert recorder.envelopes == []

    def test_arguments_are_encoded_in_order(self, recorder, function_proxy, mod):
        seen = []

        class Tracing(StubSerializer):
            @staticmethod
            def to_wire(value):
                seen.append(value)
                return stub(value)

        mod.Serializer = Tracing
        com_like._cw__call__(function_proxy, "a", "b", z="c", a="d")
        assert seen == ["a", "b", "c", "d"]
        assert [e.get("name") for e in recorder.bodies[0]["args"]] == [None, None, "z", "a"]

    def test_self_as_keyword_only(self, recorder, function_proxy):
        com_like._cw__call__(x=1, self=function_proxy)
        assert recorder.bodies[0]["caller"] == 23
        assert recorder.bodies[0]["args"] == [{"arg_type": "NAMED", "name": "x", "value": stub(1)}]


class TestSet:
    def test_encoding_error_sends_nothing(self, recorder, proxy):
        with pytest.raises(ValueError, match="stub cannot encode"):
            com_like._cw__setattr__(proxy, "values", Unencodable())
        assert recorder.envelopes == []

    def test_serializer_is_looked_up_at_each_call(self, recorder, proxy, mod):
        com_like._cw__setattr__(proxy, "a", 1)

        class Other(StubSerializer):
            @staticmethod
            def to_wire(value):
                return "other"

        mod.Serializer = Other
        com_like._cw__setattr__(proxy, "a", 1)
        assert [b["value"] for b in recorder.bodies] == [stub(1), "other"]

    def test_missing_serializer(self, recorder, proxy, mod):
        del mod.Serializer
        with pytest.raises(NameError, match="name 'Serializer' is not defined"):
            com_like._cw__setattr__(proxy, "a", 1)
        assert recorder.envelopes == []


class TestResponses:
    @pytest.mark.parametrize(
        "call, exc, text",
        [
            (lambda p: com_like._cw__getattr__(p, "x"), AttributeError, "GET failed for x"),
            (lambda p: com_like._cw__setattr__(p, "x", 1), AttributeError, "SET failed for x"),
            (lambda p: com_like._cw__getitem__(p, slice(1, 3)), AttributeError,
             "GET ITEM failed for slice(1, 3, None)"),
            (lambda p: com_like._cw__getitem__(p, 3), AttributeError, "GET ITEM failed for 3"),
            (lambda p: com_like._cw__getitem__(p, True), AttributeError, "GET ITEM failed for True"),
            (lambda p: com_like._cw__call__(p, 1), RuntimeError, "CALL failed"),
        ],
        ids=["get", "set", "getitem-slice", "getitem-int", "getitem-bool", "call"],
    )
    @pytest.mark.parametrize(
        "response, custom",
        [
            ({"ok": False}, None),
            ({"ok": False, "error": {}}, None),
            ({"ok": 0, "error": {"code": 3}}, None),
            ({}, None),
            ({"ok": None, "error": {"message": "sheet is protected"}}, "sheet is protected"),
            ({"ok": "", "error": {"message": ""}}, ""),
        ],
    )
    def test_unsuccessful_responses(self, canned, function_proxy, call, exc, text, response, custom):
        canned.response = response
        with pytest.raises(exc) as info:
            call(function_proxy)
        assert type(info.value) is exc
        assert str(info.value) == (text if custom is None else custom)
        assert info.value.__cause__ is None
        assert len(canned.bodies) == 1

    @pytest.mark.parametrize("message", [None, 42, ("a", "b"), ["x"]])
    def test_error_message_of_any_type_is_the_single_argument(self, canned, proxy, message):
        canned.response = {"ok": False, "error": {"message": message}}
        with pytest.raises(AttributeError) as info:
            com_like._cw__getattr__(proxy, "x")
        assert info.value.args == (message,)

    def test_error_message_that_is_an_exception_is_wrapped(self, canned, proxy):
        inner = AttributeError("inner")
        canned.response = {"ok": False, "error": {"message": inner}}
        with pytest.raises(AttributeError) as info:
            com_like._cw__getattr__(proxy, "x")
        assert info.value is not inner and info.value.args == (inner,)

    def test_error_read_through_get_of_a_mapping(self, canned, proxy):
        class Errors:
            def get(self, key, default):
                return f"{key}|{default}"

        canned.response = {"ok": False, "error": Errors()}
        with pytest.raises(AttributeError) as info:
            com_like._cw__getattr__(proxy, "x")
        assert str(info.value) == "message|GET failed for x"

    @pytest.mark.parametrize("error", [None, "text", 5])
    def test_error_without_get(self, canned, proxy, error):
        canned.response = {"ok": False, "error": error}
        with pytest.raises(AttributeError) as info:
            com_like._cw__getattr__(proxy, "x")
        assert "get" in str(info.value) and "GET failed" not in str(info.value)

    def test_response_that_is_not_a_dict_is_read_with_get(self, canned, proxy):
        class Response:
            def get(self, key, *default):
                return {"ok": True, "result": "R"}.get(key, *default)

        canned.response = Response()
        assert com_like._cw__getattr__(proxy, "x") == Decoded("R")

    def test_response_without_get(self, canned, proxy):
        canned.response = None
        with pytest.raises(AttributeError, match="get"):
            com_like._cw__getattr__(proxy, "x")

    @pytest.mark.parametrize(
        "call",
        [lambda p: com_like._cw__getattr__(p, "x"), lambda p: com_like._cw__getitem__(p, 0),
         lambda p: com_like._cw__call__(p)],
        ids=["get", "getitem", "call"],
    )
    def test_result_goes_to_from_wire(self, canned, function_proxy, call):
        canned.response = {"ok": 1, "result": {"type": "Int", "value": 5}}
        assert call(function_proxy) == Decoded({"type": "Int", "value": 5})
        canned.response = {"ok": True}
        assert call(function_proxy) == Decoded(None)

    def test_rebinding_messaging_takes_effect_at_once(self, canned, proxy, mod):
        canned.response = {"ok": False}
        with pytest.raises(AttributeError):
            com_like._cw__getattr__(proxy, "x")
        second = CannedMessaging(canned._guid, {"ok": True, "result": "fine"})
        mod.messaging = second
        assert com_like._cw__getattr__(proxy, "x") == Decoded("fine")
        assert len(canned.bodies) == 1 and len(second.bodies) == 1

    def test_body_handed_to_send_request_sync_alone(self, mod, stub_serializer, proxy):
        seen = []

        class Strict:
            _guid = mod.messaging._guid

            def send_request_sync(self, *args, **kwargs):
                seen.append((args, kwargs))
                return {"ok": True, "result": None}

        mod.messaging = Strict()
        com_like._cw__getattr__(proxy, "x")
        ((args, kwargs),) = seen
        assert kwargs == {} and args == ({"method": "GET", "name": "x", "caller": 17},)

    def test_module_messaging_refusal_is_runtime_error(self, mod, stub_serializer, proxy):
        rec = Recorder(mod.messaging, lambda e: {"ok": False, "error": {"message": "nope"}})
        mod.messaging.set_send_handler(rec)
        for call in (lambda: com_like._cw__getattr__(proxy, "x"), lambda: com_like._cw__setattr__(proxy, "x", 1),
                     lambda: com_like._cw__getitem__(proxy, 0)):
            with pytest.raises(RuntimeError) as info:
                call()
            assert str(info.value) == "nope"

    def test_no_send_handler(self, mod, stub_serializer, proxy):
        mod.messaging.set_send_handler(None)
        with pytest.raises(RuntimeError, match="No send handler registered"):
            com_like._cw__getattr__(proxy, "x")

    def test_handler_exception_passes_through(self, mod, stub_serializer, proxy):
        boom = KeyError("transport down")

        def handler(envelope):
            raise boom

        mod.messaging.set_send_handler(handler)
        with pytest.raises(KeyError) as info:
            com_like._cw__getattr__(proxy, "x")
        assert info.value is boom
        assert mod.messaging.waiters == {}


class TestDel:
    @pytest.mark.parametrize(
        "failure",
        [RuntimeError("remote"), TimeoutError("slow"), AttributeError("gone"), ValueError(), Exception()],
    )
    def test_every_exception_is_swallowed(self, mod, stub_serializer, proxy, failure):
        def handler(envelope):
            raise failure

        mod.messaging.set_send_handler(handler)
        assert com_like._cw__del__(proxy) is None

    @pytest.mark.parametrize("failure", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
    def test_base_exceptions_propagate(self, mod, stub_serializer, proxy, failure):
        def handler(envelope):
            raise failure

        mod.messaging.set_send_handler(handler)
        with pytest.raises(BaseException) as info:
            com_like._cw__del__(proxy)
        assert info.value is failure

    def test_without_handler_messaging_or_fields(self, mod, stub_serializer):
        mod.messaging.set_send_handler(None)
        assert com_like._cw__del__(com_like.OfficeJsObject(1, "X")) is None
        assert com_like._cw__del__(com_like.OfficeJsObject.__new__(com_like.OfficeJsObject)) is None
        del mod.messaging
        assert com_like._cw__del__(com_like.OfficeJsArray.__new__(com_like.OfficeJsArray)) is None

    def test_response_is_not_looked_at(self, canned, proxy):
        canned.response = None
        assert com_like._cw__del__(proxy) is None
        assert canned.bodies == [{"method": "DEL", "name": "__del__", "caller": 17}]

    def test_del_from_another_thread_blocks_that_thread(self, recorder, proxy):
        threads = []

        def handler_probe(envelope):
            threads.append(threading.current_thread())

        recorder.answer = lambda e: (handler_probe(e), {"ok": True})[1]
        worker = threading.Thread(target=com_like._cw__del__, args=(proxy,))
        worker.start()
        worker.join(60)
        assert threads == [worker]
        assert recorder.methods() == ["DEL"]


class _Property(com_like.OfficeJsObject):
    # A data descriptor on the class wins over the instance's own field.
    _internal_id = property(lambda self: 99, lambda self, value: None)


class _Getattribute(com_like.OfficeJsObject):
    def __getattribute__(self, name):
        return 55 if name == "_internal_id" else super().__getattribute__(name)


class _Missing(com_like.OfficeJsObject):
    def __init__(self, object_id, type_name):
        super().__init__(object_id, type_name)
        del self._internal_id  # read through __getattr__, which refuses the field


@pytest.mark.parametrize(("cls", "callers"), [
    (com_like.OfficeJsObject, [17, 17, 17]),
    (_Property, [99, 99, 99]),
    (_Getattribute, [55, 55, 55]),
], ids=["plain", "property", "__getattribute__"])
def test_the_caller_is_read_the_ordinary_way_whatever_the_class(recorder, cls, callers):
    # A plain array in between: the read of the caller knows several classes.
    for proxy in (cls(17, "Range"), com_like.OfficeJsArray(3), cls(17, "Range"), cls(17, "Range")):
        com_like._cw__getattr__(proxy, "a")
    gets = [body["caller"] for body in recorder.bodies if body["method"] == "GET"]
    assert gets == [callers[0], 3, *callers[1:]]


def test_a_missing_caller_fails_as_the_ordinary_read_fails(recorder):
    for _ in range(2):  # learnt on the first, taken directly on the second
        com_like._cw__getattr__(com_like.OfficeJsObject(17, "Range"), "a")
    with pytest.raises(AttributeError, match="_internal_id"):
        com_like._cw__getattr__(_Missing(17, "Range"), "a")
    assert recorder.methods().count("GET") == 2
