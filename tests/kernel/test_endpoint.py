"""The kernel endpoint against a raw WebSocket client playing the add-in."""

import concurrent.futures
import json
import logging
import os
import threading
import time
import uuid
from types import SimpleNamespace

import pytest
from websockets.exceptions import ConnectionClosed, InvalidStatus
from websockets.sync.client import connect

import com_like
from velmara_master.python_server.velmara.kernel import (
    Kernel,
    NotConnectedError,
    UnrepresentableValue,
    counters,
    dispatch,
)


class PassThroughSerializer:
    """Stands in for the wire codec: payloads in and out as they are."""

    @staticmethod
    def from_wire(wire):
        return wire.get("value")

    @staticmethod
    def to_wire(value):
        return {"type": "Echo", "value": value, "isSpec": False}


@pytest.fixture
def module():
    yield SimpleNamespace(messaging=com_like.Messaging(), Serializer=PassThroughSerializer)
    # Any Messaging's reset re-stamps the module's Context and Excel with its
    # own epoch; give them back to the module's messaging.
    for root in (com_like.Context, com_like.Excel):
        root._msg_guid = com_like.messaging._guid


@pytest.fixture
def kernel(module):
    k = Kernel(module=module, max_frame_chars=4000, workers=2).start()
    yield k
    k.close()


@pytest.fixture
def addin(kernel):
    with connect(kernel.url, compression=None, max_size=2**24, open_timeout=60) as ws:
        kernel.wait_connected(WAIT)
        yield ws


def recv(ws, timeout=None):
    timeout = WAIT if timeout is None else timeout
    return json.loads(ws.recv(timeout=timeout))


def answer(ws, request, ok=True, **members):
    ws.send(json.dumps({"kind": "excel_response", "requestId": request["requestId"], "ok": ok, **members}))


# Bound of every wait for the kernel or the far end: generous, the machine may be loaded.
WAIT = 30


def in_thread(fn, *args):
    pool = concurrent.futures.ThreadPoolExecutor(1)
    future = pool.submit(fn, *args)
    pool.shutdown(wait=False)
    return future


def test_requests_go_out_as_json_text_and_responses_come_back(module, addin):
    pending = in_thread(module.messaging.send_request_sync, {"method": "GET", "name": "workbook", "caller": 0})
    request = recv(addin)
    assert request == {"method": "GET", "name": "workbook", "caller": 0,
                       "requestId": request["requestId"], "kind": "request"}
    answer(addin, request, result={"type": "Int", "value": 4, "isSpec": False})
    response = pending.result(WAIT)
    assert response["ok"] is True and response["result"]["value"] == 4
    assert module.messaging.waiters == {}


def test_many_threads_each_get_their_own_answer(module, kernel, addin):
    count = 16
    with concurrent.futures.ThreadPoolExecutor(count) as pool:
        futures = [pool.submit(module.messaging.send_request_sync, {"method": "GET", "name": str(i)})
                   for i in range(count)]
        requests = [recv(addin) for _ in range(count)]
        for request in reversed(requests):
            answer(addin, request, result={"type": "String", "value": request["name"]})
        assert [f.result(WAIT)["result"]["value"] for f in futures] == [str(i) for i in range(count)]
    assert kernel.stats()["requests"] == count


def test_dels_are_acknowledged_locally_and_released_in_one_frame_before_a_diag(module, kernel, addin):
    # A time-out of 0 fails any call that is not answered during the send.
    for caller in (7, 7, 0, 1, 2, -1, 8, "x", None):
        response = module.messaging.send_request_sync({"method": "DEL", "name": "__del__", "caller": caller}, timeout=0)
        assert response["ok"] is True and response["result"]["type"] == "Null"
    diag = in_thread(kernel.diagnostics, WAIT)
    assert recv(addin) == {"kind": "release", "ids": [7, 7, 8]}  # roots, snapshots and junk stay home
    query = recv(addin)
    assert query["kind"] == "diag"
    addin.send(json.dumps({"kind": "diag_result", "diagId": query["diagId"], "objects": 3}))
    assert diag.result(WAIT)["objects"] == 3
    # Without a diag, the ids still go out after a short while, unasked.
    module.messaging.send_request_sync({"method": "DEL", "name": "__del__", "caller": 9}, timeout=0)
    assert recv(addin) == {"kind": "release", "ids": [9]}
    # The add-in's answer to a DEL from an older kernel's era is ignored.
    answer(addin, {"requestId": "f" * 32}, result={"type": "Null"})
    pending = in_thread(module.messaging.send_request_sync, {"method": "GET", "name": "x"})
    answer(addin, recv(addin), result={"type": "Null"})
    assert pending.result(WAIT)["ok"] is True


