"""The simulated add-in's object model, driven frame by frame without a network."""

import json

import pytest

from velmara_master.python_server.velmara.addin_sim import Simulator
from velmara_master.python_server.velmara.addin_sim.addresses import (
    AddressError, Area, format_address, parse_area, split_sheet)


def w(value):
    if value is None:
        return {"type": "Null", "value": None, "isSpec": False}
    if type(value) is dict:
        return value
    tag = {bool: "Bool", int: "Int", float: "Float", str: "String"}[type(value)]
    return {"type": tag, "value": value, "isSpec": False}


class Driver:
    """Speaks to a FrameHandler the way the bridge does: GET of a method, then CALL."""

    def __init__(self, first_id=3):
        self.sim = Simulator(first_id=first_id)
        self.handler = self.sim.new_session()
        self.counter = 0
        self.extra = []  # frames after the response (callbacks)

    def send(self, **body):
        self.counter += 1
        body.update(requestId=f"r{self.counter}", kind="request")
        out = [json.loads(t) for t in self.handler.handle(json.dumps(body))]
        response, self.extra = out[0], out[1:]
        assert response["kind"] == "excel_response" and response["requestId"] == f"r{self.counter}"
        return response

    def ok(self, **body):
        response = self.send(**body)
        assert response["ok"], response
        return response["result"]

    def get(self, caller, name):
        return self.ok(method="GET", name=name, caller=caller)

    def set(self, caller, name, value):
        return self.ok(method="SET", name=name, value=value, caller=caller)

    def call(self, caller, method, *args, **kwargs):
        function = self.get(caller, method)
        assert function["type"] == "Function" and function["isSpec"] is True
        entries = [{"arg_type": "PLACED", "value": a} for a in args]
        entries += [{"arg_type": "NAMED", "name": k, "value": v} for k, v in kwargs.items()]
        result = self.send(method="CALL", name="__call__", args=entries, caller=function["value"])
        self.ok(method="DEL", name="__del__", caller=function["value"])
        return result

    def call_ok(self, caller, method, *args, **kwargs):
        response = self.call(caller, method, *args, **kwargs)
        assert response["ok"], response
        return response["result"]

    def error(self, response):
        assert response["ok"] is False
        return response["error"]["message"]

    def sheet(self, name="Sheet1"):
        book = self.get(0, "workbook")["value"]
        sheets = self.get(book, "worksheets")["value"]
        return self.call_ok(sheets, "getItem", w(name))["value"]

    def range(self, address, sheet_name="Sheet1"):
        return self.call_ok(self.sheet(sheet_name), "getRange", w(address))["value"]

    def objects(self):
        return len(self.sim.table)


def grid(rows):
    return {"type": "Array", "isSpec": False,
            "value": [{"type": "Array", "isSpec": False, "value": [w(v) for v in row]} for row in rows]}


def plain(result):
    """A 2-D Array result as rows of (tag, value)."""
    assert result["type"] == "Array" and type(result["id"]) is int
    return [[(cell["type"], cell["value"]) for cell in row["value"]] for row in result["value"]]


@pytest.fixture
def d():
    return Driver()


# ---------------------------------------------------------------- addresses

@pytest.mark.parametrize("text, area", [
    ("A1", Area(0, 0, 0, 0)),
    ("b2:d10", Area(1, 1, 9, 3)),
    ("$C$3", Area(2, 2, 2, 2)),
    ("D4:B2", Area(1, 1, 3, 3)),
    ("A:C", Area(0, 0, 1_048_575, 2)),
    ("3:5", Area(2, 0, 4, 16_383)),
    ("XFD1048576", Area(1_048_575, 16_383, 1_048_575, 16_383)),
])
def test_addresses_parse(text, area):
    assert parse_area(text) == area


@pytest.mark.parametrize("text", ["", "A", "1", "A0", "XFE1", "A1048577", "A1:B2:C3", "1A", "A1:B", "Sheet1"])
def test_malformed_addresses_are_refused(text):
    with pytest.raises(AddressError, match="Invalid address"):
        parse_area(text)


