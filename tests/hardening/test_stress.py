"""Many threads against a host that misbehaves in every way it may.

The host's listener thread delivers responses late, out of order, twice or
never, and resets the messaging state at random moments. Whatever happens,
each call ends with its own response or with one of the documented errors,
within its time-out, and the tables are clean when the load stops.
"""

from __future__ import annotations

import collections
import concurrent.futures
import gc
import random
import threading
import time

import pytest

import com_like
from velmara_master.python_server.velmara.testing import ThreadedHost

THREADS = 16
LOAD_SECONDS = 2.5
# Under load fewer calls fit into LOAD_SECONDS: the load goes on, this much
# longer at most, until everything the checks rely on has happened.
LOAD_LIMIT = 60.0
# Generous: 16 threads share two cores and the interpreter lock with
# whatever else runs on the machine (a load of 15 deschedules a thread for
# seconds). What this catches is a call that waits on well past its time-out.
LATE_BY = 30.0
TIMEOUT_TEXT = "Timed out waiting for Office.js response"
STALE_TEXT = "Excel Object used after messaging context was stopped"


class FlakyHost(ThreadedHost):
    """The shared threaded host, answering badly.

    The listener answers what is queued in random order, some answers late,
    and resets now and then. The handler itself drops some envelopes and
    queues some twice. DEL is acknowledged on the spot by the handler, on
    whatever thread the finalizer runs, as a host must do for the listener
    thread's own finalizers.
    """

    def __init__(self, messaging, *, seed, drop=0.05, duplicate=0.1, reset=0.01, collect=0.0):
        super().__init__(messaging, self._answer, keep=False, batches=True, name="listener")
        self.rng = random.Random(seed)
        self.lock = threading.Lock()  # the random generator and the counters
        self.drop, self.duplicate, self.reset, self.collect = drop, duplicate, reset, collect
        self.next_object = 10**9
        self.dels: collections.Counter = collections.Counter()
        self.del_threads: collections.Counter = collections.Counter()
        self.resets = 0

    def __call__(self, envelope):
        if envelope.get("method") == "DEL":
            with self.lock:
                self.dels[envelope["caller"]] += 1
                self.del_threads["listener" if threading.current_thread() is self.listener.thread else "worker"] += 1
            self.messaging.on_message({"requestId": envelope["requestId"], "ok": True})
            return
        with self.lock:
            roll = self.rng.random()
        if roll < self.drop:
            return
        self.listener.put(envelope)
        if roll < self.drop + self.duplicate:
            self.listener.put(envelope)

    def _answer(self, envelope):
        if envelope.get("fail"):
            return {"ok": False, "error": {"message": f"boom {envelope['token']}"}}
        if envelope.get("method") == "GET" and envelope.get("name") == "workbook":
            with self.lock:
                self.next_object += 1
                object_id = self.next_object
            result = {"type": "Workbook", "value": object_id, "isSpec": True}
        else:
            result = {"type": "Null", "value": None, "isSpec": False}
        return {"ok": True, "token": envelope.get("token"), "result": result}

    def respond_all(self, envelopes):
        with self.lock:
            self.rng.shuffle(envelopes)
            rolls = [(self.rng.random(), self.rng.random()) for _ in envelopes]
        for envelope, (roll, lateness) in zip(envelopes, rolls, strict=True):
            if roll < 0.3:
                time.sleep(lateness * 0.003)  # a late answer, not a wait for anything
            if roll < self.reset:
                self.messaging.reset()
                self.resets += 1
            if self.collect and roll < self.collect:
                gc.collect()
            self.respond(envelope)


class Outcomes:
    def __init__(self):
        self.lock = threading.Lock()
        self.counts: collections.Counter = collections.Counter()
        self.violations: list[str] = []

    def count(self, kind):
        with self.lock:
            self.counts[kind] += 1

    def violation(self, text):
        with self.lock:
            self.violations.append(text)

    def seen(self, kinds):
        return all(self.counts[kind] > 0 for kind in kinds)


def _going(deadline, done):
    """True until `deadline`, then until `done()` or LOAD_LIMIT more seconds."""
    now = time.monotonic()
    return now < deadline or (now < deadline + LOAD_LIMIT and not done())


