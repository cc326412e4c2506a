"""Proxy operations against the bare request they are built on.

Each measurement has a floor in the same run: `messaging.send_request_sync`
with an equivalent body, through the same send handler, which answers while
it is being called. The difference is what the proxy layer costs: routing,
the operation's checks, body building, encoding and decoding.

    .venv/bin/python bench/bench_proxies.py [-o result.json] [--fast]
"""

import time
from collections.abc import Callable
from typing import Any

import pyperf

import com_like
from velmara_master.python_server.velmara.protocol import NULL_WIRE


class _MinimalSerializer:
    """Used only while the module has no codec of its own bound."""

    @staticmethod
    def to_wire(value: Any) -> dict[str, Any]:
        return {"type": "Raw", "value": value, "isSpec": False}

    @staticmethod
    def from_wire(wire: dict[str, Any]) -> Any:
        return wire["value"]


def setup() -> com_like.Messaging:
    if not hasattr(com_like, "Serializer"):
        com_like.Serializer = _MinimalSerializer  # type: ignore[misc, assignment]  # a build without a codec
    messaging = com_like.messaging
    on_message = messaging.on_message

    def handler(envelope: dict[str, Any]) -> None:
        on_message({"requestId": envelope["requestId"], "ok": True, "result": NULL_WIRE})

    messaging.set_send_handler(handler)
    return messaging


def timed(action: Callable[[], object]) -> Callable[[int], float]:
    def run(loops: int) -> float:
        rng = range(loops)
        t0 = time.perf_counter()
        for _ in rng:
            action()
        return time.perf_counter() - t0

    return run


def cases(messaging: com_like.Messaging) -> list[tuple[str, Callable[[], None], Callable[[], None]]]:
    excel = com_like.Excel
    function = com_like.GetSetting
    send = messaging.send_request_sync
    wire = com_like.Serializer.to_wire
    args = [1, "two", 3.5]

    def attribute_read() -> None:
        excel.workbook

    def attribute_read_floor() -> None:
        send({"method": "GET", "name": "workbook", "caller": 1})

    def attribute_write() -> None:
        excel.calculationMode = "manual"

    def attribute_write_floor() -> None:
        send({"method": "SET", "name": "calculationMode", "value": wire("manual"), "caller": 1})

    def index_read() -> None:
        excel[3]

    def index_read_floor() -> None:
        send({"method": "GETITEM", "name": "3", "caller": 1})

    def call_three() -> None:
        function(1, "two", 3.5)

    def call_three_floor() -> None:
        send({"method": "CALL", "name": "__call__",
              "args": [{"arg_type": "PLACED", "value": wire(a)} for a in args], "caller": 2})

    return [
        ("proxy_attribute_read", attribute_read, attribute_read_floor),
        ("proxy_attribute_write", attribute_write, attribute_write_floor),
        ("proxy_index_read", index_read, index_read_floor),
        ("proxy_call_three_args", call_three, call_three_floor),
    ]


def main() -> None:
    runner = pyperf.Runner()
    runner.metadata["description"] = "com_like proxy operations vs bare send_request_sync"
    messaging = setup()
    for name, action, floor in cases(messaging):
        runner.bench_time_func(name, timed(action), metadata={"goal": 1.15})
        runner.bench_time_func(name + ".floor", timed(floor))


if __name__ == "__main__":
    main()
