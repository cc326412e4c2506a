"""Many threads, reset, interrupts during the wait, and code that runs
while the tables are being changed."""

import concurrent.futures
import gc
import os
import queue
import random
import signal
import threading
import types
from typing import ClassVar

import pytest

import com_like
from velmara_master.python_server.velmara.testing import ThreadedHost, wait_entered

# --- many callers, one listener --------------------------------------------


def test_each_caller_gets_exactly_its_own_response(m):
    threads, per_thread = 8, 150
    inbox = queue.SimpleQueue()
    stop = object()
    rng = random.Random(7)

    def listener():
        done = False
        while not done:
            batch = [inbox.get()]
            while True:  # take what is there and answer it out of order
                try:
                    batch.append(inbox.get_nowait())
                except queue.Empty:
                    break
            rng.shuffle(batch)
            for envelope in batch:
                if envelope is stop:
                    done = True
                    continue
                m.on_message({"requestId": envelope["requestId"], "ok": True, "result": envelope["caller"]})

    m.set_send_handler(inbox.put)
    listening = threading.Thread(target=listener, daemon=True)
    listening.start()
    barrier = threading.Barrier(threads)
    mismatches = []
    counts = [0] * threads

    def worker(index):
        barrier.wait()
        for n in range(per_thread):
            token = (index, n)
            response = m.send_request_sync({"method": "GET", "caller": token}, 10)
            if response["result"] != token:
                mismatches.append((token, response["result"]))
            counts[index] += 1

    workers = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    for t in workers:
        t.start()
    for t in workers:
        t.join(60)
    inbox.put(stop)
    listening.join(60)
    assert mismatches == []
    assert counts == [per_thread] * threads
    assert m.waiters == {}


def test_round_trips_through_the_in_process_host(m):
    with ThreadedHost(m, keep=False) as host:
        results = []
        barrier = threading.Barrier(8)

        def worker():
            barrier.wait()
            for _ in range(50):
                results.append(m.send_request_sync({"method": "GET"}, 10)["ok"])

        workers = [threading.Thread(target=worker) for _ in range(8)]
        for t in workers:
            t.start()
        for t in workers:
            t.join(60)
    assert results == [True] * 400
    assert host.errors == []
    assert m.waiters == {}


# --- reset -----------------------------------------------------------------


def _stand_in_roots(monkeypatch, guid):
    roots = {name: types.SimpleNamespace(_msg_guid=guid) for name in ("Context", "Excel", "GetSetting")}
    for name, root in roots.items():
        monkeypatch.setitem(vars(com_like), name, root)
    return roots


def test_reset_cancels_every_waiting_call_at_once(m, monkeypatch):
    old = m._guid
    roots = _stand_in_roots(monkeypatch, old)
    m.register_callable(len)
    m.register_callable(print)
    arrived = threading.Semaphore(0)
    m.set_send_handler(lambda envelope: arrived.release())
    outcomes = []

    def waiter():
        try:
            m.send_request_sync({"method": "GET"}, 600)
        except BaseException as exc:  # noqa: BLE001 - whatever the call raises is the outcome under test
            outcomes.append(exc)

    threads = [threading.Thread(target=waiter, daemon=True) for _ in range(6)]
    for t in threads:
        t.start()
    for _ in threads:
        assert arrived.acquire(timeout=60)
    assert len(m.waiters) == 6
    waiters = list(m.waiters.values())
    assert m.reset() is None
    for t in threads:
        t.join(60)  # they wait 600 s unless the reset woke them
        assert not t.is_alive()
    assert len(outcomes) == 6
    assert all(type(exc) is concurrent.futures.CancelledError for exc in outcomes)
    assert all(w.cancelled() for w in waiters)
    assert m.waiters == {}
    assert m._guid != old and len(m._guid) == 32 and int(m._guid, 16) >= 0
    assert m._callable_registry == {} and m._next_callable_id == 1
    assert roots["Context"]._msg_guid == m._guid
    assert roots["Excel"]._msg_guid == m._guid
    assert roots["GetSetting"]._msg_guid == old
    assert m._send_handler is not None  # reset keeps the handler


@pytest.mark.skipif(not hasattr(com_like, "Context"), reason="root proxies not built yet")
def test_reset_restamps_the_real_root_proxies(monkeypatch):
    old = com_like.messaging._guid
    # put the module's epoch back afterwards: later tests expect one epoch
    monkeypatch.setattr(com_like.messaging, "_guid", old)
    monkeypatch.setattr(com_like.Context, "_msg_guid", old)
    monkeypatch.setattr(com_like.Excel, "_msg_guid", old)
    com_like.messaging.reset()
    new = com_like.messaging._guid
    assert new != old
    assert com_like.Context._msg_guid == new and com_like.Excel._msg_guid == new
    assert com_like.GetSetting._msg_guid == old


