"""Shared pieces of the hardening checks.

- `requires(subsystem)`: a marker for cases that need a subsystem which may
  not be built into this tree yet. Such cases are skipped with a reason and
  run by themselves once the subsystem is there; nothing else to edit.
- `leak_check`: runs an operation many times after a warm-up and fails when
  the interpreter's allocated blocks or the traced memory keep growing.
- `addin`: the shared inline host answering every request from inside the
  send handler, by a table of rules.
"""

from __future__ import annotations

import gc
import sys
import tracemalloc
from collections.abc import Callable
from typing import Any

import pytest

import com_like
from velmara_master.python_server.velmara.testing import InlineHost

# What each subsystem must have defined for its cases to run.
_SUBSYSTEMS: dict[str, Callable[[], bool]] = {
    "wire": lambda: hasattr(getattr(com_like, "Serializer", None), "from_wire")
    and hasattr(getattr(com_like, "Serializer", None), "to_wire"),
    "proxies": lambda: all(
        hasattr(com_like, name) for name in ("OfficeJsObject", "OfficeJsArray", "OfficeJsDict", "Excel")
    ),
    "operations": lambda: all(
        hasattr(com_like, name)
        for name in ("_cw__getattr__", "_cw__getitem__", "_cw__setattr__", "_cw__call__", "_cw__del__")
    ),
    "routing": lambda: hasattr(com_like, "OfficeJsObject")
    and "__getattr__" in vars(com_like.OfficeJsObject)
    and "__del__" in vars(com_like.OfficeJsObject),
}

_DESCRIPTIONS = {
    "wire": "the wire subsystem (Serializer.to_wire / from_wire)",
    "proxies": "the proxy classes and root proxies",
    "operations": "the remote operations (_cw__getattr__ and friends)",
    "routing": "the proxy routing (OfficeJsObject.__getattr__ and friends)",
}


def have(*subsystems: str) -> bool:
    return all(_SUBSYSTEMS[name]() for name in subsystems)


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "requires(*subsystems): skip unless these subsystems are built into the module"
    )


def pytest_runtest_setup(item):
    for marker in item.iter_markers("requires"):
        missing = [name for name in marker.args if not _SUBSYSTEMS[name]()]
        if missing:
            pytest.skip("needs " + " and ".join(_DESCRIPTIONS[name] for name in missing) + ", not built in yet")


# --------------------------------------------------------------------------
# Leak checking


class LeakFound(AssertionError):
    pass


def _one_round(op: Callable[[], Any], iterations: int) -> tuple[int, int]:
    gc.collect()
    blocks = sys.getallocatedblocks()
    traced = tracemalloc.get_traced_memory()[0]
    for _ in range(iterations):
        op()
    gc.collect()
    return sys.getallocatedblocks() - blocks, tracemalloc.get_traced_memory()[0] - traced


def check_no_leak(
    op: Callable[[], Any],
    *,
    iterations: int = 600,
    warmup: int = 60,
    rounds: int = 3,
    max_blocks: int | None = None,
    max_bytes: int | None = None,
) -> tuple[int, int]:
    """Fail when `op` leaks: growth that every one of `rounds` rounds shows.

    A leak of one object per call grows the allocated block count by at
    least `iterations` in every round; noise (free lists, caches filling up,
    a dict resizing) shows in one round and not in the next, so the smallest
    growth over the rounds is compared with the bound. Under
    PYTHONMALLOC=malloc (the sanitizer run) the interpreter counts no blocks
    and tracemalloc's figure carries the check alone.
    """
    if max_blocks is None:
        max_blocks = max(iterations // 20, 8)
    if max_bytes is None:
        # The same floor as the block bound: the few-iteration cases (each
        # call thousands of requests) otherwise failed on a few hundred bytes
        # of free-list noise under load.
        max_bytes = max(iterations, 32) * 16
    for _ in range(warmup):
        op()
    started = not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    try:
        growth = [_one_round(op, iterations) for _ in range(rounds)]
    finally:
        if started:
            tracemalloc.stop()
    blocks = min(g[0] for g in growth)
    traced = min(g[1] for g in growth)
    if blocks > max_blocks or traced > max_bytes:
        raise LeakFound(
            f"growth over {iterations} calls in each of {rounds} rounds: "
            f"blocks {[g[0] for g in growth]} (bound {max_blocks}), "
            f"traced bytes {[g[1] for g in growth]} (bound {max_bytes})"
        )
    return blocks, traced


@pytest.fixture
def leak_check():
    return check_no_leak


# --------------------------------------------------------------------------
# An in-process add-in


class AddIn(InlineHost):
    """The shared inline host, answering from a table of rules.

    `rules` maps (method, name) to a response (a dict, copied per answer) or
    to a function of the envelope returning one; (method, None) is the
    fallback for a method. A missing rule answers with a failure. DEL is
    acknowledged unless a rule says otherwise. `counts` tells how many
    envelopes of each method arrived, `last` is the latest; no envelope is
    kept beyond that, so that leak checks see no growth.
    """

    def __init__(self, messaging):
        super().__init__(messaging, self._by_rule, keep=False)
        self.rules: dict[tuple[str, str | None], Any] = {("DEL", None): {"ok": True}}

    @staticmethod
    def ref(type_name: str, object_id: int) -> dict:
        return {"type": type_name, "value": object_id, "isSpec": True}

    @staticmethod
    def plain(tag: str, value: Any, **extra: Any) -> dict:
        return {"type": tag, "value": value, "isSpec": False, **extra}

    def on(self, method: str, name: str | None = None, *, result: Any = None, response: Any = None):
        self.rules[(method, name)] = response if response is not None else {"ok": True, "result": result}
        return self

    def fail(self, method: str, name: str | None = None, message: str = "remote failure"):
        self.rules[(method, name)] = {"ok": False, "error": {"message": message}}
        return self

    def _by_rule(self, envelope: dict) -> dict | None:
        method = envelope.get("method")
        rule = self.rules.get((method, envelope.get("name")), self.rules.get((method, None)))
        if rule is None:
            return {"ok": False, "error": {"message": f"no rule for {method} {envelope.get('name')!r}"}}
        return rule(envelope) if callable(rule) else rule


@pytest.fixture
def addin():
    host = AddIn(com_like.messaging)
    com_like.messaging.set_send_handler(host)
    return host


def _module_state_intact(module=com_like) -> None:
    """The module is fit for the next call: tables clean, globals bound."""
    m = module.messaging
    assert m.waiters == {}
    assert type(m._waiters_lock).__name__ == "lock" and not m._waiters_lock.locked()
    assert not m._callable_lock.locked()
    assert isinstance(m._guid, str) and len(m._guid) == 32
    for name in ("Serializer", "Messaging", "messaging"):
        if name == "Serializer" and not have("wire"):
            continue
        assert hasattr(module, name), name


@pytest.fixture
def state_intact():
    return _module_state_intact


@pytest.fixture
def subsystem():
    """`subsystem("wire")` is True when that subsystem is built in."""
    return have
