"""What user habits cost over the WebSocket kernel and the JavaScript add-in in Node.

Each measurement does one thing the way a new user writes it first; its
floor does the same thing the way docs/performance.md recommends, so the
ratio is what the habit costs. The two habits are round trips, not bridge
code, and carry no goal; the two frame measurements guard what the tables
helpers add to the one request they cannot avoid.

  habits.cell.chained         Context.workbook.worksheets.getItem("Sheet1").getRange("A1").values = [[1]]
    .floor                    rng.values = [[1]] with rng kept in a variable
  habits.block.cell_by_cell   a 10 x 10 block written cell by cell (sheet kept)
    .floor                    the same block in one SET of values
  habits.frame.write          write_frame(sheet, 100 x 4 frame): name the range, SET formats, SET values
    .floor                    the same cells and formats, already converted, in two SETs of a kept range
  habits.frame.read           read_frame(rng) of the same 101 x 4 cells
    .floor                    rng.address, rng.values and rng.numberFormat alone (the three GETs)

Run:  scripts/bench --fast bench/bench_habits.py
"""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import Any

import pandas as pd  # type: ignore[import-untyped]
import pyperf
from bench_websocket import bridge

from com_like import Context
from velmara_master.python_server.velmara.tables import read_frame, write_frame

FRAME = pd.DataFrame({
    "day": pd.date_range("2024-01-01", periods=100, freq="D"),
    "units": range(100),
    "price": [i * 0.25 for i in range(100)],
    "item": [f"item {i}" for i in range(100)],
})
# What a measurement repeats; it is built once per sheet, outside the timing.
Fixture = Callable[[], None]

BLOCK = [[10 * r + c for c in range(10)] for r in range(10)]
ADDRESSES = [[f"{chr(65 + c)}{r + 1}" for c in range(10)] for r in range(10)]


def timed(body: Callable[[Any], Fixture]) -> Callable[[int], float]:
    def run(loops: int) -> float:
        state = bridge()
        sheet = state["range"].worksheet
        fixture = body(sheet)
        fixture()  # warm the path and the sheet
        t0 = time.perf_counter()
        for _ in range(loops):
            fixture()
        return time.perf_counter() - t0
    return run


def cell_chained(sheet: Any) -> Fixture:
    def go() -> None:
        Context.workbook.worksheets.getItem("Sheet1").getRange("A1").values = [[1]]
    return go


def cell_kept(sheet: Any) -> Fixture:
    rng = sheet.getRange("A1")

    def go() -> None:
        rng.values = [[1]]
    return go


def block_cell_by_cell(sheet: Any) -> Fixture:
    def go() -> None:
        for r, row in enumerate(BLOCK):
            for c, value in enumerate(row):
                sheet.getRange(ADDRESSES[r][c]).values = [[value]]
    return go


def block_at_once(sheet: Any) -> Fixture:
    rng = sheet.getRange("A1:J10")

    def go() -> None:
        rng.values = BLOCK
    return go


def frame_write(sheet: Any) -> Fixture:
    def go() -> None:
        write_frame(sheet, FRAME)
    return go


def frame_set(sheet: Any) -> Fixture:
    rng = sheet.getRange("A1:D101")
    grid = [FRAME.columns.tolist(), *FRAME.astype(object).to_numpy().tolist()]
    formats = [["@"] * 4, *[["yyyy-mm-dd", "0", "General", "@"]] * 100]

    def go() -> None:
        rng.numberFormat = formats
        rng.values = grid
    return go


def frame_read(sheet: Any) -> Fixture:
    rng = write_frame(sheet, FRAME)

    def go() -> None:
        read_frame(rng)
    return go


def frame_get(sheet: Any) -> Fixture:
    rng = write_frame(sheet, FRAME)

    def go() -> None:
        rng.address
        rng.values
        rng.numberFormat
    return go


def main() -> None:
    runner = pyperf.Runner(processes=3, values=3, warmups=1)
    runner.metadata["description"] = "user habits over WebSocket: the first way against the recommended one"
    for name, body, floor, metadata in (
        ("habits.cell.chained", cell_chained, cell_kept, {"note": "7 requests against 1"}),
        ("habits.block.cell_by_cell", block_cell_by_cell, block_at_once, {"note": "300 requests against 1"}),
        ("habits.frame.write", frame_write, frame_set,
         {"note": "4 requests and the conversion against 2 requests", "goal": 3.0}),
        ("habits.frame.read", frame_read, frame_get,
         {"note": "3 requests and the DataFrame against 3 requests", "goal": 1.5}),
    ):
        runner.bench_time_func(name, timed(body), metadata=metadata)
        runner.bench_time_func(name + ".floor", timed(floor))


if __name__ == "__main__":
    main()