def test_reset_without_root_proxies(m, monkeypatch):
    for name in ("Context", "Excel"):
        monkeypatch.delitem(vars(com_like), name, raising=False)
    old = m._guid
    assert m.reset() is None
    assert m._guid != old


class Refusing:
    def __init__(self, exc):
        object.__setattr__(self, "exc", exc)

    def __setattr__(self, name, value):
        raise self.exc


def test_reset_swallows_exceptions_of_the_restamp(m, monkeypatch):
    excel = types.SimpleNamespace(_msg_guid=None)
    monkeypatch.setitem(vars(com_like), "Context", Refusing(ValueError("read-only")))
    monkeypatch.setitem(vars(com_like), "Excel", excel)
    assert m.reset() is None
    assert excel._msg_guid == m._guid  # Excel is re-stamped after Context failed


def test_reset_lets_an_interrupt_of_the_restamp_through(m, monkeypatch):
    stop = KeyboardInterrupt()
    monkeypatch.setitem(vars(com_like), "Context", Refusing(stop))
    with pytest.raises(KeyboardInterrupt) as info:
        m.reset()
    assert info.value is stop


def test_reset_leaves_completed_waiters_alone(m, pending):
    p = pending()
    waiter = m.waiters[p.request_id]
    waiter.set_result("done before")
    m.reset()
    assert not waiter.cancelled() and m.waiters == {}
    assert p.outcome() == ("done before", None)


# --- interrupts during the wait --------------------------------------------


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(), reason="signals need the main thread")
def test_an_interrupt_during_the_wait_removes_the_waiter(m):
    interrupt = KeyboardInterrupt("stop waiting")
    sent = threading.Event()
    waiting = []
    envelopes = []

    def on_signal(signum, frame):
        raise interrupt

    def handler(envelope):
        envelopes.append(envelope)
        waiting.append(wait_entered(m.waiters[envelope["requestId"]]))
        sent.set()

    def interrupter(main_ident):
        if sent.wait(60) and waiting[0].wait(60):
            signal.pthread_kill(main_ident, signal.SIGUSR1)

    previous = signal.signal(signal.SIGUSR1, on_signal)
    try:
        m.set_send_handler(handler)
        threading.Thread(target=interrupter, args=(threading.get_ident(),), daemon=True).start()
        # Only the interrupt can end this wait with KeyboardInterrupt; a missed
        # signal would end it with the time-out error instead.
        with pytest.raises(KeyboardInterrupt) as info:
            m.send_request_sync({"method": "GET"}, 60)
    finally:
        signal.signal(signal.SIGUSR1, previous)
    assert info.value is interrupt
    assert m.waiters == {}
    assert m.on_message({"requestId": envelopes[0]["requestId"], "ok": True}) is None
    m.set_send_handler(lambda envelope: m.on_message({"requestId": envelope["requestId"], "ok": True}))
    assert m.send_request_sync({"method": "GET"})["ok"] is True


# --- no foreign code under the waiters lock --------------------------------


def _nested_sender(m):
    """A send handler that answers "NESTED" requests during the handler call
    and leaves every other request waiting."""
    arrived = threading.Semaphore(0)

    def handler(envelope):
        if envelope.get("method") == "NESTED":
            m.on_message({"requestId": envelope["requestId"], "ok": True, "result": "nested"})
        else:
            arrived.release()

    m.set_send_handler(handler)
    return arrived


def _wait_in_thread(m):
    box = []

    def run():
        try:
            box.append(m.send_request_sync({"method": "GET"}, 120))
        except BaseException as exc:  # noqa: BLE001 - whatever the call raises is the outcome under test
            box.append(exc)

    t = threading.Thread(target=run, daemon=True)
    t.start()
    return t, box


def test_a_done_callback_that_sends_during_reset(m, in_thread):
    arrived = _nested_sender(m)
    t, box = _wait_in_thread(m)
    assert arrived.acquire(timeout=60)
    nested = []
    (waiter,) = m.waiters.values()
    waiter.add_done_callback(lambda f: nested.append(m.send_request_sync({"method": "NESTED"})["result"]))
    finished, _, error = in_thread(m.reset)
    assert finished, "reset deadlocked"
    assert error is None and nested == ["nested"]
    t.join(60)
    assert type(box[0]) is concurrent.futures.CancelledError
    assert m.waiters == {}


