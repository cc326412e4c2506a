"""The module's own syntax against the shared threaded host: a send handler
that queues envelopes and a listener thread that answers them from a small
fake object model, through the module's own Messaging.
"""

import base64
import concurrent.futures
import datetime as dt
import gc
import threading

import pytest

import com_like
from velmara_master.python_server.velmara.testing import ThreadedHost

STALE = "Excel Object used after messaging context was stopped"


class WireCodec:
    """The wire format, used only while the module has no codec bound."""

    @staticmethod
    def to_wire(v):
        if v is None:
            return {"type": "Null", "value": None, "isSpec": False}
        if isinstance(v, bool):
            return {"type": "Bool", "value": v, "isSpec": False}
        if isinstance(v, int):
            return {"type": "Int", "value": int(v), "isSpec": False}
        if isinstance(v, float):
            return {"type": "Float", "value": float(v), "isSpec": False}
        if isinstance(v, str):
            return {"type": "String", "value": v, "isSpec": False}
        if isinstance(v, (dt.datetime, dt.date)):
            return {"type": "Date", "value": v.isoformat(), "isSpec": False}
        if isinstance(v, (bytes, bytearray)):
            return {"type": "Bytes", "value": base64.b64encode(bytes(v)).decode(), "isSpec": False}
        if isinstance(v, (list, tuple)):
            return {"type": "Array", "value": [WireCodec.to_wire(x) for x in v], "isSpec": False}
        if isinstance(v, dict):
            return {"type": "Dict", "value": {k: WireCodec.to_wire(x) for k, x in v.items()}, "isSpec": False}
        if isinstance(v, com_like.OfficeJsObject):
            return {"type": v._internal_typeName, "value": v._internal_id, "isSpec": True}
        if callable(v):
            return {"type": "Python_Function", "value": com_like.messaging.register_callable(v), "isSpec": True}
        return {"type": "String", "value": str(v), "isSpec": False}

    @staticmethod
    def from_wire(w):
        if not isinstance(w, dict):
            raise TypeError("wire value must be a dict")
        t, v = w["type"], w["value"]
        if w.get("isSpec"):
            return com_like.OfficeJsObject(v, t)
        if t == "Array":
            a = com_like.OfficeJsArray(w.get("id", -1))
            a.extend(WireCodec.from_wire(x) for x in v)
            return a
        if t == "Dict":
            d = com_like.OfficeJsDict(w.get("id", -1))
            d.update({k: WireCodec.from_wire(x) for k, x in v.items()})
            return d
        if t == "Date":
            return dt.datetime.fromisoformat(v)
        if t == "Bytes":
            return base64.b64decode(v)
        return v


_ids = iter(range(1000, 10**9))


def with_ids(w):
    """The add-in names every array and dictionary it sends with an id."""
    if isinstance(w, dict) and w.get("type") in ("Array", "Dict") and not w.get("isSpec"):
        w = dict(w, id=w.get("id", next(_ids)))
        if w["type"] == "Array":
            w["value"] = [with_ids(x) for x in w["value"]]
        else:
            w["value"] = {k: with_ids(x) for k, x in w["value"].items()}
    return w


def ref(object_id, type_name):
    return {"type": type_name, "value": object_id, "isSpec": True}


