"""A chained read through proxies, with and without a local DEL acknowledgement.

    Context.workbook.worksheets.getItem("Sheet1").getRange("A1").values

against an add-in that answers in process, from inside the send handler,
after a JSON round trip of each envelope and response as a transport would
make. Every temporary proxy of the chain (and the arrays of the result, once
dropped) sends its DEL from its finalizer:

- `chained.read.remote_del`: each DEL travels to the add-in like any request;
- `chained.read.local_del`: the host acknowledges DEL at once, without the
  round trip, and hands the ids to the add-in in batches later, as a host
  would that does not want finalizers to wait.

Each has its floor: the same requests, with the same bodies and the same
add-in, made by hand through `messaging.send_request_sync`, without proxies,
routing or the wire codec; the ratio is what the proxy layer costs on top of
messaging and transport.
"""

from __future__ import annotations

import json
import sys
from collections.abc import Callable
from typing import Any, ClassVar

import pyperf

import com_like
from velmara_master.python_server.velmara.testing import Envelope, InlineHost, Response
from velmara_master.python_server.velmara.testing.hosts import Messaging

GOAL = 3.0  # the proxy layer may take at most this multiple of bare messaging


class InProcessAddIn(InlineHost):
    """A tiny Office.js object model behind a JSON 'transport', answering
    from inside the send handler."""

    MEMBERS: ClassVar[dict[str, dict[str, tuple[str, str | None]]]] = {
        "RequestContext": {"workbook": ("object", "Workbook")},
        "Workbook": {"worksheets": ("object", "WorksheetCollection")},
        "WorksheetCollection": {"getItem": ("method", "Worksheet")},
        "Worksheet": {"getRange": ("method", "Range")},
        "Range": {"values": ("values", None)},
    }

    def __init__(self, messaging: Messaging, *, local_del: bool, batch: int = 256) -> None:
        super().__init__(messaging, self._transported, keep=False)
        self.local_del = local_del
        self.batch = batch
        self.objects: dict[int, tuple[str, str | None]] = {0: ("RequestContext", None)}
        self.next_id = 100
        self.released: list[int] = []

    def _new(self, type_name: str, payload: str | None = None) -> int:
        self.next_id += 1
        self.objects[self.next_id] = (type_name, payload)
        return self.next_id

    def _perform(self, request: Envelope) -> Response:
        method, caller = request["method"], request["caller"]
        if method == "DEL":
            self.objects.pop(caller, None)
            return {"ok": True}
        type_name, payload = self.objects[caller]
        if method == "CALL":
            return {"ok": True, "result": {"type": payload, "value": self._new(str(payload)), "isSpec": True}}
        kind, target = self.MEMBERS[type_name][request["name"]]
        if kind == "object":
            return {"ok": True, "result": {"type": target, "value": self._new(str(target)), "isSpec": True}}
        if kind == "method":
            return {"ok": True, "result": {"type": "Function", "value": self._new("Function", target), "isSpec": True}}
        row = {"type": "Array", "id": self._new("Array"), "isSpec": False,
               "value": [{"type": "Int", "value": 42, "isSpec": False}]}
        return {"ok": True, "result": {"type": "Array", "id": self._new("Array"), "isSpec": False, "value": [row]}}

    def _transported(self, envelope: Envelope) -> Response:
        if self.local_del and envelope["method"] == "DEL":
            self.released.append(envelope["caller"])
            if len(self.released) >= self.batch:
                for object_id in self.released:
                    self.objects.pop(object_id, None)
                self.released.clear()
            return {"ok": True}
        response = self._perform(json.loads(json.dumps(envelope)))
        response["requestId"] = envelope["requestId"]
        result: Response = json.loads(json.dumps(response))
        return result


def chained_read() -> None:
    values = com_like.Context.workbook.worksheets.getItem("Sheet1").getRange("A1").values
    assert values[0][0] == 42


def bare_chain() -> None:
    """The same requests and DELs, made by hand."""
    send = com_like.messaging.send_request_sync

    def get(caller: int, name: str) -> Any:
        return send({"method": "GET", "name": name, "caller": caller})["result"]

    def call(caller: int, text: str) -> int:
        args = [{"arg_type": "PLACED", "value": {"type": "String", "value": text, "isSpec": False}}]
        reference: int = send({"method": "CALL", "name": "__call__", "args": args, "caller": caller})["result"]["value"]
        return reference

    def drop(caller: int) -> None:
        send({"method": "DEL", "name": "__del__", "caller": caller})

    workbook = get(0, "workbook")["value"]
    sheets = get(workbook, "worksheets")["value"]
    drop(workbook)
    get_item = get(sheets, "getItem")["value"]
    drop(sheets)
    sheet = call(get_item, "Sheet1")
    drop(get_item)
    get_range = get(sheet, "getRange")["value"]
    drop(sheet)
    cell = call(get_range, "A1")
    drop(get_range)
    values = get(cell, "values")
    drop(cell)
    assert values["value"][0]["value"][0]["value"] == 42
    drop(values["id"])
    drop(values["value"][0]["id"])


def count_messages(fn: Callable[[], None], addin: InProcessAddIn) -> tuple[int, int]:
    addin.counts.clear()
    fn()
    return sum(n for m, n in addin.counts.items() if m != "DEL"), addin.counts["DEL"]


def main() -> None:
    if not hasattr(com_like, "Serializer") or not hasattr(com_like.Serializer, "from_wire"):
        print("bench_chained: the module has no wire codec yet; nothing measured", file=sys.stderr)
        return
    runner = pyperf.Runner()
    messaging = com_like.messaging
    results = {}
    for variant, local_del in (("remote_del", False), ("local_del", True)):
        addin = InProcessAddIn(messaging, local_del=local_del)
        messaging.set_send_handler(addin)
        requests, dels = count_messages(chained_read, addin)
        bare = count_messages(bare_chain, addin)
        if bare != (requests, dels):
            raise SystemExit(f"bench_chained: the bare chain sends {bare}, the proxies {(requests, dels)}")
        name = f"chained.read.{variant}"
        note = f"{requests} requests and {dels} DELs per read" + (
            ", DELs acknowledged by the host" if local_del else ", DELs sent to the add-in"
        )
        results[variant] = runner.bench_func(
            name, chained_read, metadata={"goal": GOAL, "note": note, "requests": requests, "dels": dels}
        )
        runner.bench_func(name + ".floor", bare_chain)
    if all(results.values()):  # only the manager process gets the results
        remote, local = results["remote_del"].mean(), results["local_del"].mean()
        print(
            f"chained read: {remote * 1e6:.1f} µs with DELs sent, {local * 1e6:.1f} µs with DELs acknowledged "
            f"locally: the acknowledgement saves {(remote - local) * 1e6:.1f} µs ({1 - local / remote:.0%})"
        )


if __name__ == "__main__":
    main()
