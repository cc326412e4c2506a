"""What a user waits for: the kernel, the loopback WebSocket and the JavaScript add-in in Node, end to end.

  end_to_end.dataframe
      write a 10,000 x 10 mixed DataFrame (ints, floats, dates, strings) into
      Sheet1, read the range back, drop the result. Floor: encoding and
      decoding the same two big frames once with orjson, plus one bare
      WebSocket round trip of the same size.
  end_to_end.chained_read
      Context.workbook.worksheets.getItem("Sheet1").getRange("A1").values.
      Floor: 7 bare WebSocket round trips of a request's size.
  end_to_end.cell_reads
      1,000 single-cell reads through one kept Range. Floor: 1,000 bare
      round trips.

The bare round trips go from this process to `ws_echo.py` (the same library
and settings as the add-in) over the same loopback, with a blocking client
and no threads: the least a transport can cost.

    .venv/bin/python bench/bench_end_to_end.py --fast [-o results.json]
"""

from __future__ import annotations

import atexit
import contextlib
import datetime as dt
import gc
import os
import subprocess
import sys
import time
from collections.abc import Callable
from typing import Any

import orjson
import pandas as pd  # type: ignore[import-untyped]
import pyperf

import com_like

ROWS, COLS = 10_000, 10
CELL_READS = 1_000
HERE = os.path.dirname(os.path.abspath(__file__))
_state: dict[str, Any] = {}


def make_frame() -> pd.DataFrame:
    start = dt.datetime(2024, 1, 1)
    columns: dict[str, Any] = {}
    for c in range(COLS):
        k = c % 4
        if k == 0:
            columns[f"c{c}"] = [r * (c + 1) for r in range(ROWS)]
        elif k == 1:
            columns[f"c{c}"] = [r + c / 7 for r in range(ROWS)]
        elif k == 2:
            columns[f"c{c}"] = [f"s{r}-{c}" for r in range(ROWS)]
        else:
            columns[f"c{c}"] = pd.to_datetime([start + dt.timedelta(minutes=r) for r in range(ROWS)])
    return pd.DataFrame(columns)


def _stop_all() -> None:
    kernel = _state.get("kernel")
    if kernel is not None:
        kernel.close()
    if "addin" in _state:
        _state["addin"].stop()
    echo = _state.get("echo")
    if echo is not None and echo.poll() is None:
        echo.stdin.close()
        echo.terminate()
        echo.wait(5)
    if "stack" in _state:
        _state["stack"].close()


