"""The tables helpers: frames through Excel and back, plain data from proxies."""

import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from pandas.testing import assert_frame_equal

import com_like
from velmara_master.python_server.velmara.tables import count, get, items, read_frame, to_plain, write_frame

# What a frame holds that Excel would change if it were written as plain
# values: text that reads as a formula, a number, a boolean or a date.
KEPT_TEXT = ["00123", "+44 20 7946 0000", "-", "=A1", "TRUE", "1/2", "12345678901234567890", None]
MIXED = pd.DataFrame({
    "units": [12, 7, 19, 0, -3, 2**40, 5, 6],
    "price": [9.99, np.nan, 8.75, 1e-7, -2.5, 1e15 + 0.5, np.nan, 0.1],
    "open": [True, False, True, True, False, False, True, False],
    "text": KEPT_TEXT,
    "when": pd.to_datetime(["2024-01-01 12:30", None, "1999-12-31 23:59:59.250", "2024-02-29",
                            "1900-03-01", "2100-01-01 00:00:01", "2024-06-30 06:00", None], format="ISO8601"),
    "day": pd.date_range("2024-01-01", periods=8, freq="D"),
    "utc": pd.to_datetime(["2024-03-31 01:30", "2024-10-27 00:59", None, "2024-01-01", "2024-01-01 23:00",
                           "2030-05-05 05:05:05", None, "2000-01-01"], format="ISO8601", utc=True),
})


def requests(bridge):
    return bridge.kernel.stats()["requests"]


@pytest.mark.parametrize("anchor, address", [(None, "A1:G9"), ("C3", "C3:I11"), ("B2:Z40", "B2:H10")])
def test_a_frame_comes_back_as_written(bridge, sheet, anchor, address):
    target = sheet if anchor is None else sheet.getRange(anchor)
    # Old contents under the missing cells must go, not survive the write.
    sheet.getRange(address).values = [["old"] * 7] * 9
    before = requests(bridge)
    written = write_frame(target, MIXED)
    assert requests(bridge) - before == 4  # name the range (GET + CALL), SET its formats, SET its values
    assert written.address == f"{sheet.name}!{address}"
    before = requests(bridge)
    back = read_frame(written)
    assert requests(bridge) - before == 3  # its address, values and formats
    assert_frame_equal(back, MIXED)
    # In Excel the text cells are Text and the dates show as dates.
    formats = dict(zip(MIXED.columns, to_plain(written.numberFormat)[1], strict=True))
    assert formats["text"] == "@"
    assert formats["day"] == "yyyy-mm-dd" and formats["utc"].endswith('"UTC"')


def test_cells_formatted_as_dates_by_hand_read_as_datetimes(bridge, sheet):
    rng = sheet.getRange("A1:D3")
    rng.values = [["when", "day", "amount", "plain"], [45292.75, 45351, 45292.75, 3], [45293.5, "", 1.5, ""]]
    rng.numberFormat = [["General"] * 4, ["dd/mm/yyyy hh:mm", '[$-en-GB]d mmm yyyy;@', "#,##0.00", "General"],
                        ["m/d/yy h:mm AM/PM", "d-mmm", '0.00 "days"', "General"]]
    back = read_frame(rng)
    assert back["when"].tolist() == [pd.Timestamp("2024-01-01 18:00"), pd.Timestamp("2024-01-02 12:00")]
    assert back["day"].tolist()[0] == pd.Timestamp("2024-02-29") and back["day"].isna().tolist() == [False, True]
    assert back["amount"].tolist() == [45292.75, 1.5]  # a literal with d, a, y inside quotes is no date
    assert back["plain"].dtype == np.float64 and back["plain"].isna().tolist() == [False, True]


@pytest.mark.parametrize("whole, rows", [("B:Z", 4), ("A:XFD", 4), ("2:4", 2)])
def test_whole_columns_and_rows_read_as_far_as_the_sheet_is_used(bridge, sheet, whole, rows):
    frame = MIXED.iloc[:4, :3]
    write_frame(sheet.getRange("B2"), frame)
    assert_frame_equal(read_frame(sheet.getRange(whole)), frame.iloc[:rows])


