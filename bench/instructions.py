"""Instructions per operation of com_like, counted by valgrind's callgrind.

Wall-clock time on a shared machine moves with the load; the number of
instructions an operation executes does not. Each measurement runs its
operation n1 times, then n2 times, in one interpreter under callgrind, and
reports (count(n2) - count(n1)) / (n2 - n1): the cost of one more
operation, with the loop's set-up and the interpreter's start-up cancelled
out. A call of `math.fsum`, which nothing measured uses, marks the bounds:
callgrind writes its counters at each one (`--dump-before`).

  messaging.send    Messaging.send_request_sync, the send handler answering
                    inline through on_message
  future.floor      a concurrent.futures.Future created, resolved and read:
                    what a request cannot avoid (not gated)
  messaging.own     send minus the future floor (derived, not gated)
  proxy.get         an attribute read on Excel (a GET)
  proxy.call        GetSetting called with three arguments (a CALL)
  wire.to_wire      Serializer.to_wire of a DataFrame, per cell (int, float,
                    text and date columns)
  wire.from_wire    Serializer.from_wire of one array, per cell (the same
                    four kinds)

The inputs are fixed and the run is single-threaded with PYTHONHASHSEED=0,
so a count moves only when the code executed does (or the build: counts
belong to one machine's binaries).

    .venv/bin/python bench/instructions.py                 # print the counts
    .venv/bin/python bench/instructions.py --json out.json
    .venv/bin/python bench/instructions.py --write-baseline

`--python PY` measures another tree's interpreter and build with this same
harness (the counts of an older commit in docs/performance.md were taken so).
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
from collections.abc import Callable
from typing import Any

HERE = pathlib.Path(__file__).resolve().parent
BASELINE = HERE / "instructions_baseline.json"
MARKER = "math_fsum"

# name -> (n1, n2, units per operation); per-cell measurements count rows.
PLAN: dict[str, tuple[int, int, int]] = {
    "future.floor": (1000, 6000, 1),
    "messaging.send": (1000, 6000, 1),
    "proxy.get": (1000, 6000, 1),
    "proxy.call": (1000, 6000, 1),
    "wire.to_wire": (200, 1200, 4),  # rows of a four-column frame
    "wire.from_wire": (800, 4800, 1),  # cells of one array
}
GATED = ("messaging.send", "proxy.get", "proxy.call", "wire.to_wire", "wire.from_wire")
WARM_UP = 200


# --- the measured process ----------------------------------------------------


def workloads() -> dict[str, Callable[[int], None]]:
    """The operations, each as a loop of n; set up outside the loops."""
    import concurrent.futures
    import datetime

    import pandas as pd  # type: ignore[import-untyped]

    import com_like

    null: dict[str, Any] = {"type": "Null", "value": None, "isSpec": False}
    messaging: Any = com_like.messaging
    on_message = messaging.on_message

    def inline_host(envelope: dict[str, Any]) -> None:
        on_message({"requestId": envelope["requestId"], "ok": True, "result": null})

    messaging.set_send_handler(inline_host)
    body = {"method": "GET", "name": "workbook", "caller": 1}
    response = {"requestId": "0" * 32, "ok": True, "result": null}

    def future_floor(n: int) -> None:
        future = concurrent.futures.Future
        for _ in range(n):
            f: concurrent.futures.Future[Any] = future()
            f.set_result(response)
            f.result()

    def send(n: int) -> None:
        send_request_sync = messaging.send_request_sync
        for _ in range(n):
            send_request_sync(body)

    def proxy_get(n: int) -> None:
        excel: Any = com_like.Excel
        for _ in range(n):
            excel.workbook

    def proxy_call(n: int) -> None:
        get_setting: Any = com_like.GetSetting
        for _ in range(n):
            get_setting(1, "a", 2.5)

    start = datetime.datetime(2024, 5, 1, 9, 30)

    def frame(rows: int) -> Any:
        return pd.DataFrame({
            "n": list(range(rows)),
            "x": [r / 8 for r in range(rows)],
            "s": [f"s{r}" for r in range(rows)],
            "d": [start + datetime.timedelta(minutes=r, microseconds=r % 3) for r in range(rows)],
        })

    to_wire = com_like.Serializer.to_wire
    from_wire = com_like.Serializer.from_wire
    frames = {rows: frame(rows) for rows in (WARM_UP, *PLAN["wire.to_wire"][:2])}
    kinds = [
        {"type": "Int", "value": 7, "isSpec": False},
        {"type": "Float", "value": 0.25, "isSpec": False},
        {"type": "String", "value": "text", "isSpec": False},
        {"type": "Date", "value": "2024-05-01T09:30:00", "isSpec": False},
    ]

    def array(cells: int) -> dict[str, Any]:
        return {"type": "Array", "value": [kinds[i % 4] for i in range(cells)], "isSpec": False, "id": 7}

    arrays = {cells: array(cells) for cells in (WARM_UP, *PLAN["wire.from_wire"][:2])}

    def encode(rows: int) -> None:
        to_wire(frames[rows])

    def decode(cells: int) -> None:
        from_wire(arrays[cells])

    return {
        "future.floor": future_floor,
        "messaging.send": send,
        "proxy.get": proxy_get,
        "proxy.call": proxy_call,
        "wire.to_wire": encode,
        "wire.from_wire": decode,
    }


def child() -> None:
    import gc
    import math

    loops = workloads()
    for name, (n1, n2, _) in PLAN.items():
        run = loops[name]
        run(WARM_UP)
        # The heap that is already there (the interpreter's, numpy's,
        # pandas') moves out of the collector's reach: a full collection
        # that happens to fall into one loop and not the other would count
        # a walk over all of it, which has nothing to do with the operation.
        gc.collect()
        gc.freeze()
        math.fsum(())
        run(n1)
        math.fsum(())
        run(n2)
        math.fsum(())


# --- the counting ------------------------------------------------------------


def valgrind() -> str | None:
    return shutil.which("valgrind")


def count(python: str = sys.executable) -> dict[str, float]:
    """Instructions per operation for every measurement of PLAN."""
    tool = valgrind()
    if tool is None:
        raise RuntimeError("valgrind is not installed")
    env = dict(os.environ, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1",
               MKL_NUM_THREADS="1", PYTHONDONTWRITEBYTECODE="1")
    env.pop("PYTHONMALLOC", None)
    with tempfile.TemporaryDirectory(prefix="instructions-") as tmp:
        out = pathlib.Path(tmp) / "cg"
        command = [tool, "--tool=callgrind", f"--callgrind-out-file={out}", f"--dump-before={MARKER}",
                   python, str(pathlib.Path(__file__).resolve()), "--child"]
        done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=900)
        if done.returncode != 0:
            raise RuntimeError(f"callgrind run failed ({done.returncode}):\n{done.stderr[-3000:]}")
        parts = sorted(pathlib.Path(tmp).glob("cg.*"), key=lambda p: int(p.suffix[1:]))
        totals = [part_total(p) for p in parts]
    # Part 1 is everything before the first marker; then per measurement:
    # [n1 loop], [n2 loop], [warm-up of the next one up to its first marker].
    expected = 1 + 3 * len(PLAN)
    if len(totals) < expected - 1:
        raise RuntimeError(f"expected {expected} callgrind parts, got {len(totals)}")
    result: dict[str, float] = {}
    for i, (name, (n1, n2, units)) in enumerate(PLAN.items()):
        first, second = totals[1 + 3 * i], totals[2 + 3 * i]
        result[name] = round((second - first) / ((n2 - n1) * units), 1)
    result["messaging.own"] = round(result["messaging.send"] - result["future.floor"], 1)
    return result


def part_total(path: pathlib.Path) -> int:
    with path.open() as lines:
        for line in lines:
            if line.startswith("totals:") or line.startswith("summary:"):
                return int(line.split()[1])
    raise RuntimeError(f"no total in {path}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--python", default=sys.executable, help="interpreter (and build) to measure")
    parser.add_argument("--json", metavar="FILE", help="write the counts to FILE")
    parser.add_argument("--write-baseline", action="store_true", help=f"write the counts to {BASELINE.name}")
    args = parser.parse_args()
    if args.child:
        child()
        return
    counts = count(args.python)
    for name, value in counts.items():
        print(f"{name:18} {value:12,.1f}")
    text = json.dumps(counts, indent=2) + "\n"
    if args.json:
        pathlib.Path(args.json).write_text(text)
    if args.write_baseline:
        BASELINE.write_text(text)


if __name__ == "__main__":
    main()