def test_without_a_connection_del_still_returns_and_other_requests_fail(module, kernel):
    assert module.messaging.send_request_sync({"method": "DEL", "caller": 9}, timeout=0)["ok"] is True
    with pytest.raises(NotConnectedError, match="not connected"):
        module.messaging.send_request_sync({"method": "GET", "name": "x"})
    assert module.messaging.waiters == {}


def test_values_json_cannot_carry_are_refused_before_sending(module, addin):
    with pytest.raises(UnrepresentableValue, match="key 1 of type int"):
        module.messaging.send_request_sync(
            {"method": "SET", "name": "v", "value": {"type": "Dict", "value": {1: {"type": "Null"}}}})
    pending = in_thread(module.messaging.send_request_sync,
                        {"method": "SET", "name": "v", "value": {"type": "Float", "value": float("nan")}})
    request = recv(addin)  # the refused request never reached the wire
    assert request["value"] == {"type": "Float", "value": "NaN"}
    answer(addin, request, result={"type": "Null"})
    pending.result(WAIT)


HOSTILE = [
    "not json at all",
    "{\"kind\": \"excel_response\", \"requestId\": \"r\", \"ok\": true, \"result\": {\"v\": NaN}}",
    "[1, 2, 3]",
    "{\"kind\": \"launch_missiles\"}",
    "{\"kind\": \"excel_response\", \"requestId\": 12, \"ok\": true}",
    "{\"kind\": \"callback\", \"callableId\": \"x\"}",
    "x" * 5000,
    b"\x00\x01binary",
]


def test_hostile_frames_are_counted_and_dropped_and_serving_goes_on(module, kernel, addin, caplog):
    for junk in HOSTILE:
        addin.send(junk)
    pending = in_thread(module.messaging.send_request_sync, {"method": "GET", "name": "x"})
    answer(addin, recv(addin), result={"type": "Int", "value": 1})
    assert pending.result(WAIT)["result"]["value"] == 1
    dropped = kernel.stats()["dropped"]
    assert dropped == {"malformed_json": 2, "not_an_object": 1, "unknown_kind": 1, "bad_member": 2,
                       "oversized": 1, "binary": 1}
    assert "dropped frame from the add-in (oversized #1)" in caplog.text
    assert kernel.connection_count == 1


def test_a_malformed_response_fails_its_caller_at_once(module, addin):
    pending = in_thread(module.messaging.send_request_sync, {"method": "GET", "name": "x"})
    answer(addin, recv(addin), ok=False, error="boom")
    with pytest.raises(RuntimeError, match="Malformed response from the Excel add-in: 'error' is str"):
        pending.result(WAIT)
    pending = in_thread(module.messaging.send_request_sync, {"method": "GET", "name": "x"})
    answer(addin, recv(addin), ok=True)
    with pytest.raises(RuntimeError, match="'result' is missing"):
        pending.result(WAIT)


def nested(depth):
    return "[" * depth + "]" * depth


def wire_nested(depth):
    return '{"type":"Array","isSpec":false,"value":[' * depth + "]}" * depth


UNREADABLE = r"answer cannot be read \(malformed_json\): "


@pytest.mark.parametrize("result, reason, expected", [
    (nested(100_000), "malformed_json", UNREADABLE),
    (wire_nested(600), "malformed_json", UNREADABLE),
    ('{"type":"Int","value":1,}', "malformed_json", UNREADABLE),
    ('{"type":"String","value":"' + "x" * 8 * 2**20 + '"}', "oversized",
     r"answer is too large for the kernel \(\d+ characters, the limit is 8388608\)"),
], ids=["nested", "deep-wire", "invalid", "oversized"])
def test_an_answer_that_cannot_be_read_fails_its_caller_at_once_with_the_reason(module, result, reason, expected):
    with Kernel(module=module) as k, connect(k.url, compression=None, open_timeout=60) as ws:
        k.wait_connected(WAIT)
        pending = in_thread(module.messaging.send_request_sync, {"method": "GET", "name": "values"})
        request_id = recv(ws)["requestId"]
        ws.send(f'{{"kind":"excel_response","requestId":"{request_id}","ok":true,"result":{result}}}')
        with pytest.raises(RuntimeError, match=expected):
            pending.result(WAIT)  # far below the call's own 30 s time-out
        assert k.stats()["dropped"] == {reason: 1}


