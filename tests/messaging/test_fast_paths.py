"""The per-request shortcuts (instance fields read from the instance dict,
the waiter made without the class call) give what the ordinary Python
semantics give, whatever changes between two requests."""

import concurrent.futures
import gc

import pytest

import com_like

from .conftest import answer_with


def test_fields_changed_between_requests_are_used(m):
    calls = []

    def handler(name):
        def send(envelope):
            calls.append(name)
            m.on_message({"requestId": envelope["requestId"], "ok": True})

        return send

    m.set_send_handler(handler("first"))
    m.send_request_sync({})
    m.send_request_sync({})
    m._send_handler = handler("assigned")
    m.send_request_sync({})
    vars(m)["_send_handler"] = handler("through the dict")
    m.send_request_sync({})
    m.waiters = {}
    m.send_request_sync({})
    assert calls == ["first", "first", "assigned", "through the dict", "through the dict"]
    del m.waiters
    with pytest.raises(AttributeError, match="waiters"):
        m.send_request_sync({})


def _recording(m, calls, name):
    def send(envelope):
        calls.append(name)
        m.on_message({"requestId": envelope["requestId"], "ok": True})

    return send


def _made_without_init():
    # Attributes set one by one on an object that never ran __init__ live
    # in the object itself, not in a dict of their own.
    n = com_like.Messaging.__new__(com_like.Messaging)
    for name, value in vars(com_like.Messaging()).items():
        setattr(n, name, value)
    return n


def _clear_and_refill(m, handler):
    saved = dict(vars(m))
    vars(m).clear()
    vars(m).update(saved, _send_handler=handler)


CHANGES = {
    "setattr": lambda m, h: setattr(m, "_send_handler", h),
    "set_send_handler": lambda m, h: m.set_send_handler(h),
    "dict item": lambda m, h: vars(m).__setitem__("_send_handler", h),
    "dict update": lambda m, h: vars(m).update(_send_handler=h),
    "removed and added": lambda m, h: (delattr(m, "_send_handler"), setattr(m, "_send_handler", h)),
    "dict replaced": lambda m, h: setattr(m, "__dict__", {**vars(m), "_send_handler": h}),
    "dict cleared and refilled": _clear_and_refill,
}


@pytest.mark.parametrize("make", [com_like.Messaging, _made_without_init], ids=["init", "no init"])
@pytest.mark.parametrize("change", list(CHANGES))
def test_every_way_of_changing_a_field_reaches_the_next_request(make, change):
    m = make()
    calls = []
    m.set_send_handler(_recording(m, calls, "old"))
    m.send_request_sync({})
    m.send_request_sync({})
    CHANGES[change](m, _recording(m, calls, "new"))
    gc.collect()  # the old handler is gone: a stale view would call freed memory
    m.send_request_sync({})
    assert calls == ["old", "old", "new"]
    assert m.waiters == {}


def test_a_class_that_defines_a_field_is_asked(m):
    class Recording(com_like.Messaging):
        reads = 0

        @property
        def waiters(self):
            type(self).reads += 1
            return self.table

        @waiters.setter
        def waiters(self, table):
            self.table = table

    r = Recording()
    r.set_send_handler(answer_with(r, ok=True))
    r.send_request_sync({})
    m.set_send_handler(answer_with(m, ok=True))
    m.send_request_sync({})  # the plain class in between
    r.send_request_sync({})
    assert Recording.reads == 4  # two reads a request: the send and the response


def test_a_changed_future_class_is_followed(m, monkeypatch):
    made = []
    original = concurrent.futures.Future.__init__

    def counting_init(self):
        made.append(self)
        original(self)

    m.set_send_handler(answer_with(m, ok=True))
    m.send_request_sync({})  # the class as it was
    monkeypatch.setattr(concurrent.futures.Future, "__init__", counting_init)
    m.send_request_sync({})
    m.send_request_sync({})
    assert len(made) == 2