def _run_threads(target, count=THREADS):
    start = threading.Barrier(count)
    threads = [threading.Thread(target=target, args=(i, start), name=f"worker-{i}") for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=LOAD_SECONDS + LOAD_LIMIT + 60)
    alive = [t.name for t in threads if t.is_alive()]
    assert not alive, f"threads still blocked: {alive}"


ENDINGS = ("answered", "timeout", "cancelled", "remote error")


def test_every_call_ends_with_its_own_response_or_a_documented_error():
    m = com_like.messaging
    outcomes = Outcomes()
    registered: dict[str, object] = {}
    registered_lock = threading.Lock()

    def worker(i, start):
        rng = random.Random(i)
        start.wait()
        deadline = time.monotonic() + LOAD_SECONDS
        n = 0
        while _going(deadline, lambda: outcomes.seen(ENDINGS)):
            n += 1
            token = f"{i}-{n}"
            fail = rng.random() < 0.1
            timeout = rng.choice((0.0, 0.005, 0.02, 0.05))
            body = {"method": "GET", "name": "value", "caller": i, "token": token, "fail": fail}
            began = time.monotonic()
            try:
                response = m.send_request_sync(body, timeout)
            except TimeoutError as exc:
                outcomes.count("timeout")
                if str(exc) != TIMEOUT_TEXT:
                    outcomes.violation(f"{token}: time-out text {exc}")
            except concurrent.futures.CancelledError:
                outcomes.count("cancelled")
            except RuntimeError as exc:
                outcomes.count("remote error")
                if str(exc) != f"boom {token}":
                    outcomes.violation(f"{token}: got someone else's error {exc}")
            except BaseException as exc:  # noqa: BLE001 - anything else is a violation to report
                outcomes.violation(f"{token}: undocumented {type(exc).__name__}: {exc}")
            else:
                outcomes.count("answered")
                if fail or response.get("token") != token:
                    outcomes.violation(f"{token}: got the response {response}")
            waited = time.monotonic() - began
            if waited > timeout + LATE_BY:
                outcomes.violation(f"{token}: waited {waited:.3f}s with a time-out of {timeout}")
            if n % 7 == 0:

                def callback(n=n):
                    return n

                callable_id = m.register_callable(callback)
                with registered_lock:
                    registered[callable_id] = callback
                if n % 3 == 0:
                    m.unregister_callable(callable_id)

    with FlakyHost(m, seed=7) as host:
        _run_threads(worker)
        # Every sending thread is done: nothing may wait any more.
        assert m.waiters == {}
    assert not host.errors, host.errors
    assert m.waiters == {}  # the late answers delivered since found nobody

    assert outcomes.violations == []
    # The host's faults really happened: every ending was seen.
    for kind in ENDINGS:
        assert outcomes.counts[kind] > 0, (kind, outcomes.counts, host.resets)
    # The registry holds what this epoch registered and did not remove.
    prefix = f"pyfunc_{m._guid[:8]}_"
    assert host.resets > 0
    for callable_id, value in m._callable_registry.items():
        assert callable_id.startswith(prefix), (callable_id, prefix)
        assert registered[callable_id] is value


def test_registry_after_load_holds_only_the_current_epoch():
    m = com_like.messaging
    outcomes = Outcomes()
    stop = threading.Event()
    registered = []
    registered_lock = threading.Lock()
    after_resets = threading.Event()  # a registration began once the resets were over

    def registrar(i, start):
        start.wait()
        deadline = time.monotonic() + LOAD_SECONDS / 2
        while _going(deadline, after_resets.is_set):
            quiet = not chaos.is_alive()

            def callback():
                return i

            try:
                callable_id = m.register_callable(callback)
            except BaseException as exc:  # noqa: BLE001 - anything else is a violation to report
                outcomes.violation(f"register: {type(exc).__name__}: {exc}")
                return
            if quiet:
                after_resets.set()
            with registered_lock:
                registered.append((callable_id, callback))
            if m.get_callable(callable_id) not in (callback, None):
                outcomes.violation(f"{callable_id} maps to another callable")

    def resetter():
        # Stops before the registrars do, so the last epoch keeps entries.
        deadline = time.monotonic() + LOAD_SECONDS / 4
        while not stop.is_set() and time.monotonic() < deadline:
            m.reset()
            stop.wait(0.001)  # let the registrars run between resets

    chaos = threading.Thread(target=resetter)
    chaos.start()
    try:
        _run_threads(registrar, count=THREADS - 1)
    finally:
        stop.set()
        chaos.join()
    assert outcomes.violations == []
    prefix = f"pyfunc_{m._guid[:8]}_"
    latest = dict(registered)  # ids repeat only across epochs, whose prefixes differ
    assert m._callable_registry, "nothing survived the last reset; the check saw no epoch"
    for callable_id, value in m._callable_registry.items():
        assert callable_id.startswith(prefix), (callable_id, prefix)
        assert int(callable_id[len(prefix):]) < m._next_callable_id
        assert latest[callable_id] is value