def test_frames_beyond_the_transport_limit_close_the_connection_only(module, kernel, addin):
    addin.send("y" * 10_000)
    with pytest.raises(ConnectionClosed):
        addin.recv(timeout=WAIT)
    assert addin.close_code == 1009
    with connect(kernel.url, compression=None, open_timeout=60) as again:
        kernel.wait_connected(WAIT, count=2)
        pending = in_thread(module.messaging.send_request_sync, {"method": "GET", "name": "x"})
        answer(again, recv(again), result={"type": "Null"})
        assert pending.result(WAIT)["ok"] is True
    assert kernel.stats()["dropped"]["oversized"] == 1


def test_disconnect_cancels_waiting_calls_and_starts_a_new_epoch(module, kernel, addin, caplog):
    old_epoch = module.messaging._guid
    pending = [in_thread(module.messaging.send_request_sync, {"method": "GET", "name": str(i)}) for i in range(3)]
    for _ in pending:
        recv(addin)
    addin.close()
    for future in pending:
        with pytest.raises(concurrent.futures.CancelledError):
            future.result(WAIT)
    assert module.messaging.waiters == {} and module.messaging._guid != old_epoch
    assert not kernel.connected
    warnings = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert warnings == ["add-in connection 1 ended: connection closed (code 1000); 3 waiting calls cancelled"]


def test_a_new_connection_replaces_the_old_one(module, kernel, addin):
    pending = in_thread(module.messaging.send_request_sync, {"method": "GET", "name": "x"})
    recv(addin)
    with connect(kernel.url, compression=None, open_timeout=60) as second:
        kernel.wait_connected(WAIT, count=2)
        with pytest.raises(concurrent.futures.CancelledError):
            pending.result(WAIT)
        with pytest.raises(ConnectionClosed):
            addin.recv(timeout=WAIT)
        assert addin.close_code == 1012
        pending = in_thread(module.messaging.send_request_sync, {"method": "GET", "name": "y"})
        request = recv(second)
        assert request["name"] == "y"
        answer(second, request, result={"type": "Null"})
        assert pending.result(WAIT)["ok"] is True


def test_answers_nobody_waits_for_release_their_objects(addin):
    addin.send(json.dumps({"kind": "excel_response", "requestId": "f" * 32, "ok": True, "result": {
        "type": "Array", "id": 40, "isSpec": False, "value": [
            {"type": "Range", "value": 41, "isSpec": True},
            {"type": "Dict", "id": 42, "value": {"k": {"type": "Worksheet", "value": 43, "isSpec": True}}},
            {"type": "Int", "value": 44}, {"type": "Array", "id": -1, "isSpec": False, "value": []}]}}))
    assert recv(addin) == {"kind": "release", "ids": [40, 41, 42, 43]}


def orphan_answer(first_id, count):
    refs = [{"type": "Range", "value": first_id + i, "isSpec": True} for i in range(count)]
    return json.dumps({"kind": "excel_response", "requestId": uuid.uuid4().hex, "ok": True,
                       "result": {"type": "Array", "value": refs, "isSpec": False}})


def wait_for(condition, timeout=None):
    """A bounded poll: the machine may be loaded, so the bound is generous."""
    timeout = WAIT * 2 if timeout is None else timeout
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "condition not reached in time"
        time.sleep(0.01)


def test_orphan_releases_per_answer_are_capped(monkeypatch, kernel, addin):
    monkeypatch.setattr(dispatch, "MAX_ORPHANS_PER_FRAME", 3)
    addin.send(orphan_answer(100, 5))
    assert recv(addin) == {"kind": "release", "ids": [100, 101, 102]}
    wait_for(lambda: kernel.stats()["orphans_released"] == 3)
    assert kernel.stats()["orphans_kept"] == 2


