"""The encoder's steps, their order and its collaborators."""

import datetime as dt
import enum
import math
import re

import numpy as np
import pytest

from .conftest import StandInArray, StandInDict, w


class Color(enum.IntEnum):
    RED = 3


class Text(str):
    pass


class FloatSub(float):
    pass


class Items(dict):
    def items(self):
        return [("k", 1), (2, "v")]


UTC2 = dt.timezone(dt.timedelta(hours=2))


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, w("Null", None)),
        (True, w("Bool", True)),
        (False, w("Bool", False)),
        (np.bool_(False), w("Bool", False)),
        (np.bool_(True), w("Bool", True)),
        (1, w("Int", 1)),
        (-(10**30), w("Int", -(10**30))),
        (Color.RED, w("Int", 3)),
        (1.5, w("Float", 1.5)),
        (FloatSub(2.5), w("Float", 2.5)),
        (math.inf, w("Float", math.inf)),
        ("", w("String", "")),
        (dt.datetime(2024, 5, 1, 14, tzinfo=UTC2), w("Date", "2024-05-01T12:00:00+00:00")),
        (dt.datetime(2024, 5, 1, 14), w("Date", "2024-05-01T14:00:00")),
        (dt.date(2024, 5, 1), w("Date", "2024-05-01")),
        (b"", w("Bytes", "")),
        (b"\x00\xff\x10", w("Bytes", "AP8Q")),
        (bytearray(b"\x00\xff\x10"), w("Bytes", "AP8Q")),
        (memoryview(b"\x00\xff\x10"), w("Bytes", "AP8Q")),
        (memoryview(b"a\x00b\x00c")[::2], w("Bytes", "YWJj")),
        ((1, "a"), w("Array", [w("Int", 1), w("String", "a")])),
        ([], w("Array", [])),
        ([[None]], w("Array", [w("Array", [w("Null", None)])])),
        ({1: None}, w("Dict", {1: w("Null", None)})),
        ({(1, 2): [True]}, w("Dict", {(1, 2): w("Array", [w("Bool", True)])})),
        (Items(ignored=0), w("Dict", {"k": w("Int", 1), 2: w("String", "v")})),
        ({1, 2}, w("String", "{1, 2}")),
        (dt.time(12, 30), w("String", "12:30:00")),
        (dt.timedelta(days=1), w("String", "1 day, 0:00:00")),
        (1 + 2j, w("String", "(1+2j)")),
    ],
)
def test_plain_values(to_wire, value, expected):
    got = to_wire(value)
    assert got == expected
    assert list(got) == ["type", "value", "isSpec"]


@pytest.mark.parametrize(
    "value, kind",
    [(True, bool), (np.bool_(True), bool), (Color.RED, int), (FloatSub(1.0), float)],
)
def test_payload_is_the_plain_type(to_wire, value, kind):
    assert type(to_wire(value)["value"]) is kind


def test_nan_stays_a_float(to_wire):
    got = to_wire(math.nan)
    assert got["type"] == "Float" and math.isnan(got["value"])


def test_str_subclass_sent_unchanged(to_wire):
    text = Text("hi")
    assert to_wire(text)["value"] is text


def test_list_subclass_walked_by_its_iterator(to_wire):
    class Backwards(list):
        def __iter__(self):
            return iter(list(reversed(list(list.__iter__(self)))))

    assert to_wire(Backwards([1, 2])) == w("Array", [w("Int", 2), w("Int", 1)])


def test_deep_containers_are_fully_encoded(to_wire):
    assert to_wire({"a": [1, {"b": (2.0,)}]}) == w(
        "Dict", {"a": w("Array", [w("Int", 1), w("Dict", {"b": w("Array", [w("Float", 2.0)])})])}
    )


def test_dict_keys_unchanged_and_in_order(to_wire):
    keys = [3, "a", (1,), None, 1.5]
    assert list(to_wire(dict.fromkeys(keys, 0))["value"]) == keys


def test_proxy_containers_encode_by_value(mod, to_wire):
    arr = mod.OfficeJsArray(7)
    arr.extend([1, "x"])
    dct = mod.OfficeJsDict(8)
    dct.update(a=None)
    assert to_wire(arr) == w("Array", [w("Int", 1), w("String", "x")])
    assert to_wire(dct) == w("Dict", {"a": w("Null", None)})


def test_proxy_is_a_reference_though_callable(mod, to_wire):
    assert callable(mod.GetSetting)
    assert to_wire(mod.GetSetting) == w("Function", 2, True)
    assert to_wire(mod.Excel) == w("Excel", 1, True)
    assert to_wire(mod.Context) == w("RequestContext", 0, True)


CALLABLE_ID = re.compile(r"pyfunc_[0-9a-f]{8}_(\d+)")


