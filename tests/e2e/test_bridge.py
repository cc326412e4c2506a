"""The bridge end to end: proxies over the WebSocket kernel and the JavaScript add-in in Node."""

import concurrent.futures
import datetime as dt
import gc
import math
import os
import signal
import threading
import time

import numpy as np
import pandas as pd
import pytest

import com_like
from com_like import Context, GetSetting, OfficeJsObject
from velmara_master.python_server.velmara.kernel import UnrepresentableValue

from .conftest import error_code


def rows(array):
    return [list(row) for row in array]


def test_proxies_chain_from_context(bridge):
    workbook = Context.workbook
    assert isinstance(workbook, OfficeJsObject) and workbook._internal_typeName == "Workbook"
    rng = workbook.worksheets.getItem("Sheet1").getRange("B2:C3")
    assert rng._internal_typeName == "Range"
    assert (rng.address, rng.rowCount, rng.columnCount) == ("Sheet1!B2:C3", 2, 2)
    assert rng.getCell(1, 1).address == "Sheet1!C3"
    assert rng.getOffsetRange(1, 0).worksheet.name == "Sheet1"
    sheets = Context.workbook.worksheets
    assert sheets.getCount() >= 1
    # Office.js's WorksheetCollection has getCount() and no `count`.
    with pytest.raises(RuntimeError, match="WorksheetCollection has no property 'count'"):
        sheets.count
    names = [ws.name for ws in Context.workbook.worksheets.items]
    assert "Sheet1" in names


# Excel's errors reach the caller with the Office.js error code first (the
# rest is Excel's localized message); the add-in words its own refusals.
# A lookup is answered at once; its failure reaches the first use, naming it.
@pytest.mark.parametrize("call, code, prefix", [
    (lambda: Context.workbook.worksheets.getItem("No such sheet").name, "ItemNotFound",
     "getItem('No such sheet'): ItemNotFound: "),
    (lambda: Context.workbook.worksheets.getItem("Sheet1").getRange("A1:B2:C").address, "InvalidArgument",
     "getRange('A1:B2:C'): InvalidArgument: "),
    (lambda: Context.workbook.worksheets.add("Sheet1").name, "ItemAlreadyExists", "ItemAlreadyExists: "),
])
def test_excels_errors_reach_the_caller_by_code(bridge, call, code, prefix):
    with pytest.raises(RuntimeError) as info:
        call()
    assert error_code(info.value) == code, str(info.value)
    assert str(info.value).startswith(prefix), str(info.value)


@pytest.mark.parametrize("call, message", [
    (lambda: Context.workbook.nosuch, "Workbook has no property 'nosuch'"),
    (lambda: GetSetting("no.such.setting"), "Unknown setting 'no.such.setting'"),
])
def test_the_addins_own_refusals_reach_the_caller(bridge, call, message):
    with pytest.raises(RuntimeError, match=message):
        call()


def test_wrong_shape_is_refused_and_the_range_keeps_its_values(sheet):
    rng = sheet.getRange("A1:B2")
    rng.values = [[1, 2], [3, 4]]
    with pytest.raises(RuntimeError, match="doesn't match the size"):
        rng.values = [[1, 2, 3]]
    assert rows(rng.values) == [[1, 2], [3, 4]]


AWARE = dt.datetime(2024, 5, 1, 14, 0, tzinfo=dt.timezone(dt.timedelta(hours=2)))
UNIX_EPOCH = dt.datetime(1970, 1, 1)
SAME = object()