def test_frames_that_fail_inside_the_kernel_are_logged_like_drops(monkeypatch, kernel, addin, caplog):
    monkeypatch.setattr(dispatch, "collect_object_ids", lambda wire, out: 1 / 0)
    for _ in range(25):
        addin.send(orphan_answer(10, 1))
    wait_for(lambda: kernel.stats()["dropped"].get("internal_error") == 25)
    logged = [r for r in caplog.records if "internal_error" in r.getMessage()]
    assert len(logged) == 20 and all(r.exc_info[0] is ZeroDivisionError for r in logged)


def test_an_addin_that_stops_reading_is_dropped_once_writes_stall(module):
    with Kernel(module=module, send_timeout=0.5) as k, \
            connect(k.url, compression=None, max_queue=1, max_size=2**24, close_timeout=0.5, open_timeout=60) as silent:
        k.wait_connected(WAIT)
        pending = in_thread(module.messaging.send_request_sync, {"method": "GET", "name": "x"})
        # Each answer nobody waits for makes the kernel release 5000 orphans
        # (about 60 kB), more than loopback buffers hold once the add-in
        # stops reading.
        for batch in range(400):
            try:
                silent.send(orphan_answer(1000 + 5000 * batch, 5000))
            except ConnectionClosed:  # the kernel gave up on us
                break
        # The reader may see the cut socket (1006) before the stalled
        # writer counts its time-out: wait for the count itself.
        wait_for(lambda: k.stats()["write_timeouts"] == 1)
        wait_for(lambda: not k.connected)
        with pytest.raises(concurrent.futures.CancelledError):
            pending.result(WAIT)


def test_close_is_prompt_and_leaves_no_thread_while_dels_are_in_flight(module):
    before = set(threading.enumerate())  # a session-wide kernel of other tests may be running
    k = Kernel(module=module).start()
    with connect(k.url, compression=None, max_queue=1, max_size=2**24, close_timeout=0.5, open_timeout=60) as silent:
        k.wait_connected(WAIT)
        for batch in range(20):  # 100k orphans to release, to an add-in that reads nothing
            silent.send(orphan_answer(1000 + 5000 * batch, 5000))
        wait_for(lambda: k.stats()["orphans_released"] >= 20_000)
        k.close()
        assert [t.name for t in set(threading.enumerate()) - before if t.name.startswith("velmara-")] == []


def callback(ws, callable_id, *args, call_id="call-1"):
    ws.send(json.dumps({"kind": "callback", "callId": call_id, "callableId": callable_id,
                        "args": [{"type": "Any", "value": a} for a in args]}))
    return recv(ws)


def test_callbacks_run_on_the_worker_pool_and_answer(module, addin):
    seen = {}

    def add(a, b):
        seen["thread"] = threading.current_thread().name
        return a + b

    callable_id = module.messaging.register_callable(add)
    reply = callback(addin, callable_id, 2, 3)
    assert reply == {"kind": "callback_result", "callId": "call-1", "ok": True,
                     "result": {"type": "Echo", "value": 5, "isSpec": False}}
    assert seen["thread"].startswith("velmara-callback")


@pytest.mark.parametrize("make, text", [
    (lambda m: "pyfunc_00000000_99", "LookupError: No Python callable is registered under 'pyfunc_00000000_99'"),
    (lambda m: m.register_callable(lambda: 1 / 0), "ZeroDivisionError: division by zero"),
    (lambda m: m.register_callable(lambda a, b: None),
     "TypeError: <lambda>.<locals>.<lambda>() missing 2 required positional"),
    (lambda m: m.register_callable(lambda: "x\udcff"),
     "UnrepresentableValue: cannot send to the Excel add-in: text holding"),
    (lambda m: m.register_callable(lambda: (_ for _ in ()).throw(ValueError("x\udcff"))), "ValueError: x\\udcff"),
])
def test_failing_callbacks_answer_with_the_error_text(module, addin, make, text):
    reply = callback(addin, make(module.messaging))
    assert reply["ok"] is False and reply["error"]["message"].startswith(text)


def test_a_failing_callback_is_logged_with_its_traceback(module, addin, caplog):
    def broken():
        return {}["missing"]

    assert callback(addin, module.messaging.register_callable(broken))["ok"] is False
    [record] = [r for r in caplog.records if "callback call-1 failed" in r.getMessage()]
    assert record.exc_info[0] is KeyError and "in broken" in caplog.text


