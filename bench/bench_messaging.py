"""Cost of com_like's request/response correlation, each against its floor.

  (a) own cost: send_request_sync with a send handler that delivers the
      matching response through on_message during the handler call, against
      Future() + set_result + result() + one shallow dict copy.
  (b) cross-thread round trip through an in-process host whose listener
      thread answers at once, against a bare Future round trip through the
      same queue and listener.

Run:  .venv/bin/python bench/bench_messaging.py [-o result.json] [--fast]
The ratios are printed at the end (goals: (a) <= 1.3, (b) <= 1.1).
"""

from __future__ import annotations

import concurrent.futures
import os
import time
from typing import Any

import pyperf

# numpy (imported by com_like) starts OpenBLAS worker threads that spin for a
# while; on a small machine they compete with the threads being measured.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import com_like
from velmara_master.python_server.velmara.testing import Listener

BODY = {"method": "GET", "name": "workbook", "caller": 1}


def own_cost(loops: int) -> float:
    m = com_like.Messaging()
    on_message = m.on_message

    def handler(envelope: dict[str, Any]) -> None:
        on_message({"requestId": envelope["requestId"], "ok": True, "result": None})

    m.set_send_handler(handler)
    send = m.send_request_sync
    body = BODY
    t0 = time.perf_counter()
    for _ in range(loops):
        send(body)
    return time.perf_counter() - t0


def own_cost_floor(loops: int) -> float:
    Future = concurrent.futures.Future
    body = BODY
    response = {"requestId": "0" * 32, "ok": True, "result": None}
    t0 = time.perf_counter()
    for _ in range(loops):
        body.copy()
        f: concurrent.futures.Future[dict[str, Any]] = Future()
        f.set_result(response)
        f.result()
    return time.perf_counter() - t0


def answer(envelope: dict[str, Any]) -> dict[str, Any]:
    """The add-in's answer to one envelope: success, no result."""
    return {"requestId": envelope["requestId"], "ok": True, "result": None}


def round_trip(loops: int) -> float:
    # The host doubles' listener loop, answering at once and keeping no
    # record, so that it does nothing the floor's does not.
    m = com_like.Messaging()
    on_message = m.on_message
    listener = Listener(lambda envelope: on_message(answer(envelope))).start()
    m.set_send_handler(listener.put)
    try:
        send = m.send_request_sync
        body = BODY
        send(body)  # the listener thread is running
        t0 = time.perf_counter()
        for _ in range(loops):
            send(body)
        return time.perf_counter() - t0
    finally:
        m.set_send_handler(None)
        listener.stop()


def round_trip_floor(loops: int) -> float:
    Future = concurrent.futures.Future
    envelope = dict(BODY, requestId="0" * 32, kind="request")
    # The same listener loop, completing bare futures with the same answer.
    listener = Listener(lambda item: item[0].set_result(answer(item[1])), name="bare-listener").start()
    try:
        put = listener.put
        f: concurrent.futures.Future[dict[str, Any]] = Future()
        put((f, envelope))
        f.result()
        t0 = time.perf_counter()
        for _ in range(loops):
            f = Future()
            put((f, envelope))
            f.result()
        return time.perf_counter() - t0
    finally:
        listener.stop()


CASES = [
    ("own_cost", own_cost),
    ("own_cost_floor", own_cost_floor),
    ("round_trip", round_trip),
    ("round_trip_floor", round_trip_floor),
]
# scripts/bench pairs "<name>" with "<name>.floor" and checks the goal.
BENCH_NAMES = {
    "own_cost": "messaging.own_cost",
    "own_cost_floor": "messaging.own_cost.floor",
    "round_trip": "messaging.round_trip",
    "round_trip_floor": "messaging.round_trip.floor",
}
GOALS = {"own_cost": 1.3, "round_trip": 1.1}


def main() -> None:
    runner = pyperf.Runner()
    results = {}
    for name, func in CASES:
        metadata = {"goal": GOALS[name]} if name in GOALS else None
        results[name] = runner.bench_time_func(BENCH_NAMES[name], func, metadata=metadata)
    if runner.args.worker or any(r is None for r in results.values()):
        return
    mean = {name: bench.mean() for name, bench in results.items()}
    print()
    for name, _ in CASES:
        print(f"{name:>18}: {mean[name] * 1e6:8.3f} us")
    print(f"(a) own cost / floor   = {mean['own_cost'] / mean['own_cost_floor']:.3f}  (goal <= 1.3)")
    print(f"(b) round trip / floor = {mean['round_trip'] / mean['round_trip_floor']:.3f}  (goal <= 1.1)")


if __name__ == "__main__":
    main()
