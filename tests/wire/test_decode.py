"""The decoder: each tag, the fall-backs, and how proxies are made."""

import binascii
import datetime as dt

import pytest

from .conftest import StandInArray, StandInDict, StandInObject, w


@pytest.mark.parametrize(
    "wire, expected",
    [
        ({}, "None"),
        ({"type": "Null", "value": 5}, None),
        ({"type": "Bool", "value": "false"}, True),
        ({"type": "Bool", "value": 0}, False),
        ({"type": "Bool"}, False),
        ({"type": "Int", "value": "12"}, 12),
        ({"type": "Int", "value": " -12\n"}, -12),
        ({"type": "Int", "value": 3.9}, 3),
        ({"type": "Int", "value": -3.9}, -3),
        ({"type": "Int", "value": True}, 1),
        ({"type": "Float", "value": 1}, 1.0),
        ({"type": "Float", "value": " 2.5 "}, 2.5),
        ({"type": "String", "value": 5}, "5"),
        ({"type": "String"}, "None"),
        ({"type": "Date", "value": "2024-05-01"}, dt.datetime(2024, 5, 1)),
        (
            {"type": "Date", "value": "2024-05-01T12:00:00+00:00"},
            dt.datetime(2024, 5, 1, 12, tzinfo=dt.UTC),
        ),
        ({"type": "Date", "value": "not a date"}, "not a date"),
        ({"type": "Date", "value": 17}, 17),
        ({"type": "Date"}, None),
        ({"type": "Bytes"}, b""),
        ({"type": "Bytes", "value": ""}, b""),
        ({"type": "Bytes", "value": "AP8Q"}, b"\x00\xff\x10"),
        ({"type": "Bytes", "value": b"AP8Q"}, b"\x00\xff\x10"),
        ({"type": "Function", "value": 2, "isSpec": False}, "2"),
        ({"type": "Whatever", "value": [1]}, "[1]"),
        ({"type": 5, "value": "x"}, "x"),
        ({"value": 1, "isSpec": 0}, "1"),
    ],
)
def test_plain_tags_and_fall_backs(from_wire, wire, expected):
    got = from_wire(wire)
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize("value", [7, 7.0, "7"])
def test_exact_payloads_are_returned_as_they_are(from_wire, value):
    tag = {int: "Int", float: "Float", str: "String"}[type(value)]
    assert from_wire({"type": tag, "value": value}) is value


def test_tag_compared_by_text_value(from_wire):
    class Tag(str):
        pass

    assert from_wire({"type": "".join(["N", "ull"]), "value": 1}) is None
    assert from_wire({"type": Tag("Int"), "value": "4"}) == 4
    assert from_wire({"type": "int", "value": "4"}) == "4"  # case matters


def test_array_with_stand_in(stand_ins, from_wire):
    got = from_wire({"type": "Array", "id": 7, "value": [w("Int", 1), w("String", "a")]})
    assert type(got) is StandInArray
    assert got.object_id == 7 and got == [1, "a"] and got.extend_calls == 1


def test_array_without_value_and_spec_flag(stand_ins, from_wire):
    got = from_wire({"type": "Array", "id": 7, "isSpec": True})
    assert type(got) is StandInArray and got == [] and got.object_id == 7


def test_dict_with_stand_in(stand_ins, from_wire):
    got = from_wire({"type": "Dict", "id": 8, "value": {"a": w("Int", 1), 2: w("Null", None)}})
    assert type(got) is StandInDict
    assert got.object_id == 8 and got == {"a": 1, 2: None} and got.update_calls == 1
    assert list(got) == ["a", 2]


def test_dict_value_walked_through_items(stand_ins, from_wire):
    class Pairs:
        def __bool__(self):
            return True

        def items(self):
            return [("k", w("Int", 5))]

    assert from_wire({"type": "Dict", "id": 1, "value": Pairs()}) == {"k": 5}


def test_reference_with_stand_in(stand_ins, from_wire):
    got = from_wire({"type": "Range", "value": "41", "isSpec": True})
    assert type(got) is StandInObject and got.args == (41, "Range")


def test_nested_containers_with_stand_ins(stand_ins, from_wire):
    got = from_wire(
        {"type": "Dict", "id": 1, "value": {"rows": {"type": "Array", "id": 2, "value": [w("Float", "1.5")]}}}
    )
    assert got == {"rows": [1.5]} and got["rows"].object_id == 2


def test_proxy_classes_looked_up_at_each_call(mod, monkeypatch, from_wire):
    wire = {"type": "Array", "id": 3, "value": []}
    assert type(from_wire(wire)) is mod.OfficeJsArray
    monkeypatch.setattr(mod, "OfficeJsArray", StandInArray)
    assert type(from_wire(wire)) is StandInArray


def test_rebinding_serializer_from_wire_is_used_for_elements(stand_ins, monkeypatch, from_wire):
    class Fake:
        @staticmethod
        def from_wire(x):
            return ("decoded", x)

    monkeypatch.setattr(stand_ins, "Serializer", Fake)
    got = from_wire({"type": "Array", "id": 1, "value": [1, "raw"]})
    assert got == [("decoded", 1), ("decoded", "raw")]