def state() -> dict[str, Any]:
    """Kernel, the add-in in Node and echo server for this process, started on first use."""
    if _state:
        return _state
    from websockets.sync.client import connect

    from velmara_master.python_server.velmara.kernel import Kernel
    from velmara_master.python_server.velmara.kernel.farend import start_far_end, wait_for_far_end

    atexit.register(_stop_all)
    _state["stack"] = contextlib.ExitStack()
    kernel = _state["kernel"] = Kernel(workers=2).start()
    _state["addin"] = start_far_end(kernel, reconnect=False)
    echo = _state["echo"] = subprocess.Popen([sys.executable, os.path.join(HERE, "ws_echo.py")],
                                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert echo.stdout is not None
    port = int(echo.stdout.readline())
    _state["client"] = _state["stack"].enter_context(
        connect(f"ws://127.0.0.1:{port}", compression=None, max_size=None))
    wait_for_far_end(kernel, _state["addin"], 120)  # Node starts slowly on a loaded machine
    frame = _state["frame"] = make_frame()
    sheet = com_like.Context.workbook.worksheets.getItem("Sheet1")
    big = _state["big"] = sheet.getRange(f"A1:J{ROWS + 1}")  # the header row, then the data
    _state["cell"] = sheet.getRange("A1")
    _state["frames"] = big_frames(big, frame)
    return _state


def big_frames(big: Any, frame: pd.DataFrame) -> tuple[object, object]:
    """The write request and the read's answer as they travel.

    The answer is rebuilt from what the add-in gave back for the frame
    (Excel's view of it: dates as serial numbers), in the wire form it came in:
    the add-in marks every array with the snapshot id, so the rebuilt answer
    is the add-in's own to the character.
    """
    from velmara_master.python_server.velmara.protocol import SNAPSHOT_ID, TAG_ARRAY
    from velmara_master.python_server.velmara.tables import to_plain

    def as_sent(wire: dict[str, Any]) -> dict[str, Any]:
        if wire["type"] == TAG_ARRAY:
            wire["id"] = SNAPSHOT_ID
            for item in wire["value"]:
                as_sent(item)
        return wire

    to_wire = com_like.Serializer.to_wire
    write = {"method": "SET", "name": "values", "value": to_wire(frame), "caller": 123456789012,
             "requestId": "0" * 32, "kind": "request"}
    big.values = frame
    answer = {"kind": "excel_response", "requestId": "0" * 32, "ok": True,
              "result": as_sent(to_wire(to_plain(big.values)))}
    return write, answer


# --- measured ---------------------------------------------------------------


def dataframe(loops: int) -> float:
    s = state()
    big, frame = s["big"], s["frame"]
    total = 0.0
    for _ in range(loops):
        t0 = time.perf_counter()
        big.values = frame
        values = big.values
        del values
        total += time.perf_counter() - t0
        gc.collect()  # not timed: the drop's releases are, the collector's own walk is not
    return total


def chained_read(loops: int) -> float:
    state()
    context = com_like.Context
    t0 = time.perf_counter()
    for _ in range(loops):
        context.workbook.worksheets.getItem("Sheet1").getRange("A1").values
    return time.perf_counter() - t0


def cell_reads(loops: int) -> float:
    cell = state()["cell"]
    t0 = time.perf_counter()
    for _ in range(loops):
        for _ in range(CELL_READS):
            cell.values
    return time.perf_counter() - t0


# --- floors -----------------------------------------------------------------


def dataframe_floor(loops: int) -> float:
    s = state()
    write, answer = s["frames"]
    client = s["client"]
    dumps, loads = orjson.dumps, orjson.loads
    total = 0.0
    for _ in range(loops):
        t0 = time.perf_counter()
        request = dumps(write)  # the kernel writes the request
        loads(request)  # the add-in reads it
        response = dumps(answer)  # the add-in writes the answer
        client.send(request, text=True)  # one round trip of that size
        client.recv(decode=False)
        loads(response)  # the kernel reads the answer
        total += time.perf_counter() - t0
    return total


def round_trips(count: int) -> Callable[[int], float]:
    request = orjson.dumps({"method": "GET", "name": "values", "caller": 123456789012, "requestId": "0" * 32,
                            "kind": "request"})

    def run(loops: int) -> float:
        client = state()["client"]
        t0 = time.perf_counter()
        for _ in range(loops * count):
            client.send(request, text=True)
            client.recv(decode=False)
        return time.perf_counter() - t0

    return run


def main() -> None:
    # Each worker process starts a kernel, an add-in and an echo server:
    # few processes, few values (one value is many round trips anyway).
    runner = pyperf.Runner(processes=2, values=3, warmups=1)
    runner.metadata["description"] = "kernel + loopback WebSocket + the add-in in Node, against bare round trips"
    runner.bench_time_func("end_to_end.dataframe", dataframe, metadata={
        "goal": 2.0, "note": f"write, read back and drop {ROWS:,} x {COLS} mixed cells"})
    runner.bench_time_func("end_to_end.dataframe.floor", dataframe_floor)
    runner.bench_time_func("end_to_end.chained_read", chained_read, metadata={
        "goal": 1.5, "note": "Context.workbook.worksheets.getItem().getRange().values"})
    runner.bench_time_func("end_to_end.chained_read.floor", round_trips(7))
    runner.bench_time_func("end_to_end.cell_reads", cell_reads, metadata={
        "goal": 1.3, "note": f"{CELL_READS:,} single-cell reads through one kept Range"})
    runner.bench_time_func("end_to_end.cell_reads.floor", round_trips(CELL_READS))


if __name__ == "__main__":
    main()