def test_callback_results_follow_the_json_rule(module, addin):
    module.Serializer = type("FloatSerializer", (PassThroughSerializer,), {
        "to_wire": staticmethod(lambda v: {"type": "Float", "value": v, "isSpec": False})})
    reply = callback(addin, module.messaging.register_callable(lambda: float("-inf")))
    assert reply["ok"] is True and reply["result"]["value"] == "-Infinity"


def test_a_malformed_invocation_is_answered_with_a_failure(addin):
    addin.send(json.dumps({"kind": "callback", "callId": "c9", "callableId": "pyfunc_x_1", "args": [5]}))
    reply = recv(addin)
    assert reply["callId"] == "c9" and reply["ok"] is False
    assert "Malformed callback invocation: 'args'" in reply["error"]["message"]


def test_a_callback_may_make_requests_while_the_listener_serves_them(module, addin):
    def nested():
        return module.messaging.send_request_sync({"method": "GET", "name": "inner"})["result"]["value"]

    addin.send(json.dumps({"kind": "callback", "callId": "c1", "callableId": module.messaging.register_callable(nested),
                           "args": []}))
    request = recv(addin)
    assert request["name"] == "inner"
    answer(addin, request, result={"type": "Int", "value": 11})
    assert recv(addin)["result"]["value"] == 11


def test_the_listener_thread_never_waits_for_a_response(module, kernel, addin):
    outcome = concurrent.futures.Future()

    def on_listener():
        try:
            module.messaging.send_request_sync({"method": "DEL", "caller": 3}, timeout=0)
            module.messaging.send_request_sync({"method": "GET", "name": "x"})
        except Exception as exc:  # noqa: BLE001 - whatever it raises is for the test to judge
            outcome.set_result(exc)

    # Whatever the listener does with a frame runs on it: a diag_result will do.
    kernel._dispatch.on_diag_result = lambda message: on_listener()
    addin.send(json.dumps({"kind": "diag_result", "diagId": "d1"}))
    error = outcome.result(WAIT)
    assert isinstance(error, RuntimeError) and "listener thread" in str(error)
    assert recv(addin) == {"kind": "release", "ids": [3]}


def test_handshakes_need_the_token_and_no_foreign_origin(module, caplog):
    caplog.set_level(logging.DEBUG)  # the transport library logs request lines at DEBUG
    page = "https://127.0.0.1:3000"
    with Kernel(module=module, allowed_origins=[page]) as k:
        assert len(k.token) >= 32 and k.url == f"{k.address}/{k.token}"
        refused = [(k.address, None), (k.address + "/" + k.token[:-1], None), (k.url + "/", None),
                   (k.url, "https://evil.example"), (k.url, "null")]
        for url, origin in refused:
            with pytest.raises(InvalidStatus) as info:
                connect(url, origin=origin, open_timeout=60)
            assert info.value.response.status_code == 403
        assert k.connection_count == 0
        with connect(k.url, origin=page, open_timeout=60):
            k.wait_connected(WAIT)
        with connect(k.url, open_timeout=60):
            k.wait_connected(WAIT, count=2)
        assert k.stats()["refused"] == {"wrong_token": 3, "foreign_origin": 2}
    server_side = [r.getMessage() for r in caplog.records if r.name != "websockets.client"]
    assert any("refused a connection" in line and "wrong_token #3" in line for line in server_side)
    assert any("GET /<token>" in line for line in server_side)
    assert not [line for line in server_side if k.token in line]


@pytest.mark.parametrize("token", ["", "has space", "a/b", "ünï"])
def test_a_token_must_fit_in_a_url_path(module, token):
    with pytest.raises(ValueError, match="kernel token"):
        Kernel(module=module, token=token)


def test_only_loopback_addresses_are_served(module):
    with pytest.raises(ValueError, match="loopback"):
        Kernel("0.0.0.0", module=module)


def test_close_resets_and_unregisters_the_handler(module):
    before = set(threading.enumerate())
    k = Kernel(module=module).start()
    with connect(k.url, open_timeout=60) as ws:
        k.wait_connected(WAIT)
        ws.send(json.dumps({"kind": "callback", "callId": "c", "callableId": module.messaging.register_callable(int)}))
        recv(ws)  # the pool has a thread now
        assert module.messaging._send_handler is not None
        k.close()
    assert module.messaging._send_handler is None
    # The test's own client may still be winding its keepalive thread down.
    left = set(threading.enumerate()) - before
    for t in left:
        t.join(timeout=WAIT)
    assert [t.name for t in left if t.is_alive()] == []


