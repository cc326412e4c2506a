"""Proxy operations against the bare request they are built on.

Each measurement has a floor in the same run: `messaging.send_request_sync`
with an equivalent body, through the same send handler, which answers while
it is being called. The difference is what the proxy layer costs: routing,
the operation's checks, body building, encoding and decoding.

    .venv/bin/python bench/bench_proxies.py [-o result.json] [--fast]
"""

import time

import pyperf

import com_like

NULL_WIRE = {"type": "Null", "value": None, "isSpec": False}


class _MinimalSerializer:
    """Used only while the module has no codec of its own bound."""

    @staticmethod
    def to_wire(value):
        return {"type": "Raw", "value": value, "isSpec": False}

    @staticmethod
    def from_wire(wire):
        return wire["value"]


def setup():
    if not hasattr(com_like, "Serializer"):
        com_like.Serializer = _MinimalSerializer
    messaging = com_like.messaging
    on_message = messaging.on_message

    def handler(envelope):
        on_message({"requestId": envelope["requestId"], "ok": True, "result": NULL_WIRE})

    messaging.set_send_handler(handler)
    return messaging


def timed(action):
    def run(loops):
        rng = range(loops)
        t0 = time.perf_counter()
        for _ in rng:
            action()
        return time.perf_counter() - t0

    return run


def cases(messaging):
    excel = com_like.Excel
    function = com_like.GetSetting
    send = messaging.send_request_sync
    wire = com_like.Serializer.to_wire
    args = [1, "two", 3.5]

    def attribute_read():
        excel.workbook

    def attribute_read_floor():
        send({"method": "GET", "name": "workbook", "caller": 1})

    def attribute_write():
        excel.calculationMode = "manual"

    def attribute_write_floor():
        send({"method": "SET", "name": "calculationMode", "value": wire("manual"), "caller": 1})

    def index_read():
        excel[3]

    def index_read_floor():
        send({"method": "GETITEM", "name": "3", "caller": 1})

    def call_three():
        function(1, "two", 3.5)

    def call_three_floor():
        send({"method": "CALL", "name": "__call__",
              "args": [{"arg_type": "PLACED", "value": wire(a)} for a in args], "caller": 2})

    return [
        ("proxy_attribute_read", attribute_read, attribute_read_floor),
        ("proxy_attribute_write", attribute_write, attribute_write_floor),
        ("proxy_index_read", index_read, index_read_floor),
        ("proxy_call_three_args", call_three, call_three_floor),
    ]


def main():
    runner = pyperf.Runner()
    runner.metadata["description"] = "com_like proxy operations vs bare send_request_sync"
    messaging = setup()
    for name, action, floor in cases(messaging):
        runner.bench_time_func(name, timed(action), metadata={"goal": 1.15})
        runner.bench_time_func(name + ".floor", timed(floor))


if __name__ == "__main__":
    main()