def _collect_here(limit=120.0):
    """A full collection that really ran, on this thread.

    gc.collect() returns 0 at once, collecting nothing, while a collection
    of another thread is under way (the listener's, running finalizers that
    send their DEL), so it is called again until one has started here.
    """
    me = threading.get_ident()
    ran = threading.Event()

    def note(phase, info):
        if phase == "start" and info["generation"] == 2 and threading.get_ident() == me:
            ran.set()

    gc.callbacks.append(note)
    try:
        deadline = time.monotonic() + limit
        while True:
            gc.collect()
            if ran.is_set():
                return
            assert time.monotonic() < deadline, f"no collection could run here within {limit} s"
            ran.wait(0.01)  # the other thread's collection is still going
    finally:
        gc.callbacks.remove(note)


@pytest.mark.requires("routing", "operations", "wire", "proxies")
def test_garbage_collection_storm_with_proxies_in_cycles():
    """Proxies in reference cycles, collected on every thread.

    The listener thread collects too, so finalizers run there and send
    their DEL from the very thread that delivers responses: the host must
    acknowledge DEL locally for that not to block. Every proxy made sends
    exactly one DEL, wherever it was finalized.
    """
    m = com_like.messaging
    outcomes = Outcomes()
    made: collections.Counter = collections.Counter()
    made_lock = threading.Lock()

    def worker(i, start):
        rng = random.Random(100 + i)
        start.wait()
        deadline = time.monotonic() + LOAD_SECONDS
        n = 0
        # Until proxies were finalized both on workers and on the listener.
        while _going(deadline, lambda: min(host.del_threads["listener"], host.del_threads["worker"]) > 0):
            n += 1
            base = (i + 1) * 10_000_000 + n * 3
            ids = []
            try:
                workbook = com_like.Context.workbook
            except (concurrent.futures.CancelledError, RuntimeError) as exc:
                outcomes.count(type(exc).__name__)
                workbook = None
            except BaseException as exc:  # noqa: BLE001 - anything else is a violation to report
                outcomes.violation(f"undocumented {type(exc).__name__}: {exc}")
                return
            else:
                ids.append(workbook._internal_id)
                vars(workbook)["me"] = workbook
            obj = com_like.OfficeJsObject(base, "Range")
            vars(obj)["me"] = obj
            arr = com_like.OfficeJsArray(base + 1)
            arr.append(arr)
            dct = com_like.OfficeJsDict(base + 2)
            dct["me"] = dct
            ids += [base, base + 1, base + 2]
            with made_lock:
                made.update(ids)
            del workbook, obj, arr, dct
            if rng.random() < 0.1:
                gc.collect()

    with FlakyHost(m, seed=11, drop=0.0, reset=0.005, collect=0.2) as host:
        _run_threads(worker)
        with host.lock:
            host.collect = 0.0
        for _ in range(3):
            _collect_here()
        assert m.waiters == {}
    assert not host.errors, host.errors
    assert outcomes.violations == []
    assert made, "no proxies were made"
    extra = {k: v for k, v in host.dels.items() if k not in made and k not in (0, 1, 2)}
    assert not extra, f"DEL for ids never made: {list(extra)[:5]}"
    wrong = {k: host.dels[k] for k in made if host.dels[k] != 1}
    assert not wrong, f"ids whose DEL count is not 1: {list(wrong.items())[:5]}"
    assert host.del_threads["listener"] > 0, host.del_threads
    assert host.del_threads["worker"] > 0, host.del_threads
