"""Fixtures for the Messaging tests: fresh instances and a worker thread
that keeps one request pending."""

import threading

import pytest

import com_like


@pytest.fixture
def m():
    """A Messaging of its own, so that a broken test cannot wedge the module's."""
    return com_like.Messaging()


class Pending:
    """One send_request_sync running on a worker thread; its handler records
    the envelope and answers nothing."""

    def __init__(self, messaging, body=None, timeout=120.0):
        self.messaging = messaging
        self.sent = threading.Event()
        self.envelope = None
        self.result = None
        self.error = None
        self._body = body if body is not None else {"method": "GET", "name": "x", "caller": 1}
        self._timeout = timeout
        self.thread = threading.Thread(target=self._run, daemon=True)

    def handler(self, envelope):
        self.envelope = envelope
        self.sent.set()

    def _run(self):
        try:
            self.result = self.messaging.send_request_sync(self._body, self._timeout)
        except BaseException as exc:  # noqa: BLE001 - whatever the call raises is the outcome under test
            self.error = exc

    def start(self):
        self.thread.start()
        assert self.sent.wait(60), "the send handler was never called"
        return self

    @property
    def request_id(self):
        return self.envelope["requestId"]

    def outcome(self, timeout=60.0):
        self.thread.join(timeout)
        assert not self.thread.is_alive(), "the waiting call did not end"
        return self.result, self.error


@pytest.fixture
def pending(m):
    """Start a request on `m` that waits (120 s at most) for an answer."""
    started = []

    def _start(body=None, timeout=120.0):
        p = Pending(m, body, timeout)
        m.set_send_handler(p.handler)
        started.append(p)
        return p.start()

    yield _start
    for p in started:  # leave no thread behind
        if p.thread.is_alive():
            m.reset()
            p.thread.join(60)


def answer_with(messaging, **members):
    """A send handler that answers every envelope during the handler call."""

    def handler(envelope):
        messaging.on_message({"requestId": envelope["requestId"], **members})

    return handler


@pytest.fixture
def answering():
    return answer_with


def run_in_thread(func, timeout=60.0):
    """Run func on a daemon thread; returns (finished, result, error). A
    deadlocked call leaves the thread behind but never hangs the test."""
    box = {}

    def target():
        try:
            box["result"] = func()
        except BaseException as exc:  # noqa: BLE001 - whatever the call raises is the outcome under test
            box["error"] = exc

    t = threading.Thread(target=target, daemon=True)
    t.start()
    t.join(timeout)
    return not t.is_alive(), box.get("result"), box.get("error")


@pytest.fixture
def in_thread():
    return run_in_thread
