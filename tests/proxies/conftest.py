"""Fixtures of the proxy tests; the doubles themselves live in proxy_doubles."""

import gc
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from proxy_doubles import NULL_WIRE, CannedMessaging, Recorder, StubSerializer


@pytest.fixture
def stub_serializer(mod):
    mod.Serializer = StubSerializer
    return StubSerializer


@pytest.fixture
def recorder(mod, stub_serializer):
    gc.collect()  # proxies left over by earlier tests must not send to this handler
    rec = Recorder(mod.messaging)
    mod.messaging.set_send_handler(rec)
    return rec


@pytest.fixture
def canned(mod, stub_serializer):
    """Rebinds `messaging` to a CannedMessaging of the current epoch; set .response."""
    gc.collect()
    stand_in = CannedMessaging(mod.messaging._guid, {"ok": True, "result": NULL_WIRE})
    mod.messaging = stand_in
    return stand_in


@pytest.fixture(autouse=True)
def _restore_epoch(mod):
    """A test may reset messaging: put the old epoch back on it and the roots."""
    messaging = mod.messaging
    epoch = messaging._guid
    roots = [mod.Context, mod.Excel, mod.GetSetting]
    stamps = [root._msg_guid for root in roots]
    yield
    messaging._guid = epoch
    for root, stamp in zip(roots, stamps, strict=True):
        object.__setattr__(root, "_msg_guid", stamp)