def serial(when):
    """Excel's serial number of a date (UTC wall-clock): what an Excel cell keeps of it."""
    if when.tzinfo is not None:
        when = when.astimezone(dt.UTC).replace(tzinfo=None)
    # Milliseconds since 1970 over a day's, plus 1970's serial: the add-in's arithmetic.
    days = ((when - UNIX_EPOCH) // dt.timedelta(milliseconds=1)) / 86_400_000 + 25569
    return int(days) if days.is_integer() else days


# (sent, read back through Office.js). Excel keeps numbers as doubles and
# dates as serial numbers, and has no bytes: the add-in writes a date's
# serial number and bytes as base64.
KINDS = [
    (None, ""),  # an empty cell reads as ""
    (True, SAME),
    (False, SAME),
    (7, SAME),
    (-(2**60), float(-(2**60))),
    (2**53 + 1, float(2**53)),
    (2.5, SAME),
    ("text with ünïcode", SAME),
    ("", SAME),
    (dt.datetime(2024, 5, 1, 14, 30), serial(dt.datetime(2024, 5, 1, 14, 30))),
    (AWARE, serial(AWARE)),
    (dt.date(2024, 5, 1), serial(dt.datetime(2024, 5, 1))),
    (pd.Timestamp("2024-02-29 08:15"), serial(dt.datetime(2024, 2, 29, 8, 15))),
    (b"\x00\x01\xffbytes", "AAH/Ynl0ZXM="),
    (np.float64(0.1), 0.1),
    (np.bool_(True), True),
]


def test_every_wire_kind_round_trips_through_a_range(bridge, sheet):
    rng = sheet.getRange(f"A1:A{len(KINDS)}")
    rng.values = [[value] for value, _ in KINDS]
    back = [row[0] for row in rng.values]
    for (sent, expected), got in zip(KINDS, back, strict=True):
        expected = sent if expected is SAME else expected
        assert type(got) is type(expected) and got == expected, (sent, got)


@pytest.mark.parametrize("value", [math.inf, -math.inf, math.nan])
def test_non_finite_numbers(bridge, sheet, value):
    cell = sheet.getRange("B1")
    cell.values = [["before"]]
    # Office.js would turn them into null, which leaves a cell as it was:
    # the add-in refuses them instead of reporting a write that did nothing.
    with pytest.raises(RuntimeError, match="cannot hold"):
        cell.values = [[value]]
    assert cell.values[0][0] == "before"


def test_a_dataframe_goes_in_as_header_and_rows(bridge, sheet):
    frame = pd.DataFrame({"day": pd.to_datetime(["2024-01-01", "2024-01-02"]), "qty": [3, 4], "price": [1.5, 2.25]})
    target = sheet.getRange("A1:C3")
    target.values = frame
    got = rows(target.values)
    assert got[0] == ["day", "qty", "price"]
    assert got[1] == [serial(dt.datetime(2024, 1, 1)), 3, 1.5]
    assert rows(sheet.getUsedRange().values) == got


@pytest.mark.parametrize("value, problem", [
    ({1: "one"}, "key 1 of type int"),
    ("report_\udcff.csv", "lone surrogate U\\+DCFF at index 7"),  # what os.listdir gives
])
def test_values_json_cannot_carry_are_refused_before_sending(bridge, sheet, value, problem):
    rng = sheet.getRange("A1")
    rng.values = [["before"]]
    sent, connections = bridge.kernel.stats()["requests"], bridge.kernel.connection_count
    with pytest.raises(UnrepresentableValue, match=problem):
        rng.values = [[value]]
    assert bridge.kernel.stats()["requests"] == sent
    assert rng.values[0][0] == "before"
    assert bridge.kernel.connection_count == connections


def test_a_read_that_cannot_fit_into_one_frame_is_refused_by_the_addin(bridge, sheet):
    before = bridge.objects()
    with pytest.raises(RuntimeError, match=r"too large to send \(\d+ characters; the limit is 8388608\)"):
        sheet.getRange("A1:T10000").values  # 200k cells: about 9 M characters
    assert bridge.objects_settled(before) == before
    assert sheet.getRange("A1:T100").values[99][19] == ""


def test_formulas_and_number_formats(sheet):
    rng = sheet.getRange("A1:B1")
    rng.formulas = [["=1+1", 5]]
    assert rows(rng.formulas) == [["=1+1", 5]]
    rng.numberFormat = [["0.00%", "yyyy-mm-dd"]]
    assert rows(rng.numberFormat) == [["0.00%", "yyyy-mm-dd"]]
    rng.clear()
    assert rows(rng.values) == [["", ""]] and rows(rng.numberFormat) == [["General", "General"]]


def test_get_setting(bridge):
    assert GetSetting("user.name") == "Ada Lovelace"
    assert GetSetting("calc.iterations") == 100
    assert GetSetting("feature.preview") is False


def test_callbacks_fire_and_may_use_proxies(bridge, sheet):
    seen = []
    done = threading.Event()

    def on_changed(event):
        # Runs on the kernel's callback pool; reaching back through proxies
        # needs the listener to keep serving meanwhile.
        ws = Context.workbook.worksheets.getItem(event.worksheetId)
        seen.append((event.address, ws.name, rows(ws.getRange(event.address).values),
                     threading.current_thread().name))
        done.set()
        return "handled"

    registration = sheet.onChanged.add(on_changed)
    sheet.getRange("B2:C2").values = [[10, 20]]
    assert done.wait(60)
    assert seen == [("B2:C2", sheet.name, [[10, 20]], seen[0][3])]
    assert seen[0][3].startswith("velmara-callback")
    handled = {"type": "String", "value": "handled", "isSpec": False}
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        if any(e.get("result") == handled for e in bridge.kernel.diagnostics()["callbackLog"]):
            break
    else:
        pytest.fail("the callback's result never reached the add-in")
    registration.remove()


def test_a_failing_callback_reports_its_error_to_the_addin(bridge, sheet):
    def broken(event):
        raise ValueError("no thanks")

    sheet.onChanged.add(broken)
    sheet.getRange("A1").values = [[1]]
    deadline = time.monotonic() + 5
    entry = None
    while time.monotonic() < deadline and entry is None:
        entry = next((e for e in reversed(bridge.kernel.diagnostics()["callbackLog"]) if not e["ok"]), None)
    assert entry is not None and entry["error"] == "ValueError: no thanks"


def test_eight_threads_at_once(sheet):
    barrier = threading.Barrier(8)

    def work(n):
        barrier.wait()
        rng = sheet.getRange(f"A{n + 1}:C{n + 1}")
        for i in range(15):
            rng.values = [[n, i, f"t{n}"]]
            assert rows(rng.values) == [[n, i, f"t{n}"]]
        return rng.address

    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        addresses = list(pool.map(work, range(8)))
    assert addresses == [f"{sheet.name}!A{n + 1}:C{n + 1}" for n in range(8)]
    assert rows(sheet.getRange("A1:A8").values) == [[n] for n in range(8)]


def test_the_object_table_returns_to_its_baseline(bridge, sheet):
    baseline = bridge.objects()
    # Proxies of an earlier connection (or of the other far end's session)
    # release ids this add-in never knew; only the workload's count here.
    stale = bridge.kernel.diagnostics()["staleDels"]

    def workload():
        rng = sheet.getRange("A1:D5")
        rng.values = [[r * c for c in range(4)] for r in range(5)]
        for row in rng.values:
            assert len(row) == 4
        cells = [rng.getCell(r, 0) for r in range(5)]
        assert [c.values[0][0] for c in cells] == [0] * 5
        assert len(Context.workbook.worksheets.items) >= 2
        sheet.onChanged.add(lambda event: None)
        rng.getOffsetRange(1, 1).clear()

    workload()
    assert bridge.objects_settled(baseline) == baseline
    assert bridge.kernel.diagnostics()["staleDels"] == stale


def test_disconnect_while_calls_wait_then_reconnect(bridge, sheet):
    sheet.getRange("A1").values = [["kept"]]
    name = sheet.name
    connections = bridge.kernel.connection_count
    sent = threading.Semaphore(0)

    def counting(envelope, forward=bridge.kernel._handler):
        forward(envelope)  # the waiter is registered before the handler runs
        if envelope["method"] != "DEL":
            sent.release()

    com_like.messaging.set_send_handler(counting)
    os.kill(bridge.addin.pid, signal.SIGSTOP)  # the add-in stops answering
    try:
        with concurrent.futures.ThreadPoolExecutor(3) as pool:
            waiting = [pool.submit(lambda: Context.workbook.name) for _ in range(3)]
            assert all(sent.acquire(timeout=60) for _ in waiting)
            assert len(com_like.messaging.waiters) == 3
            bridge.kernel.disconnect()
            for future in waiting:
                with pytest.raises(concurrent.futures.CancelledError):
                    future.result(60)
    finally:
        os.kill(bridge.addin.pid, signal.SIGCONT)
    bridge.kernel.wait_connected(60, count=connections + 1)
    with pytest.raises(RuntimeError, match="Excel Object used after messaging context was stopped"):
        sheet.name
    # Context and Excel belong to the new epoch; the workbook's data lived on.
    again = Context.workbook.worksheets.getItem(name)
    assert again.getRange("A1").values[0][0] == "kept"
    again.delete()


def test_a_misbehaving_addin_cannot_stop_the_kernel():
    """A raw client plays the add-in: garbage first, then proper answers."""
    import json

    from websockets.sync.client import connect

    from velmara_master.python_server.velmara.kernel import Kernel

    with Kernel() as kernel, connect(kernel.url, compression=None, open_timeout=60) as ws:
        kernel.wait_connected(60)
        for junk in ["{", "[]",
                     '{"kind": "excel_response"}', '{"kind": "excel_response", "requestId": "x", "ok": "yes"}',
                     '{"kind": "callback"}', '{"kind": 1}', "\u0000" * 10, b"\x89PNG"]:
            ws.send(junk)
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            future = pool.submit(lambda: Context.workbook.name)
            request = json.loads(ws.recv(timeout=60))
            assert request["method"] == "GET" and request["name"] == "workbook"
            ws.send(json.dumps({"kind": "excel_response", "requestId": request["requestId"], "ok": True,
                                "result": {"type": "Workbook", "value": 70, "isSpec": True}}))
            request = json.loads(ws.recv(timeout=60))
            assert request == {"method": "GET", "name": "name", "caller": 70,
                               "requestId": request["requestId"], "kind": "request"}
            ws.send(json.dumps({"kind": "excel_response", "requestId": request["requestId"], "ok": "maybe"}))
            with pytest.raises(RuntimeError, match="Malformed response from the Excel add-in"):
                future.result(60)
        gc.collect()
        assert json.loads(ws.recv(timeout=60)) == {"kind": "release", "ids": [70]}
        dropped = kernel.stats()["dropped"]
        assert sum(dropped.values()) == 9 and dropped["binary"] == 1 and dropped["malformed_json"] == 2


def test_a_worksheets_life_through_the_bridge(bridge):
    """What a script does with sheets, end to end; the double's own tests hold the object model's rules."""
    sheets = Context.workbook.worksheets
    name = f"Data_{os.urandom(3).hex()}"
    ws = sheets.add(name)
    try:
        assert sheets.getItem(name.upper()).name == name  # names compare without case
        assert sheets.getItemOrNullObject("No such sheet").isNullObject is True
        assert ws.isNullObject is False
        ws.name = name = f"Budget_{os.urandom(3).hex()}"
        assert sheets.getItem(name).name == name
        ws.getRange("C3").values = [[1]]
        ws.getRange("E7").values = [["x"]]
        assert ws.getUsedRange().address == f"{name}!C3:E7"
        ws.getUsedRange().clear()
        assert ws.getUsedRange().address == f"{name}!A1"
        with pytest.raises(RuntimeError) as info:
            ws.name = "x[1]"
        assert error_code(info.value) == "InvalidArgument"
        kept = ws.getRange("A1")
    finally:
        ws.delete()
    # A range of a deleted sheet, and the sheet by name, are gone.
    for gone in (lambda: kept.values, lambda: sheets.getItem(name).name):
        with pytest.raises(RuntimeError) as info:
            gone()
        assert error_code(info.value) == "ItemNotFound", str(info.value)