@pytest.mark.parametrize("name, wire", [("dt", w("Date", "2024-01-01")), ("base64", w("Bytes", "AA=="))])
def test_dt_and_base64_looked_up(mod, monkeypatch, from_wire, name, wire):
    class Fake:
        class datetime:
            @staticmethod
            def fromisoformat(text):
                return ("parsed", text)

        @staticmethod
        def b64decode(text):
            return ("decoded", text)

    monkeypatch.setattr(mod, name, Fake)
    assert from_wire(wire)[0] in ("parsed", "decoded")


def test_date_lookup_failure_is_a_parse_failure(mod, monkeypatch, from_wire):
    monkeypatch.delattr(mod, "dt")
    assert from_wire(w("Date", "2024-01-01")) == "2024-01-01"


def test_date_parser_interrupt_propagates(mod, monkeypatch, from_wire):
    class Fake:
        class datetime:
            @staticmethod
            def fromisoformat(text):
                raise KeyboardInterrupt

    monkeypatch.setattr(mod, "dt", Fake)
    with pytest.raises(KeyboardInterrupt):
        from_wire(w("Date", "2024-01-01"))


# --- against the real proxy classes -----------------------------------------


def test_real_array_proxy(mod, from_wire):
    got = from_wire({"type": "Array", "id": 7,
                     "value": [w("Int", 1), {"type": "Function", "value": 2, "isSpec": True}]})
    assert type(got) is mod.OfficeJsArray and got._internal_id == 7
    assert got[0] == 1
    assert type(got[1]) is mod.OfficeJsObject
    assert (got[1]._internal_id, got[1]._internal_typeName) == (2, "Function")
    assert got._msg_guid == mod.messaging._guid
    assert repr(got) == "<OfficeJsArray id=7 len=2>"


def test_real_dict_proxy(mod, from_wire):
    got = from_wire({"type": "Dict", "id": 8, "value": {"a": w("Int", 1)}})
    assert type(got) is mod.OfficeJsDict and got._internal_id == 8
    assert dict(got) == {"a": 1}


def test_real_reference(mod, from_wire):
    got = from_wire({"type": "Worksheet", "value": 12, "isSpec": True})
    assert type(got) is mod.OfficeJsObject
    assert repr(got) == "<OfficeJsObject Worksheet id=12>"


@pytest.mark.parametrize(
    "wire, error, text",
    [
        ({"type": "Array", "value": []}, TypeError,
         "Argument 'object_id' has incorrect type (expected int, got NoneType)"),
        ({"type": "Dict", "id": "x"}, TypeError, "Argument 'object_id' has incorrect type (expected int, got str)"),
        ({"type": "Range", "value": "abc", "isSpec": True}, ValueError, "invalid literal for int()"),
        ({"type": "Range", "value": None, "isSpec": True}, TypeError, "int() argument must be"),
        ({"type": None, "value": 1, "isSpec": True}, TypeError, "expected str, got NoneType"),
        ({"type": "Python_Function", "value": "pyfunc_0123abcd_1", "isSpec": True}, ValueError, "invalid literal"),
        ({"type": "Int"}, TypeError, "int() argument must be"),
        ({"type": "Int", "value": "1.5"}, ValueError, "invalid literal for int()"),
        ({"type": "Int", "value": "9" * 5000}, ValueError, "Exceeds the limit"),
        ({"type": "Float", "value": "abc"}, ValueError, "could not convert string to float"),
        ({"type": "Float", "value": None}, TypeError, "float() argument must be"),
        ({"type": "Bytes", "value": "abc"}, binascii.Error, "padding"),
        ({"type": "Bytes", "value": "ü"}, ValueError, "ASCII"),
        ({"type": "Array", "id": 1, "value": [1]}, TypeError,
         "Argument 'wire' has incorrect type (expected dict, got int)"),
        ({"type": "Array", "id": 1, "value": 5}, TypeError, "not iterable"),
        ({"type": "Dict", "id": 1, "value": {"a": "raw"}}, TypeError, "expected dict, got str"),
        ({"type": "Dict", "id": 1, "value": [1]}, AttributeError, "items"),
        ({"type": "Dict", "id": 1, "value": {"a": {"type": "Int", "value": "x"}}}, ValueError, "invalid literal"),
    ],
)
def test_bad_input_gives_the_interpreters_errors(mod, from_wire, wire, error, text):
    with pytest.raises(error) as info:
        from_wire(wire)
    assert text in str(info.value)


def test_failed_element_leaves_no_filled_proxy(stand_ins, monkeypatch, from_wire):
    made = []

    class Tracking(StandInArray):
        def __init__(self, object_id):
            super().__init__(object_id)
            made.append(self)

    monkeypatch.setattr(stand_ins, "OfficeJsArray", Tracking)
    with pytest.raises(ValueError):
        from_wire({"type": "Array", "id": 1, "value": [w("Int", 1), w("Int", "x")]})
    assert len(made) == 1 and made[0] == [] and made[0].extend_calls == 0
