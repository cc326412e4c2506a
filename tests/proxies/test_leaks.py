"""A million cheap proxy operations leave the allocator where it was."""

import contextlib
import gc
import sys

import pytest

import com_like
from proxy_doubles import NULL_WIRE, CannedMessaging, StubSerializer


def run(mod, rounds):
    messaging = mod.messaging
    on_message = messaging.on_message
    response = {"ok": True, "result": NULL_WIRE}

    def handler(envelope):
        on_message({"requestId": envelope["requestId"], **response})

    messaging.set_send_handler(handler)
    p = com_like.OfficeJsObject(5, "Function")
    a = com_like.OfficeJsArray(6)
    d = com_like.OfficeJsDict(7)
    d["k"] = 1
    stale = com_like.OfficeJsObject(8, "Range")
    object.__setattr__(stale, "_msg_guid", "0" * 32)
    refusing = CannedMessaging(messaging._guid, {"ok": False, "error": {"message": ("t", 1)}})
    for _ in range(rounds):
        p.values                                  # GET answered during the handler call
        p.values = [1, "x"]                       # SET
        p[1:2]                                    # GETITEM
        p(1, k=2)                                 # CALL
        p._internal_id, p._internal_cache, d.k    # local reads
        d.k = 2
        for action in (lambda: stale.values, lambda: p[1.5], lambda: setattr(a, "x", 1),
                       lambda: setattr(d, "nokey", 1), lambda: a(), lambda: p(self=1)):
            with contextlib.suppress(RuntimeError, TypeError, AttributeError):
                action()
        mod.messaging = refusing
        with contextlib.suppress(AttributeError):
            p.values
        mod.messaging = messaging
        com_like._cw__del__(p)


@pytest.mark.slow
def test_operations_do_not_leak(mod):
    mod.Serializer = StubSerializer
    run(mod, 2000)  # warm up caches, interned names, free lists
    gc.collect()
    before = sys.getallocatedblocks()
    run(mod, 40000)  # 40000 rounds of 25 operations each
    gc.collect()
    after = sys.getallocatedblocks()
    assert after - before < 500, (before, after)