def test_a_frame_larger_than_a_request_goes_in_chunks(bridge, sheet, capsys):
    rows = 2_000
    frame = pd.DataFrame({
        "n": np.arange(rows, dtype=np.int64) * 7919,
        "code": [f"{i:05d}" for i in range(rows)],
        "at": pd.date_range("2024-01-01", periods=rows, freq="37min"),
    })
    corner = sheet.getRange("B2")
    before = requests(bridge)
    written = write_frame(corner, frame, chunk_rows=250, progress=True)
    # 2,001 rows in 9 chunks: name the range (2), its address, worksheet and
    # getRange (3), then per chunk a getRange CALL and two SETs.
    assert requests(bridge) - before == 2 + 3 + 9 * 3
    assert "write_frame" in capsys.readouterr().err
    before = requests(bridge)
    back = read_frame(written, chunk_rows=250, progress=False)
    assert requests(bridge) - before == 1 + 2 + 9 * 3
    assert capsys.readouterr().err == ""
    assert_frame_equal(back, frame)


def test_a_read_larger_than_excel_answers_is_asked_again_in_halves(bridge, sheet):
    # About 5.5 MB of text: over Excel on the web's 5 MB response payload,
    # though the read's estimate of a cell expects far less.
    frame = pd.DataFrame({"note": [f"{i:04d}" + "x" * 4_996 for i in range(1_100)]})
    written = write_frame(sheet, frame)
    assert_frame_equal(read_frame(written), frame)


def test_collections_iterate_count_and_look_up(bridge, sheet):
    sheets = com_like.Context.workbook.worksheets
    before = requests(bridge)
    listed = items(sheets)
    assert requests(bridge) - before == 1
    assert type(listed) is list and sheet.name in [ws.name for ws in listed]
    assert count(sheets) == len(listed)
    assert get(sheets, sheet.name).name == sheet.name
    before = requests(bridge)
    assert get(sheets, "No such sheet") is None
    assert get(sheets, "No such sheet", default=sheet) is sheet
    assert requests(bridge) - before == 6  # getItemOrNullObject (GET, CALL) and isNullObject, twice
    # What the helpers are for: a plain `for` over the proxy never ends cleanly.
    with pytest.raises(RuntimeError):
        for _ in sheets:
            pass


def test_index_serial_dates_and_headerless_reads(bridge, sheet):
    frame = pd.DataFrame({"serial": [45292.5, 45351.0]}, index=pd.Index(["x", "y"], name="key"))
    write_frame(sheet, frame, index=True)
    back = read_frame(sheet, dates=["serial"])  # a sheet reads as its used range
    assert back["key"].tolist() == ["x", "y"]
    assert back["serial"].tolist() == [pd.Timestamp("2024-01-01 12:00"), pd.Timestamp("2024-02-29")]
    headerless = read_frame(sheet.getRange("A2:B3"), header=False)
    assert headerless.columns.tolist() == [0, 1] and headerless[1].tolist() == [45292.5, 45351.0]


def test_to_plain_copies_proxy_contents_without_a_request(bridge, sheet):
    sheet.getRange("A1:B2").values = [[1, "two"], [3.0, ""]]
    values = sheet.getRange("A1:B2").values
    inner = com_like.OfficeJsDict(7)
    inner.update(cells=values, sheet=sheet)
    before = requests(bridge)
    plain = to_plain([inner])
    assert requests(bridge) == before
    assert plain == [{"cells": [[1, "two"], [3.0, ""]], "sheet": sheet}]
    assert type(plain[0]) is dict and type(plain[0]["cells"]) is list
    assert all(type(row) is list for row in plain[0]["cells"])
    assert plain[0]["sheet"] is sheet  # live objects stay live
    assert pd.DataFrame(plain[0]["cells"]).shape == (2, 2)


def test_the_package_passes_strict_mypy():
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
                             "-p", "velmara_master.python_server.velmara.tables"],
                            capture_output=True, text=True, env=env, cwd="/", timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