@pytest.mark.parametrize("name, area, text", [
    ("Sheet1", Area(0, 0, 1, 1), "Sheet1!A1:B2"),
    ("My Sheet", Area(0, 26, 0, 26), "'My Sheet'!AA1"),
    ("it's", Area(2, 0, 2, 0), "'it''s'!A3"),
])
def test_addresses_format_and_split_back(name, area, text):
    assert format_address(name, area) == text
    sheet, cells = split_sheet(text)
    assert sheet == name and parse_area(cells) == area


# ---------------------------------------------------------------- object table

def test_roots_are_pinned_and_references_are_counted(d):
    assert d.objects() == 3
    first = d.get(0, "workbook")
    second = d.get(0, "workbook")
    assert first == second == {"type": "Workbook", "value": 3, "isSpec": True}
    assert d.objects() == 4
    d.ok(method="DEL", name="__del__", caller=3)
    assert d.get(3, "name")["value"] == "Book1.xlsx"  # one reference left
    d.ok(method="DEL", name="__del__", caller=3)
    assert d.objects() == 3
    assert "Unknown object id 3" in d.error(d.send(method="GET", name="name", caller=3))
    # The next arrival is a new object with a new id.
    assert d.get(0, "workbook")["value"] == 4


def test_deleting_roots_and_unknown_ids_changes_nothing(d):
    for caller in (0, 1, 2, 999, "x"):
        d.ok(method="DEL", name="__del__", caller=caller)
    assert d.objects() == 3
    assert d.sim.table.stale_dels == 2
    assert d.get(0, "workbook")["type"] == "Workbook"


def test_arrays_are_plain_data_under_the_snapshot_id(d):
    cell = d.range("A1:B2")
    before = d.objects()
    values = d.get(cell, "values")
    assert [values["id"]] + [row["id"] for row in values["value"]] == [-1, -1, -1]
    assert d.objects() == before  # nothing stored for the read
    for request in ({"method": "GET", "name": "length", "caller": -1},
                    {"method": "GETITEM", "name": "0", "caller": -1}):
        assert "Plain data (id -1)" in d.error(d.send(**request))
    d.ok(method="DEL", name="__del__", caller=-1)
    assert d.sim.table.stale_dels == 0


def release(d, ids):
    return d.handler.handle(json.dumps({"kind": "release", "ids": ids}))


def test_release_frames_drop_one_reference_per_listed_id_and_answer_nothing(d):
    baseline = d.objects()
    book = [d.get(0, "workbook")["value"] for _ in range(3)][0]
    sheets = d.get(book, "worksheets")["value"]
    assert release(d, [book, sheets, book, -1, 0, 999]) == []
    assert d.get(book, "name")["value"] == "Book1.xlsx"  # one of three references left
    assert d.objects() == baseline + 1 and d.sim.table.stale_dels == 1  # only 999 was unknown
    release(d, [book])
    assert d.objects() == baseline


@pytest.mark.parametrize("frame", [{"kind": "release"}, {"kind": "release", "ids": {"1": 2}},
                                   {"kind": "release", "ids": [[1], "x", None, True]}])
def test_malformed_release_frames_change_nothing(d, frame):
    baseline = d.objects()
    d.get(0, "workbook")
    assert d.handler.handle(json.dumps(frame)) == []
    assert d.objects() == baseline + 1 and d.get(0, "workbook")["value"] == 3


def test_workload_returns_to_baseline_after_every_del(d):
    baseline = d.objects()
    held = []

    def track(wire):
        if wire.get("isSpec") or wire.get("id") is not None:
            held.append(wire.get("id", wire["value"]))
        for item in wire.get("value") or [] if wire["type"] == "Array" else []:
            track(item)
        return wire

    book = track(d.get(0, "workbook"))["value"]
    sheets = track(d.get(book, "worksheets"))["value"]
    track(d.get(sheets, "items"))
    for name in ("Sheet1", "Sheet1"):
        function = track(d.get(sheets, "getItem"))["value"]
        sheet = track(d.ok(method="CALL", name="__call__", caller=function,
                           args=[{"arg_type": "PLACED", "value": w(name)}]))["value"]
        function = track(d.get(sheet, "getRange"))["value"]
        rng = track(d.ok(method="CALL", name="__call__", caller=function,
                         args=[{"arg_type": "PLACED", "value": w("A1:C3")}]))["value"]
        track(d.get(rng, "values"))
    assert d.objects() > baseline
    for object_id in held:
        d.ok(method="DEL", name="__del__", caller=object_id)
    assert d.objects() == baseline
    assert d.sim.table.stale_dels == 0