def test_a_done_callback_that_sends_during_on_message(m, in_thread):
    arrived = _nested_sender(m)
    t, box = _wait_in_thread(m)
    assert arrived.acquire(timeout=60)
    nested = []
    ((ident, waiter),) = m.waiters.items()
    waiter.add_done_callback(lambda f: nested.append(m.send_request_sync({"method": "NESTED"})["result"]))
    finished, _, error = in_thread(lambda: m.on_message({"requestId": ident, "ok": True, "result": "outer"}))
    assert finished, "on_message deadlocked"
    assert error is None and nested == ["nested"]
    t.join(60)
    assert box[0]["result"] == "outer"


class SendingWaiter:
    """A waiter whose done() and cancel() run code that sends a request."""

    def __init__(self, m):
        self.m = m
        self.results = []

    def done(self):
        self.results.append(self.m.send_request_sync({"method": "NESTED"})["result"])
        return False

    def cancel(self):
        self.results.append(self.m.send_request_sync({"method": "NESTED"})["result"])
        return True


class SendingOnDelete:
    """A table entry whose finalizer sends a request."""

    log: ClassVar[list[str]] = []

    def __init__(self, m):
        self.m = m

    def done(self):
        return True

    def __del__(self):
        SendingOnDelete.log.append(self.m.send_request_sync({"method": "NESTED"})["result"])


def test_waiters_running_code_during_reset(m, in_thread):
    _nested_sender(m)
    talker = SendingWaiter(m)
    m.waiters["a" * 32] = talker
    m.waiters["b" * 32] = SendingOnDelete(m)
    SendingOnDelete.log.clear()
    finished, _, error = in_thread(m.reset)
    assert finished, "reset deadlocked"
    assert error is None
    assert talker.results == ["nested", "nested"]
    assert SendingOnDelete.log == ["nested"]
    assert m.waiters == {}


def test_a_finalizer_of_a_popped_entry_during_on_message(m, in_thread):
    _nested_sender(m)
    m.waiters["c" * 32] = SendingOnDelete(m)
    SendingOnDelete.log.clear()
    finished, result, error = in_thread(lambda: m.on_message({"requestId": "c" * 32, "ok": False}))
    assert finished, "on_message deadlocked"
    assert error is None and result is None
    assert SendingOnDelete.log == ["nested"]


def test_a_failing_waiter_does_not_stop_the_cancel_sweep(m, pending):
    class Interrupting:
        def done(self):
            raise KeyboardInterrupt("in done()")

    p = pending(timeout=30)
    m.waiters = {"0" * 32: Interrupting(), **m.waiters}
    m.register_callable(len)
    old = m._guid
    with pytest.raises(KeyboardInterrupt, match="in done"):
        m.reset()
    _, error = p.outcome()  # the real waiter was still cancelled
    assert type(error) is concurrent.futures.CancelledError
    assert m.waiters == {}
    # and every later step of the reset was still carried out
    assert m._guid != old
    assert m._callable_registry == {} and m._next_callable_id == 1
    assert com_like.Context._msg_guid == com_like.Excel._msg_guid == m._guid


def test_garbage_collection_during_reset_may_send(m, in_thread):
    sent = []
    busy = threading.local()

    def on_gc(phase, info):
        if phase == "start" and not getattr(busy, "on", False) and len(sent) < 20:
            busy.on = True
            try:
                sent.append(m.send_request_sync({"method": "NESTED"})["result"])
            finally:
                busy.on = False

    arrived = _nested_sender(m)
    threads = [_wait_in_thread(m) for _ in range(4)]
    for _ in threads:
        assert arrived.acquire(timeout=60)
    thresholds = gc.get_threshold()
    gc.callbacks.append(on_gc)
    gc.set_threshold(1)
    try:
        finished, _, error = in_thread(m.reset)
    finally:
        gc.set_threshold(*thresholds)
        gc.callbacks.remove(on_gc)
    assert finished, "reset deadlocked"
    assert error is None and sent and set(sent) == {"nested"}
    for t, box in threads:
        t.join(60)
        assert type(box[0]) is concurrent.futures.CancelledError


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_fork_child_draws_other_ids_than_its_parent():
    r, w = os.pipe()
    com_like.Messaging()  # the pool of this thread is filled
    pid = os.fork()
    if pid == 0:  # pragma: no cover - child
        try:
            os.write(w, com_like.Messaging()._guid.encode())
        finally:
            os._exit(0)
    os.close(w)
    parent = com_like.Messaging()._guid
    os.waitpid(pid, 0)
    child = os.read(r, 64).decode()
    os.close(r)
    assert len(child) == 32 and child != parent