class FakeAddin:
    """Objects by id: a type name and a dict of properties (stored as wire values)."""

    def __init__(self, codec):
        self.codec = codec
        self.objects = {
            0: ("RequestContext", {}),
            1: ("Excel", {"workbook": ref(10, "Workbook")}),
            2: ("Function", lambda key: {"theme": "dark"}.get(key)),
            10: ("Workbook", {"name": codec.to_wire("Book1"), "worksheets": {
                "type": "Array", "id": 11, "isSpec": False, "value": [ref(20, "Worksheet"), ref(21, "Worksheet")]}}),
            20: ("Worksheet", {"name": codec.to_wire("Sheet1"), "getRange": ref(30, "Function"),
                               "info": {"type": "Dict", "id": 12, "isSpec": False,
                                        "value": {"visible": codec.to_wire(True), "index": codec.to_wire(0)}}}),
            21: ("Worksheet", {"name": codec.to_wire("Sheet2")}),
            30: ("Function", self.get_range),
            31: ("Function", self.call_back),
        }
        self.rows = [["a", 1], ["b", 2], ["c", 3]]
        self.deleted = []
        self.held = threading.Event()

    def get_range(self, address, *, values=None):
        return {"address": address, "values": values}

    def call_back(self, fn, *args):
        return fn(*args)

    def decode(self, w):
        # Plain values only: a proxy made here would send its DEL from the
        # listener thread, which must never wait for a response itself.
        t, v = w["type"], w["value"]
        if t == "Python_Function":
            return com_like.messaging.get_callable(v)
        if w.get("isSpec"):
            return ("ref", t, v)
        if t == "Array":
            return [self.decode(x) for x in v]
        if t == "Dict":
            return {k: self.decode(x) for k, x in v.items()}
        return v

    def answer(self, env):
        method, caller, name = env["method"], env["caller"], env["name"]
        if method == "DEL":
            self.deleted.append(caller)
            return {"ok": True, "result": None}
        if caller not in self.objects:
            return {"ok": False, "error": {"message": f"unknown object {caller}"}}
        type_name, body = self.objects[caller]
        if method == "GET":
            if name == "hang":
                self.held.set()
                return None  # never answered
            if name not in body:
                return {"ok": False, "error": {"message": f"{type_name}.{name} is undefined"}}
            return {"ok": True, "result": with_ids(body[name])}
        if method == "SET":
            body[name] = env["value"]
            return {"ok": True, "result": None}
        if method == "GETITEM":
            if ":" in name:
                start, stop, step = (int(x) if x else None for x in name.split(":"))
                picked = self.rows[start:stop:step]
            else:
                picked = self.rows[int(name)]
            return {"ok": True, "result": with_ids(self.codec.to_wire(picked))}
        if method == "CALL":
            args = [self.decode(a["value"]) for a in env["args"] if a["arg_type"] == "PLACED"]
            kwargs = {a["name"]: self.decode(a["value"]) for a in env["args"] if a["arg_type"] == "NAMED"}
            return {"ok": True, "result": with_ids(self.codec.to_wire(body(*args, **kwargs)))}
        if method == "DEL":
            self.deleted.append(caller)
            return {"ok": True, "result": None}
        raise AssertionError(method)


class Host(ThreadedHost):
    """The shared threaded host; keeps the exception each failed call ended with."""

    def __init__(self, messaging, addin):
        super().__init__(messaging, addin.answer)
        self.addin = addin
        self.exceptions = []

    def respond(self, envelope):
        future = self.messaging.waiters.get(envelope["requestId"])
        response = super().respond(envelope)
        if future is not None and response is not None and not response["ok"]:
            self.exceptions.append(future.exception())
        return response


@pytest.fixture
def host(mod):
    if "Serializer" not in vars(mod):
        mod.Serializer = WireCodec
    gc.collect()
    with Host(mod.messaging, FakeAddin(mod.Serializer)) as h:
        yield h


def test_chains(mod, host):
    workbook = mod.Excel.workbook
    assert type(workbook) is com_like.OfficeJsObject and repr(workbook) == "<OfficeJsObject Workbook id=10>"
    assert workbook.name == "Book1"
    sheets = mod.Excel.workbook.worksheets
    assert type(sheets) is com_like.OfficeJsArray and repr(sheets) == "<OfficeJsArray id=11 len=2>"
    assert [s.name for s in sheets] == ["Sheet1", "Sheet2"]
    info = sheets[0].info
    assert type(info) is com_like.OfficeJsDict and info.visible is True and info.index == 0
    assert [(e["method"], e["name"]) for e in host.envelopes[:3]] == [
        ("GET", "workbook"), ("GET", "name"), ("GET", "workbook")]


@pytest.mark.parametrize(
    "value",
    [None, True, False, 0, -5, 2**40, 1.5, float("inf"), "", "text", b"\x00\xffbytes",
     dt.datetime(2024, 5, 6, 7, 8, 9), [1, "a", [None]], {"k": 1, "n": {"m": [2]}}],
    ids=lambda v: type(v).__name__,
)
def test_set_then_get_round_trips_every_wire_kind(mod, host, value):
    sheet = mod.Excel.workbook.worksheets[1]
    sheet.tag = value
    got = sheet.tag
    assert got == value and type(got) in (type(value), com_like.OfficeJsArray, com_like.OfficeJsDict)