def test_new_connection_starts_a_fresh_table_and_ids_keep_counting(d):
    old = d.get(0, "workbook")["value"]
    d.handler = d.sim.new_session()
    assert d.objects() == 3
    fresh = d.get(0, "workbook")["value"]
    assert fresh > old
    d.ok(method="DEL", name="__del__", caller=old)  # a proxy of the old connection
    assert d.get(fresh, "name")["value"] == "Book1.xlsx"


def test_random_first_ids_stay_exact_in_json():
    ids = {Simulator().table.ref(object()) for _ in range(5)}
    assert all(3 < i < 2**53 for i in ids) and len(ids) > 1


# ---------------------------------------------------------------- worksheets

def test_worksheet_collection(d):
    book = d.get(0, "workbook")["value"]
    sheets = d.get(book, "worksheets")["value"]
    assert d.get(sheets, "count") == w(1)
    added = d.call_ok(sheets, "add", w("Data"))
    assert added["type"] == "Worksheet"
    assert d.get(d.call_ok(sheets, "add")["value"], "name") == w("Sheet2")
    assert d.get(sheets, "count") == w(3)
    items = d.get(sheets, "items")
    assert [d.get(s["value"], "name")["value"] for s in items["value"]] == ["Sheet1", "Data", "Sheet2"]
    assert d.call_ok(sheets, "getItem", w("data"))["value"] == added["value"]  # case-insensitive
    assert "already exists" in d.error(d.call(sheets, "add", w("DATA")))
    assert "does not exist" in d.error(d.call(sheets, "getItem", w("Nope")))
    null = d.call_ok(sheets, "getItemOrNullObject", w("Nope"))["value"]
    assert d.get(null, "isNullObject") == w(True)
    assert d.get(added["value"], "isNullObject") == w(False)
    d.call_ok(added["value"], "activate")
    assert d.call_ok(sheets, "getActiveWorksheet")["value"] == added["value"]
    sheet_id = d.get(added["value"], "id")["value"]
    assert d.call_ok(sheets, "getItem", w(sheet_id))["value"] == added["value"]


def test_worksheet_rename_delete(d):
    sheet = d.sheet()
    d.set(sheet, "name", w("Budget"))
    assert d.get(sheet, "name") == w("Budget")
    for bad in ("", "a" * 32, "x[1]", "what?"):
        assert "Invalid worksheet name" in d.error(d.send(method="SET", name="name", value=w(bad), caller=sheet))
    assert "at least one" in d.error(d.call(sheet, "delete"))
    sheets = d.get(d.get(0, "workbook")["value"], "worksheets")["value"]
    other = d.call_ok(sheets, "add", w("Other"))["value"]
    rng = d.call_ok(other, "getRange", w("A1"))["value"]
    d.call_ok(other, "delete")
    assert "has been deleted" in d.error(d.send(method="GET", name="values", caller=rng))
    assert d.get(sheets, "count") == w(1)


# ---------------------------------------------------------------- ranges

def test_range_geometry(d):
    rng = d.range("B2:D5")
    assert d.get(rng, "address") == w("Sheet1!B2:D5")
    assert (d.get(rng, "rowCount"), d.get(rng, "columnCount")) == (w(4), w(3))
    cell = d.call_ok(rng, "getCell", w(1), w(2))["value"]
    assert d.get(cell, "address") == w("Sheet1!D3")
    moved = d.call_ok(rng, "getOffsetRange", w(1), w(-1))["value"]
    assert d.get(moved, "address") == w("Sheet1!A3:C6")
    assert "outside the worksheet" in d.error(d.call(rng, "getOffsetRange", w(0), w(-2)))
    assert d.get(d.call_ok(rng, "getOffsetRange", rowOffset=w(0), columnOffset=w(1))["value"],
                 "address") == w("Sheet1!C2:E5")
    assert "Wrong arguments" in d.error(d.call(rng, "getCell", w(1)))


