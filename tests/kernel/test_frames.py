"""Frames from the add-in are untrusted: each one is checked before use."""

import json

import pytest

from velmara_master.python_server.velmara.kernel import FrameRejected, read_frame

LIMIT = 1000
RID = "0123456789abcdef0123456789abcdef"


@pytest.mark.parametrize("data, reason", [
    (b'{"kind": "excel_response"}', "binary"),
    ("x" * (LIMIT + 1), "oversized"),
    ("", "malformed_json"),
    ("{", "malformed_json"),
    ('{"kind": "excel_response", "requestId": "r", "ok": true, "result": {"value": NaN}}', "malformed_json"),
    ("[1, 2]", "not_an_object"),
    ('"text"', "not_an_object"),
    ("{}", "unknown_kind"),
    ('{"kind": "request"}', "unknown_kind"),
    ('{"kind": 7}', "unknown_kind"),
    ('{"kind": "excel_response", "ok": true, "result": {}}', "bad_member"),
    ('{"kind": "excel_response", "requestId": 5, "ok": true}', "bad_member"),
    ('{"kind": "excel_response", "requestId": "", "ok": true}', "bad_member"),
    (json.dumps({"kind": "excel_response", "requestId": "r" * 129, "ok": True}), "bad_member"),
    ('{"kind": "excel_response", "requestId": ["a"], "ok": true}', "bad_member"),
    ('{"kind": "callback", "callableId": "pyfunc_1", "args": []}', "bad_member"),
    ('{"kind": "diag_result"}', "bad_member"),
])
def test_rejected_frames_name_their_reason(data, reason):
    with pytest.raises(FrameRejected) as info:
        read_frame(data, LIMIT)
    assert info.value.reason == reason and info.value.detail


@pytest.mark.parametrize("head, request_id", [
    (f'{{"kind": "excel_response", "requestId": "{RID}", "ok": true, "result": ', RID),
    (f'{{"requestId":"{RID}","kind":"excel_response","result":', RID),
    (f'{{"kind": "callback", "callId": "{RID}", "args": ', None),
    ('{"kind": "excel_response", "ok": true, "result": ', None),
])
def test_an_oversized_answer_names_its_request_from_the_head(head, request_id):
    with pytest.raises(FrameRejected) as info:
        read_frame(head + '"' + "x" * LIMIT + '"}', LIMIT)
    assert info.value.reason == "oversized" and info.value.request_id == request_id


def test_nesting_beyond_the_parser_depth_is_malformed_not_a_crash():
    with pytest.raises(FrameRejected) as info:
        read_frame("[" * 100_000 + "]" * 100_000, 10**6)
    assert info.value.reason == "malformed_json"


def test_a_good_response_is_passed_on_as_parsed():
    message = {"kind": "excel_response", "requestId": RID, "ok": True,
               "result": {"type": "Int", "value": 1, "isSpec": False}}
    frame = read_frame(json.dumps(message), LIMIT)
    assert frame.kind == "excel_response" and frame.message == message and frame.problem is None


@pytest.mark.parametrize("members, problem", [
    ({"ok": 1, "result": {}}, "'ok' is int"),
    ({"ok": "true", "result": {}}, "'ok' is str"),
    ({}, "'ok' is NoneType"),
    ({"ok": True}, "'result' is missing"),
    ({"ok": True, "result": [1]}, "'result' is missing or not a wire value"),
    ({"ok": False, "error": "boom"}, "'error' is str"),
    ({"ok": False, "error": None}, "'error' is NoneType"),
    ({"ok": False, "error": {"message": 42}}, "'error.message' is not text"),
])
def test_a_malformed_response_becomes_a_failure_for_its_request(members, problem):
    frame = read_frame(json.dumps({"kind": "excel_response", "requestId": RID, **members}), LIMIT)
    assert frame.problem is not None and problem in frame.problem
    assert frame.message["requestId"] == RID and frame.message["ok"] is False
    assert frame.message["error"]["message"].startswith("Malformed response from the Excel add-in: ")


@pytest.mark.parametrize("members", [{"ok": False}, {"ok": False, "error": {}},
                                     {"ok": False, "error": {"message": "Unknown sheet"}}])
def test_well_formed_failures_pass_unchanged(members):
    frame = read_frame(json.dumps({"kind": "excel_response", "requestId": RID, **members}), LIMIT)
    assert frame.problem is None and frame.message["ok"] is False


@pytest.mark.parametrize("members, problem", [
    ({"callableId": "pyfunc_ab_1", "args": [{"type": "Null"}]}, None),
    ({"callableId": "pyfunc_ab_1"}, None),
    ({"callableId": 3, "args": []}, "'callableId'"),
    ({"callableId": "pyfunc_ab_1", "args": {"a": 1}}, "'args'"),
    ({"callableId": "pyfunc_ab_1", "args": [1]}, "'args'"),
])
def test_callback_invocations(members, problem):
    frame = read_frame(json.dumps({"kind": "callback", "callId": "call-1", **members}), LIMIT)
    assert frame.kind == "callback"
    assert frame.problem == problem if problem is None else problem in frame.problem
