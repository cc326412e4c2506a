"""The per-request shortcuts (instance fields read from the instance dict,
the waiter made without the class call) give what the ordinary Python
semantics give, whatever changes between two requests."""

import concurrent.futures

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