@pytest.mark.parametrize("address", ["A0", "ZZZZ1", "Other!A1", "A1:", ""])
def test_malformed_addresses_get_an_error_answer(d, address):
    message = d.error(d.call(d.sheet(), "getRange", w(address)))
    assert "address" in message and repr(address) in message or "another worksheet" in message


def test_values_formulas_and_formats_round_trip(d):
    rng = d.range("A1:B2")
    d.set(rng, "values", grid([[1, "two"], [3.5, True]]))
    assert plain(d.get(rng, "values")) == [[("Int", 1), ("String", "two")], [("Float", 3.5), ("Bool", True)]]
    d.set(rng, "formulas", grid([["=A1+1", 7], [None, "text"]]))
    assert plain(d.get(rng, "formulas")) == [[("String", "=A1+1"), ("Int", 7)], [("String", ""), ("String", "text")]]
    assert plain(d.get(rng, "values"))[0][0] == ("String", "=A1+1")
    d.set(rng, "numberFormat", grid([["0.00", "@"], ["yyyy-mm-dd", "General"]]))
    assert plain(d.get(rng, "numberFormat"))[1][0] == ("String", "yyyy-mm-dd")
    d.set(rng, "values", w(9))  # one value fills the range
    assert {v for row in plain(d.get(rng, "values")) for v in row} == {("Int", 9)}


def test_every_plain_kind_is_stored_as_sent(d):
    rng = d.range("A1:F1")
    row = [{"type": "Int", "value": "123456789012345678901", "isSpec": False},
           {"type": "Float", "value": "-Infinity", "isSpec": False},
           {"type": "Date", "value": "2024-05-01T12:00:00+00:00", "isSpec": False},
           {"type": "Bytes", "value": "AAEC", "isSpec": False},
           {"type": "Bool", "value": False, "isSpec": False},
           {"type": "Null", "value": None, "isSpec": False}]
    d.set(rng, "values", {"type": "Array", "value": [{"type": "Array", "value": row}]})
    # Numbers JSON cannot carry travel as text in their own tag, both ways.
    assert plain(d.get(rng, "values")) == [[("Int", "123456789012345678901"), ("Float", "-Infinity"),
                                             ("Date", "2024-05-01T12:00:00+00:00"), ("Bytes", "AAEC"),
                                             ("Bool", False), ("String", "")]]
    sheet = d.sim.book.sheets[0]
    assert sheet.cells[(0, 0)].value == ("Int", 123456789012345678901)
    assert sheet.cells[(0, 1)].value == ("Float", float("-inf"))
    assert (0, 5) not in sheet.cells  # Null empties the cell


@pytest.mark.parametrize("value, message", [
    (grid([[1, 2]]), "doesn't match the size"),
    (grid([[1, 2], [3]]), "doesn't match the size"),
    (grid([[1, 2], [3, 4], [5, 6]]), "doesn't match the size"),
    ({"type": "Array", "value": [w(1), w(2)]}, "2-D array"),
    (grid([[1, {"type": "Python_Function", "value": "pyfunc_x_1", "isSpec": True}], [3, 4]]), "plain values"),
    (grid([[1, {"type": "Date", "value": "yesterday"}], [3, 4]]), "ISO 8601"),
    (grid([[1, {"type": "Bytes", "value": "!!"}], [3, 4]]), "base64"),
    (grid([[1, {"type": "Int", "value": "12x"}], [3, 4]]), "not an integer"),
])
def test_wrong_values_are_refused_with_a_clear_text(d, value, message):
    rng = d.range("A1:B2")
    d.set(rng, "values", grid([[1, 2], [3, 4]]))
    assert message in d.error(d.send(method="SET", name="values", value=value, caller=rng))
    assert plain(d.get(rng, "values")) == [[("Int", 1), ("Int", 2)], [("Int", 3), ("Int", 4)]]


def test_used_range_and_clear(d):
    sheet = d.sheet()
    assert d.get(d.call_ok(sheet, "getUsedRange")["value"], "address") == w("Sheet1!A1")
    d.set(d.range("C3"), "values", grid([[1]]))
    d.set(d.range("E7"), "values", grid([["x"]]))
    used = d.call_ok(sheet, "getUsedRange")["value"]
    assert d.get(used, "address") == w("Sheet1!C3:E7")
    d.call_ok(used, "clear")
    assert d.get(d.call_ok(sheet, "getUsedRange")["value"], "address") == w("Sheet1!A1")


