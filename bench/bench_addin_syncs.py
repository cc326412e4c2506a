"""Syncs per user operation through the JavaScript add-in (Node far end).

A context.sync() costs milliseconds in desktop Excel and can cost hundreds
of milliseconds in Excel on the web; what the add-in must keep low is the
number of syncs, not of requests. Each user operation runs through a real
kernel and addin/node-host.mjs in Node (the add-in's executor over the
Office.js double); the add-in's own diagnostics count its syncs and the
requests it served (releases of dropped proxies excluded: they ride on the
next sync).

- `addin.syncs.chained_read`: Context.workbook.worksheets.getItem("Sheet1")
  .getRange("A1").values, 7 requests; goal: one sync (lookups such as getItem
  and getRange are answered at once, without a sync of their own);
- `addin.syncs.range_writes_100`: getItem("Sheet2"), then 100 writes
  sheet.getRange(f"A{i}").values = ..., 304 requests; goal: at most 101 syncs
  (one per write);
- `addin.syncs.sheet_names`: every sheet's name, [ws.name for ws in worksheets.items],
  8 requests; goal: 6 syncs (items, then one per name read).

Measured over the Office.js double: 1, 100 and 6 syncs (before lookups were
answered at once: 3, 201 and 6).

The measurements are counts, priced at SYNC_COST_S per sync (a sync of
Excel on the web) so that they read as the time Excel would spend. Each
operation has two floors:

- `addin.syncs.<op>.floor`: one sync per request, the plain policy the
  executor's batching improves on; the ratio is syncs per request (1/7 for
  the chained read, never above 1);
- `addin.syncs.<op>.needed.floor`: the requests that needed a sync (those the
  executor put into a sync: every entry of its batch sizes); the ratio of
  `addin.syncs.<op>.needed` to it must not exceed 1: never more syncs than
  requests that need one (a retry after a failed sync would show here).

Counts do not vary, so a few values suffice.
"""

from __future__ import annotations

import atexit
from collections.abc import Callable
from typing import Any

import pyperf

import com_like
from velmara_master.python_server.velmara.kernel import Kernel
from velmara_master.python_server.velmara.kernel.farend import start_far_end, wait_for_far_end

SYNC_COST_S = 0.1
SHEETS = 5


class FarEnd:
    """A kernel and the Node far end connected to it, for this process."""

    def __init__(self) -> None:
        self.kernel = Kernel().start()
        self.far_end = start_far_end(self.kernel, reconnect=False)
        atexit.register(self.close)
        wait_for_far_end(self.kernel, self.far_end, 60)  # Node starts slowly on a loaded machine
        worksheets = com_like.Context.workbook.worksheets
        for n in range(2, SHEETS + 1):
            worksheets.add(f"Sheet{n}")

    def counters(self) -> tuple[int, int, int]:
        """(syncs, requests other than DEL, requests put into a sync) so far, from the add-in's diagnostics."""
        diag = self.kernel.diagnostics()
        requests = sum(n for method, n in diag["requests"].items() if method != "DEL")
        synced = sum(int(size) * n for size, n in diag["batchSizes"].items())
        return diag["syncs"], requests, synced

    def close(self) -> None:
        self.kernel.close()
        self.far_end.stop()


def chained_read() -> None:
    com_like.Context.workbook.worksheets.getItem("Sheet1").getRange("A1").values


def range_writes_100() -> None:
    sheet = com_like.Context.workbook.worksheets.getItem("Sheet2")
    for i in range(1, 101):
        sheet.getRange(f"A{i}").values = [[i]]


def sheet_names() -> None:
    names = [ws.name for ws in com_like.Context.workbook.worksheets.items]
    assert len(names) == SHEETS


OPERATIONS = {
    "chained_read": (chained_read, 1 / 7 + 1e-9, "7 requests; one sync"),
    "range_writes_100": (range_writes_100, 101 / 304 + 1e-9, "each write is GET getRange, CALL and SET: one sync"),
    "sheet_names": (sheet_names, 6 / 8 + 1e-9, f"items, then one name per sheet ({SHEETS} sheets)"),
}


def counted(far_end: FarEnd, operation: Callable[[], object], loops: int) -> tuple[int, int, int]:
    """Syncs, requests and requests that needed a sync over `loops` runs of the operation."""
    before = far_end.counters()
    for _ in range(loops):
        operation()
    after = far_end.counters()
    return (after[0] - before[0], after[1] - before[1], after[2] - before[2])


def main() -> None:
    runner = pyperf.Runner(processes=2, values=2, warmups=1)
    far_end = None

    def connect() -> FarEnd:
        nonlocal far_end
        if far_end is None:
            far_end = FarEnd()
        return far_end

    results: dict[str, Any] = {}

    def priced(operation: Callable[[], object], which: int) -> Callable[[int], float]:
        def run(loops: int) -> float:
            return counted(connect(), operation, loops)[which] * SYNC_COST_S
        return run

    priced_note = f"priced at {SYNC_COST_S * 1e3:g} ms per sync"
    for name, (operation, goal, note) in OPERATIONS.items():
        results[name] = runner.bench_time_func(
            f"addin.syncs.{name}", priced(operation, 0), metadata={"goal": goal, "note": f"{note}; {priced_note}"})
        runner.bench_time_func(f"addin.syncs.{name}.floor", priced(operation, 1))
        runner.bench_time_func(
            f"addin.syncs.{name}.needed", priced(operation, 0),
            metadata={"goal": 1.0, "note": f"syncs against the requests that needed one; {priced_note}"})
        runner.bench_time_func(f"addin.syncs.{name}.needed.floor", priced(operation, 2))
    if all(results.values()):  # only the manager process gets the results
        for name, bench in results.items():
            print(f"{name}: {bench.mean() / SYNC_COST_S:g} syncs per operation")


if __name__ == "__main__":
    main()