def test_set_a_proxy_sends_a_reference(mod, host):
    sheet = mod.Excel.workbook.worksheets[1]
    sheet.partner = mod.Excel.workbook
    partner = sheet.partner
    assert (partner._internal_id, partner._internal_typeName) == (10, "Workbook")
    assert partner is not mod.Excel.workbook


def test_indexing(mod, host):
    assert mod.Excel[1] == ["b", 2]
    assert mod.Excel[1:3] == [["b", 2], ["c", 3]]
    assert mod.Excel[::2] == [["a", 1], ["c", 3]]
    assert mod.Excel[-1] == ["c", 3]
    assert [e["name"] for e in host.envelopes if e["method"] == "GETITEM"] == ["1", "1:3:", "::2", "-1"]


def test_calls_with_positional_keyword_and_callback_arguments(mod, host):
    assert mod.GetSetting("theme") == "dark"
    get_range = mod.Excel.workbook.worksheets[0].getRange
    assert get_range("A1:B2", values=[[1, 2]]) == {"address": "A1:B2", "values": [[1, 2]]}
    callback = com_like.OfficeJsObject(31, "Function")
    seen = []
    assert callback(lambda x, y: seen.append(threading.current_thread()) or x * y, 6, 7) == 42
    assert seen == [host.listener.thread]


def test_remote_failure_is_the_same_exception_object(mod, host):
    with pytest.raises(RuntimeError) as info:
        mod.Excel.missing
    assert str(info.value) == "Excel.missing is undefined"
    assert info.value is host.exceptions[-1]
    assert info.value.__cause__ is None and info.value.__suppress_context__ is True
    assert hasattr(mod.Excel, "workbook")
    with pytest.raises(RuntimeError):
        hasattr(mod.Excel, "missing")


def test_finalization_sends_del_including_from_another_thread(mod, host):
    sheets = mod.Excel.workbook.worksheets
    worker_sheet = [sheets[1]]
    del sheets
    t = threading.Thread(target=worker_sheet.clear)
    t.start()
    t.join(60)
    gc.collect()
    assert host.wait_for(lambda: {10, 11, 20, 21} <= set(host.addin.deleted), 60)
    assert all(e["caller"] != 1 for e in host.envelopes if e["method"] == "DEL")


def test_reset_cancels_calls_in_flight_and_stales_old_proxies(mod, host):
    sheet = mod.Excel.workbook.worksheets[0]
    outcome = []

    def wait():
        try:
            mod.Excel.hang
        except BaseException as e:  # noqa: BLE001
            outcome.append(e)

    worker = threading.Thread(target=wait)
    worker.start()
    assert host.addin.held.wait(60)
    mod.messaging.reset()
    worker.join(60)
    assert len(outcome) == 1 and isinstance(outcome[0], concurrent.futures.CancelledError)
    before = len(host.envelopes)
    for action in (lambda: sheet.name, lambda: setattr(sheet, "name", "x"), lambda: sheet[0],
                   lambda: mod.GetSetting("theme")):
        with pytest.raises(RuntimeError) as info:
            action()
        assert str(info.value) == STALE
    assert [e["method"] for e in host.envelopes[before:]] in ([], ["DEL"])
    assert mod.Excel.workbook.name == "Book1"


@pytest.mark.parametrize("call", [lambda m: m.Excel.x, lambda m: m.Excel[0], lambda m: m.GetSetting()],
                         ids=["get", "getitem", "call"])
def test_success_without_result_is_refused_by_the_decoder(mod, call):
    if "Serializer" not in vars(mod):
        mod.Serializer = WireCodec

    def handler(envelope):
        if envelope["method"] != "DEL":
            mod.messaging.on_message({"requestId": envelope["requestId"], "ok": True})
        else:
            mod.messaging.on_message({"requestId": envelope["requestId"], "ok": True, "result": None})

    mod.messaging.set_send_handler(handler)
    with pytest.raises(TypeError):
        call(mod)
