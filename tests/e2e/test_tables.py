"""The tables helpers: frames through Excel and back, plain data from proxies."""

import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from pandas.testing import assert_frame_equal

import com_like
from velmara_master.python_server.velmara.tables import read_frame, to_plain, write_frame

MIXED = pd.DataFrame({
    "date": [pd.Timestamp("2024-01-01"), pd.NaT, pd.Timestamp("2024-03-01 12:30")],
    "units": [12, 7, 19],
    "price": [9.99, np.nan, 8.75],
    "name": ["north", None, "south"],
    "open": [True, False, True],
})


def requests(bridge):
    return bridge.kernel.stats()["requests"]


@pytest.mark.parametrize("anchor, address", [(None, "A1:E4"), ("C3", "C3:G6"), ("B2:Z40", "B2:F5")])
def test_a_mixed_frame_goes_out_in_one_set_and_comes_back_unchanged(bridge, sheet, anchor, address):
    target = sheet if anchor is None else sheet.getRange(anchor)
    # Old contents under the missing cells must go, not survive the write.
    sheet.getRange(address).values = [["old"] * 5] * 4
    before = requests(bridge)
    written = write_frame(target, MIXED)
    assert requests(bridge) - before == 3  # name the range (GET + CALL), SET its values
    before = requests(bridge)
    back = read_frame(written)
    assert requests(bridge) - before == 1
    assert_frame_equal(back, MIXED)
    assert written.address == f"{sheet.name}!{address}"


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
