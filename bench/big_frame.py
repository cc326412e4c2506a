"""A frame as large as a worksheet, through the JavaScript add-in and back.

Writes a frame of 1,048,576 rows (every row Excel has; no header row) by 5
columns (int, float with gaps, text Excel would convert, datetime, bool)
with `write_frame`, reads it back with `read_frame`, checks that the two
are equal and prints the time of each direction and per 100,000 cells.
It is a one-off check, not a pyperf benchmark: one round trip takes
minutes, and `scripts/bench` leaves it out (it is not a bench_*.py).

    .venv/bin/python bench/big_frame.py [ROWS]

The far end is the add-in's executor over the Office.js double in Node,
on the loopback WebSocket; the figures include the double's own work.
"""

from __future__ import annotations

import sys
import time
from typing import Any

import numpy as np
import pandas as pd  # type: ignore[import-untyped]
from pandas.testing import assert_frame_equal  # type: ignore[import-untyped]

import com_like
from velmara_master.python_server.velmara.kernel import Kernel
from velmara_master.python_server.velmara.kernel.farend import start_far_end, wait_for_far_end
from velmara_master.python_server.velmara.tables import read_frame, write_frame

ROWS = 1_048_576


def make_frame(rows: int) -> Any:
    n = np.arange(rows, dtype=np.int64)
    price = (n % 1000) / 8.0
    price[n % 97 == 0] = np.nan
    return pd.DataFrame({
        0: n * 3,
        1: price,
        2: pd.Series([f"{i:07d}" for i in range(rows)], dtype=object).astype(str),
        3: pd.date_range("2024-01-01", periods=rows, freq="min"),
        4: n % 3 == 0,
    })


def main() -> None:
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else ROWS
    frame = make_frame(rows)
    cells = frame.size
    kernel = Kernel(workers=2).start()
    far_end = start_far_end(kernel)
    try:
        wait_for_far_end(kernel, far_end, 60)
        sheet = com_like.Context.workbook.worksheets.add("Big")
        t0 = time.perf_counter()
        written = write_frame(sheet, frame, header=False)
        t1 = time.perf_counter()
        back = read_frame(written, header=False)
        t2 = time.perf_counter()
        assert_frame_equal(back, frame)
        requests = kernel.stats()["requests"]
    finally:
        far_end.stop()
        kernel.close()
    per = 100_000 / cells
    print(f"{rows:,} x {frame.shape[1]} = {cells:,} cells, equal after the round trip ({requests} requests)")
    print(f"write_frame {t1 - t0:6.1f} s   {(t1 - t0) * per:5.2f} s per 100k cells")
    print(f"read_frame  {t2 - t1:6.1f} s   {(t2 - t1) * per:5.2f} s per 100k cells")


if __name__ == "__main__":
    main()