@pytest.mark.parametrize("body, message", [
    ({"method": "GET", "name": "nope", "caller": 0}, "has no property 'nope'"),
    ({"method": "GET", "name": "__class__", "caller": 0}, "has no property"),
    ({"method": "SET", "name": "address", "value": {"type": "Null"}, "caller": "R"}, "read-only"),
    ({"method": "CALL", "name": "__call__", "args": [], "caller": 0}, "not a function"),
    ({"method": "CALL", "name": "__call__", "args": "x", "caller": 2}, "'args' list"),
    ({"method": "GETITEM", "name": "0", "caller": 0}, "cannot be indexed"),
    ({"method": "FROB", "caller": 0}, "Unknown method"),
    ({"method": "GET", "name": "values", "caller": 12345}, "Unknown object id"),
])
def test_bad_requests_are_answered_not_dropped(d, body, message):
    if body["caller"] == "R":
        body["caller"] = d.range("A1")
    assert message in d.error(d.send(**body))


def test_garbage_frames_are_dropped_and_counted(d):
    for junk in ("not json", "[1, 2]", '{"kind": "wat"}', '{"kind": "request"}', b"\x00"):
        assert d.handler.handle(junk) == []
    assert d.handler.dropped == 5


# ---------------------------------------------------------------- settings and events

def test_get_setting(d):
    result = d.send(method="CALL", name="__call__", caller=2,
                    args=[{"arg_type": "PLACED", "value": w("user.name")}])
    assert result["result"] == w("Ada Lovelace")
    assert "Unknown setting 'nope'" in d.error(d.send(method="CALL", name="__call__", caller=2,
                                                      args=[{"arg_type": "PLACED", "value": w("nope")}]))
    assert "one argument" in d.error(d.send(method="CALL", name="__call__", caller=2, args=[]))


def test_on_changed_fires_after_the_answer(d):
    sheet = d.sheet()
    events = d.get(sheet, "onChanged")["value"]
    handler = {"type": "Python_Function", "value": "pyfunc_abcd1234_1", "isSpec": True}
    registration = d.call_ok(events, "add", handler)
    assert registration["type"] == "EventHandlerResult"
    rng = d.range("B2:C2")
    d.set(rng, "values", grid([[1, 2]]))
    assert len(d.extra) == 1
    callback = d.extra[0]
    assert callback["kind"] == "callback" and callback["callableId"] == "pyfunc_abcd1234_1"
    (args,) = callback["args"]
    assert args["type"] == "Dict" and type(args["id"]) is int
    assert args["value"]["address"] == w("B2:C2")
    assert args["value"]["worksheetId"] == d.get(sheet, "id")
    d.set(rng, "numberFormat", grid([["0", "0"]]))
    assert d.extra == []  # formats are not a data change
    other = d.call_ok(d.get(d.get(0, "workbook")["value"], "worksheets")["value"], "add")["value"]
    d.set(d.call_ok(other, "getRange", w("A1"))["value"], "values", w(1))
    assert d.extra == []  # another sheet's change
    d.call_ok(registration["value"], "remove")
    d.set(rng, "values", grid([[3, 4]]))
    assert d.extra == []
    assert "Python function" in d.error(d.call(events, "add", w("not a function")))


def test_callback_results_are_recorded_for_diagnostics(d):
    d.handler.handle(json.dumps({"kind": "callback_result", "callId": "call-1", "ok": True, "result": w(1)}))
    d.handler.handle(json.dumps({"kind": "callback_result", "callId": "call-2", "ok": False,
                                 "error": {"message": "ValueError: boom"}}))
    (answer,) = [json.loads(t) for t in d.handler.handle(json.dumps({"kind": "diag", "diagId": "q1"}))]
    assert answer["kind"] == "diag_result" and answer["diagId"] == "q1"
    assert answer["callbacks"] == {"ok": 1, "failed": 1}
    assert answer["callbackLog"][1] == {"callId": "call-2", "ok": False, "error": "ValueError: boom"}
    assert answer["objects"] == 3