def test_a_finalizer_may_send_its_del_wherever_python_code_runs(module, kernel):
    # The garbage collector can finalize a proxy whenever Python code runs;
    # model it by sending a DEL at every Python call site (once per site, or
    # the DELs' own traffic would feed this forever) on the kernel's threads
    # and on a worker. Python code run under a lock that the DEL path also
    # takes (a Counter's __missing__, say) deadlocks that thread for good.
    local = threading.local()
    ours = ("velmara-", "finalizing-worker")
    sites = set()

    def finalize_here(frame, event, arg):
        if event != "call" or getattr(local, "busy", False) or not threading.current_thread().name.startswith(ours):
            return
        site = (frame.f_back and frame.f_back.f_code, frame.f_code)
        if site not in sites:
            sites.add(site)
            local.busy = True
            try:
                module.messaging.send_request_sync({"method": "DEL", "name": "__del__", "caller": 99}, timeout=0)
            finally:
                local.busy = False

    pending = concurrent.futures.Future()
    worker = threading.Thread(name="finalizing-worker", daemon=True, target=lambda: pending.set_result(
        module.messaging.send_request_sync({"method": "GET", "name": "x"})))
    with connect(kernel.url, compression=None, max_queue=None, open_timeout=60) as addin:  # reads every DEL sent
        kernel.wait_connected(WAIT)
        threading.settrace_all_threads(finalize_here)
        try:
            addin.send(b"\x00binary")  # a drop reason counted for the first time
            addin.send(json.dumps({"kind": "callback", "callId": "c1", "callableId": "pyfunc_x_1", "args": []}))
            worker.start()
            requests = iter(lambda: recv(addin), None)
            request = next(r for r in requests if r.get("method") == "GET")
            answer(addin, request, result={"type": "Int", "value": 5})
            assert pending.result(WAIT)["result"]["value"] == 5
        finally:
            threading.settrace_all_threads(None)
    stats = kernel.stats()
    assert stats["dropped"]["binary"] == 1 and stats["requests"] == 1 and stats["callbacks"] == 1
    assert stats["dels"] > 0


def test_callbacks_past_the_pool_bound_are_refused_at_once(module):
    release = threading.Event()
    with (Kernel(module=module, workers=1, max_queued_callbacks=2) as k,
          connect(k.url, compression=None, open_timeout=60) as ws):
        k.wait_connected(WAIT)
        slow = module.messaging.register_callable(lambda: release.wait(WAIT))
        for call_id in ("c1", "c2", "c3"):
            ws.send(json.dumps({"kind": "callback", "callId": call_id, "callableId": slow, "args": []}))
        refused = recv(ws)  # c1 runs, c2 waits, c3 finds no room
        assert refused["callId"] == "c3" and refused["ok"] is False
        assert "the Python kernel is busy (2 callbacks are running or waiting)" in refused["error"]["message"]
        release.set()
        assert sorted(recv(ws)["callId"] for _ in range(2)) == ["c1", "c2"]
        assert k.stats()["callbacks_refused"] == 1


def test_repeated_warnings_are_rate_limited_with_a_count_of_those_left_out(caplog):
    now = [0.0]
    quiet = counters.QuietLog(logging.getLogger("test.quiet"), burst=2, interval=10, clock=lambda: now[0])
    logged = [quiet.warning("callback_failed", "callback %s failed", n) for n in range(5)]
    logged.append(quiet.warning("other", "another kind"))
    now[0] = 11.0
    logged.append(quiet.warning("callback_failed", "callback %s failed", 5))
    assert logged == [True, True, False, False, False, True, True]
    assert [r.getMessage() for r in caplog.records] == [
        "callback 0 failed", "callback 1 failed", "another kind",
        "callback 5 failed (3 more like this suppressed)"]


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="counts descriptors through /proc")
def test_a_closed_kernel_gives_back_every_descriptor(module):
    def open_descriptors():
        return len(os.listdir("/proc/self/fd"))

    Kernel(module=module).start().close()  # first use opens what stays open for good (imports, loggers)
    before = open_descriptors()
    for _ in range(5):
        k = Kernel(module=module).start()
        with connect(k.url, open_timeout=60):
            k.wait_connected(WAIT)
        k.close()
    assert open_descriptors() == before
