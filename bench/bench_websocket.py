"""Proxy operations over the WebSocket kernel and the JavaScript add-in in Node, against the in-process floor.

  ws_1thread, ws_2threads, ws_8threads:
      `range.address` (one GET round trip each) through the kernel, the
      loopback WebSocket and the add-in's Node process, with 1, 2 and 8
      worker threads sharing the work; the time per operation is the wall
      time over all threads divided by the operations, so 1/value is ops/s.
  inprocess_floor:
      the same proxy read with a send handler that answers during the call
      (send_request_sync with the response delivered by the handler): the
      bridge's own cost with no transport at all.

After the pyperf runs, the script measures the round-trip distribution of
single-threaded reads (median and 99th percentile) and prints all figures.

Run:  .venv/bin/python bench/bench_websocket.py [-o result.json] [--fast]
"""

from __future__ import annotations

import atexit
import statistics
import threading
import time
from collections.abc import Callable
from typing import Any

import pyperf

import com_like

_bridge: dict[str, Any] = {}


def bridge() -> dict[str, Any]:
    """Kernel + the add-in in Node for this process, started on first use."""
    if not _bridge:
        from velmara_master.python_server.velmara.kernel import Kernel
        from velmara_master.python_server.velmara.kernel.farend import start_far_end, wait_for_far_end

        kernel = Kernel(workers=2).start()
        addin = start_far_end(kernel, reconnect=False)
        wait_for_far_end(kernel, addin, 120)  # Node starts slowly on a loaded machine
        rng = com_like.Context.workbook.worksheets.getItem("Sheet1").getRange("A1")

        def stop() -> None:
            kernel.close()
            addin.stop()

        atexit.register(stop)
        _bridge.update(kernel=kernel, range=rng)
    return _bridge


def over_websocket(threads: int) -> Callable[[int], float]:
    def run(loops: int) -> float:
        rng = bridge()["range"]
        for _ in range(50):
            rng.address  # warm the path
        share = [loops // threads + (1 if i < loops % threads else 0) for i in range(threads)]
        barrier = threading.Barrier(threads + 1)
        done = []

        def work(n: int) -> None:
            barrier.wait()
            for _ in range(n):
                rng.address
            done.append(time.perf_counter())

        workers = [threading.Thread(target=work, args=(n,)) for n in share]
        for w in workers:
            w.start()
        barrier.wait()
        t0 = time.perf_counter()
        for w in workers:
            w.join()
        return max(done) - t0

    return run


def inprocess_floor(loops: int) -> float:
    messaging = com_like.messaging
    on_message = messaging.on_message
    result = {"type": "String", "value": "Sheet1!A1", "isSpec": False}

    def handler(envelope: dict[str, Any]) -> None:
        on_message({"requestId": envelope["requestId"], "ok": True, "result": result})

    saved = messaging._send_handler  # noqa: SLF001 - no public getter; the bridge's own handler goes back
    messaging.set_send_handler(handler)
    try:
        rng = com_like.OfficeJsObject(5, "Range")
        t0 = time.perf_counter()
        for _ in range(loops):
            rng.address
        elapsed = time.perf_counter() - t0
        del rng
    finally:
        messaging.set_send_handler(saved)
    return elapsed


def latency_report(samples: int = 3000) -> dict[str, float]:
    rng = bridge()["range"]
    for _ in range(200):
        rng.address
    times = []
    for _ in range(samples):
        t0 = time.perf_counter()
        rng.address
        times.append(time.perf_counter() - t0)
    times.sort()
    return {"median": statistics.median(times), "p99": times[int(len(times) * 0.99)]}


def main() -> None:
    runner = pyperf.Runner(processes=3, values=3, warmups=1)
    runner.metadata["description"] = "com_like proxy reads over WebSocket vs in-process"
    results = {}
    for threads in (1, 2, 8):
        name = f"ws_{threads}thread{'s' if threads > 1 else ''}"
        results[name] = runner.bench_time_func(name, over_websocket(threads))
    results["inprocess_floor"] = runner.bench_time_func("inprocess_floor", inprocess_floor)
    if runner.args.worker:
        return
    print()
    print("operations per second:")
    for name, bench in results.items():
        if bench is not None:
            print(f"  {name:16s} {1 / bench.mean():12,.0f} ops/s")
    floor = results["inprocess_floor"]
    single = results["ws_1thread"]
    if floor is not None and single is not None:
        print(f"  transport share of one read: {(single.mean() - floor.mean()) / single.mean():.0%}")
    figures = latency_report()
    print(f"round trip (1 thread, {3000} reads): median {figures['median'] * 1e6:.0f} us, "
          f"p99 {figures['p99'] * 1e6:.0f} us")


if __name__ == "__main__":
    main()