@pytest.mark.parametrize("fn", [lambda: 0, print, int, object().__str__])
def test_callables_are_registered_each_time(mod, to_wire, fn):
    first, second = to_wire(fn), to_wire(fn)
    assert first["type"] == "Python_Function" and first["isSpec"] is True
    n1 = int(CALLABLE_ID.fullmatch(first["value"]).group(1))
    n2 = int(CALLABLE_ID.fullmatch(second["value"]).group(1))
    assert n2 == n1 + 1
    assert mod.messaging.get_callable(first["value"]) is fn
    assert mod.messaging.get_callable(second["value"]) is fn


def test_bool_step_comes_before_int(to_wire):
    assert to_wire(True)["type"] == "Bool"


def test_exceptions_propagate_and_nothing_partial(to_wire):
    class Bad:
        def __str__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError):
        to_wire([1, {"k": Bad()}])


def test_mutation_during_dict_walk_is_refused(to_wire):
    target = {}

    class Grow:
        def __str__(self):
            target["new"] = 1
            return "g"

    target["a"] = Grow()
    with pytest.raises(RuntimeError, match="changed size"):
        to_wire(target)


def test_list_growing_during_walk_is_walked_to_its_end(to_wire):
    target = []

    class Grow:
        def __str__(self):
            target.append(len(target))
            return "g"

    target.append(Grow())
    target.append(Grow())
    got = to_wire(target)
    assert got == w("Array", [w("String", "g"), w("String", "g"), w("Int", 2), w("Int", 3)])


# --- collaborators are looked up in the module at each call ----------------


def test_rebinding_serializer_to_wire_is_used_for_elements(mod, monkeypatch, to_wire):
    seen = []

    class Fake:
        @staticmethod
        def to_wire(value):
            seen.append(value)
            return "E"

    monkeypatch.setattr(mod, "Serializer", Fake)
    assert to_wire([1, (2,)]) == w("Array", ["E", "E"])
    assert to_wire({"k": 3}) == w("Dict", {"k": "E"})
    assert seen == [1, (2,), 3]


def test_rebinding_np_bool(mod, monkeypatch, to_wire):
    class FakeNp:
        bool_ = int
        integer = np.integer
        floating = np.floating
        timedelta64 = np.timedelta64
        datetime64 = np.datetime64

    monkeypatch.setattr(mod, "np", FakeNp)
    # every int is now an instance of "np.bool_"
    assert to_wire(5) == w("Bool", True)
    assert to_wire([0]) == w("Array", [w("Bool", False)])


@pytest.mark.parametrize("name", ["np", "dt", "pd"])
def test_missing_global_is_a_name_error_for_a_container(mod, monkeypatch, to_wire, name):
    assert to_wire(None) == w("Null", None)  # the None step needs nothing
    monkeypatch.delattr(mod, name)
    with pytest.raises(NameError, match=f"name '{name}' is not defined"):
        to_wire([1])


def test_rebinding_dt_classes(mod, monkeypatch, to_wire):
    class Stamp:
        tzinfo = None

        def isoformat(self):
            return "STAMP"

    class FakeDt:
        datetime = Stamp
        date = dt.date
        timezone = dt.timezone

    monkeypatch.setattr(mod, "dt", FakeDt)
    assert to_wire(Stamp()) == w("Date", "STAMP")
    assert to_wire(dt.datetime(2024, 1, 1)) == w("Date", "2024-01-01T00:00:00")  # a date still
    assert to_wire([Stamp()]) == w("Array", [w("Date", "STAMP")])


def test_base64_looked_up(mod, monkeypatch, to_wire):
    class FakeBase64:
        @staticmethod
        def b64encode(data):
            return b"<" + data + b">"

    monkeypatch.setattr(mod, "base64", FakeBase64)
    assert to_wire(bytearray(b"ab")) == w("Bytes", "<ab>")


def test_messaging_looked_up_for_callables(mod, monkeypatch, to_wire):
    class FakeMessaging:
        def register_callable(self, fn):
            return "id-" + fn.__name__

    monkeypatch.setattr(mod, "messaging", FakeMessaging())

    def handler():
        pass

    assert to_wire(handler) == w("Python_Function", "id-handler", True)


def test_office_js_object_looked_up(mod, monkeypatch, to_wire):
    class Ref:
        _internal_typeName = "Range"
        _internal_id = 41

    monkeypatch.setattr(mod, "OfficeJsObject", Ref)
    assert to_wire(Ref()) == w("Range", 41, True)
    assert to_wire(mod.Excel)["type"] == "Python_Function"  # no longer a proxy class


def test_stand_in_containers_by_value(stand_ins, to_wire):
    arr = StandInArray(1)
    arr.extend([1])
    assert to_wire(arr) == w("Array", [w("Int", 1)])
    assert to_wire(StandInDict(2)) == w("Dict", {})
