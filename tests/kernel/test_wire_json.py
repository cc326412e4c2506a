"""The JSON rule: numbers JSON cannot carry travel as text; the rest is refused."""

import json
import math

import pytest

from velmara_master.python_server.velmara.kernel import MAX_EXACT_INT, UnrepresentableValue, dumps, json_safe, loads


def wire(tag, value):
    return {"type": tag, "value": value, "isSpec": False}


@pytest.mark.parametrize("tag, value, sent", [
    ("Int", MAX_EXACT_INT, MAX_EXACT_INT),
    ("Int", -MAX_EXACT_INT, -MAX_EXACT_INT),
    ("Int", MAX_EXACT_INT + 1, str(MAX_EXACT_INT + 1)),
    ("Int", -(MAX_EXACT_INT + 1), str(-(MAX_EXACT_INT + 1))),
    ("Int", 10**30, "1" + "0" * 30),
    ("Float", math.nan, "NaN"),
    ("Float", math.inf, "Infinity"),
    ("Float", -math.inf, "-Infinity"),
    ("Float", 1.5, 1.5),
    ("Float", 1e308, 1e308),
])
def test_numbers_json_cannot_carry_travel_as_text_under_their_tag(tag, value, sent):
    text = dumps({"kind": "request", "value": wire(tag, value)})
    assert json.loads(text)["value"] == {"type": tag, "value": sent, "isSpec": False}


@pytest.mark.parametrize("text, expected", [("NaN", math.nan), ("Infinity", math.inf), ("-Infinity", -math.inf)])
def test_float_texts_are_what_python_float_parses_back(text, expected):
    # The bridge's decoder converts a "Float" payload with float(); these
    # texts must come back as the number they stand for.
    parsed = float(text)
    assert (math.isnan(parsed) and math.isnan(expected)) or parsed == expected


def test_mapping_reaches_into_nested_arrays_dicts_and_call_arguments():
    envelope = {
        "method": "CALL", "name": "__call__", "caller": 5, "requestId": "r", "kind": "request",
        "args": [{"arg_type": "PLACED", "value": wire("Array", [wire("Array", [wire("Float", math.nan)])])},
                 {"arg_type": "NAMED", "name": "k", "value": wire("Dict", {"big": wire("Int", 2**64)})}],
    }
    sent = loads(dumps(envelope))
    assert sent["args"][0]["value"]["value"][0]["value"][0]["value"] == "NaN"
    assert sent["args"][1]["value"]["value"]["big"]["value"] == str(2**64)
    # The caller's dicts are never altered: the mapping copies what it changes.
    assert math.isnan(envelope["args"][0]["value"]["value"][0]["value"][0]["value"])
    assert envelope["args"][1]["value"]["value"]["big"]["value"] == 2**64


def test_nothing_to_map_returns_the_same_objects():
    message = {"method": "SET", "value": wire("Array", [wire("Int", 1), wire("String", "x")]), "caller": 3}
    assert json_safe(message) is message


@pytest.mark.parametrize("message, problem, where", [
    ({"value": wire("Dict", {1: wire("Null", None)})}, "key 1 of type int", "['value']['value']"),
    ({"value": wire("Dict", {(1, 2): wire("Null", None)})}, "key (1, 2) of type tuple", "['value']['value']"),
    ({"args": [{"value": wire("Dict", {"ok": wire("Dict", {None: wire("Null", None)})})}]},
     "key None", "['args'][0]['value']['value']['ok']['value']"),
    ({"caller": 2**60}, "beyond 2**53 outside an \"Int\"", "['caller']"),
    ({"value": {"type": "String", "value": math.inf}}, "non-finite number inf", "['value']['value']"),
    ({"value": wire("Array", [wire("String", "é_\udcff")])}, "text holding the lone surrogate U+DCFF at index 2",
     "['value']['value'][0]['value']"),
    ({"value": wire("Dict", {"k\ud800": wire("Null", None)})}, "key text holding the lone surrogate U+D800",
     "['value']['value']"),
])
def test_what_no_rule_maps_is_refused_with_its_place(message, problem, where):
    with pytest.raises(UnrepresentableValue) as info:
        dumps(message)
    assert problem in str(info.value) and str(info.value).endswith("at " + where)
    assert isinstance(info.value, ValueError)


def test_objects_without_json_form_are_refused_by_json_itself():
    with pytest.raises(TypeError):
        dumps({"value": object()})


@pytest.mark.parametrize("text", ['{"v": NaN}', '{"v": Infinity}', '{"v": -Infinity}'])
def test_incoming_json_is_strict(text):
    with pytest.raises(ValueError, match="non-standard JSON constant"):
        loads(text)


def test_output_is_compact_utf8_text():
    assert dumps({"name": "Zürich", "n": [1, 2]}) == '{"name":"Zürich","n":[1,2]}'
