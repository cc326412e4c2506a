"""The kernel's send handler: what the bridge asks for, on the asking thread.

A request is written by the worker that makes it: the envelope becomes
JSON text and goes to the socket from here, with no hop to another thread.
Three kinds of request never travel:

- DEL: answered here and now (a finalizer may run on any thread, the
  listener and interpreter exit included); its id goes to the add-in later
  in a coalesced release frame (see `release.py`).
- A GET of a name that starts with "_": no Office.js member has one, and
  the add-in refuses such names anyway. Python asks for them all the time
  (numpy's `__array__`, IPython's `_repr_html_`, `copy`'s `__deepcopy__`,
  `help`'s `__name__`), and each probe expects an AttributeError.
- Any GET on a snapshot (id -1): plain data read from Excel has no
  members at all.

Both GETs raise AttributeError from here, which reaches the caller
unchanged, so `hasattr`, `getattr(v, name, default)`, `np.array(v)` and
`pd.DataFrame(v)` take their usual way for sequences.

The same Python function passed again within a connection reaches the
add-in under the id of its first registration, so that the add-in, which
keeps one function per id, hands Office.js the same function (and
`onChanged.remove(handler)` finds it). Only where callables travel is
looked at: the top-level arguments of a CALL and the value of a SET.
"""

from __future__ import annotations

import logging
import time
from collections.abc import Callable
from types import ModuleType
from typing import Any

from ..protocol import (
    LOCAL_IDS,
    METHOD_CALL,
    METHOD_DEL,
    METHOD_GET,
    METHOD_SET,
    NULL_WIRE,
    SNAPSHOT_ID,
    TAG_PYTHON_FUNCTION,
    dumps_bytes,
)
from .connection import Link, NotConnectedError, on_listener
from .counters import Counters
from .release import ReleaseBatcher

log = logging.getLogger("velmara.kernel")

SNAPSHOT_HINT = ("values read from Excel are plain data (lists and dicts); "
                 "to_plain from velmara_master.python_server.velmara.tables turns one into Python lists and dicts")


class SendHandler:
    """Registered with the bridge's messaging as its send handler."""

    def __init__(self, module: ModuleType, link: Callable[[], Link | None], counters: Counters,
                 releases: ReleaseBatcher, sent_at: dict[str, float] | None) -> None:
        self._module = module
        self._link = link
        self._counters = counters
        self._counts = counters.table("counts")
        self._releases = releases
        # Send times by request id when round trips are measured, else None.
        self._sent_at = sent_at
        # First callable id registered for each callable, this connection.
        self._first_ids: dict[Any, str] = {}

    def forget_callables(self) -> None:
        """A new connection (or a reset) starts a new registry: old ids mean nothing."""
        self._first_ids.clear()

    def __call__(self, envelope: dict[str, Any]) -> None:
        method = envelope.get("method")
        if method == METHOD_DEL:
            # Answered here and now; the id goes to the add-in in the next
            # release frame. A read of a big range drops one snapshot per
            # row at once: ids that the add-in never stored (the roots, the
            # snapshot id) take no second look (no link, no lock, and they
            # are not counted).
            caller = envelope.get("caller")
            if type(caller) is not int or caller not in LOCAL_IDS:
                self._note_release(caller)
            self._module.messaging.on_message({"requestId": envelope["requestId"], "ok": True, "result": NULL_WIRE})
            return
        if method == METHOD_GET:
            name = envelope.get("name")
            if envelope.get("caller") == SNAPSHOT_ID or (type(name) is str and name.startswith("_")):
                self._counters.bump(self._counts, "local_answers")
                raise _no_such_attribute(envelope.get("caller"), name)
        elif method == METHOD_CALL:
            self._reuse_callables_in_args(envelope)
        elif method == METHOD_SET:
            value = envelope.get("value")
            if type(value) is dict and value.get("type") == TAG_PYTHON_FUNCTION:
                envelope["value"] = self._reused(value)
        conn = self._link()
        if conn is None:
            raise NotConnectedError("The Excel add-in is not connected")
        if on_listener():
            raise RuntimeError("a proxy was used on the kernel's listener thread; "
                               "it would wait for a response that only that thread can deliver")
        text = dumps_bytes(envelope)
        if self._sent_at is not None:
            self._sent_at[envelope["requestId"]] = time.perf_counter()
        try:
            conn.push(text)
        except NotConnectedError:
            if envelope["requestId"] not in self._module.messaging.waiters:
                # The connection went while this frame was being written and
                # the reset has cancelled the call already: it ends as every
                # other waiting call does.
                return
            raise
        self._counters.bump(self._counts, "requests")

    def _note_release(self, caller: Any) -> None:
        try:
            if self._link() is not None:
                self._releases.add(caller)
                self._counters.bump(self._counts, "dels")
        except Exception:
            log.debug("a released id was not noted", exc_info=True)

    # ------------------------------------------------------------------
    # one id per Python function

    def _reuse_callables_in_args(self, envelope: dict[str, Any]) -> None:
        args = envelope.get("args")
        if type(args) is not list:
            return
        for arg in args:
            if type(arg) is dict:
                value = arg.get("value")
                if type(value) is dict and value.get("type") == TAG_PYTHON_FUNCTION:
                    arg["value"] = self._reused(value)

    def _reused(self, wire: dict[str, Any]) -> dict[str, Any]:
        """The wire value under the first id of an equal callable, the new id then unregistered."""
        new_id = wire.get("value")
        if type(new_id) is not str:
            return wire
        messaging = self._module.messaging
        func = messaging.get_callable(new_id)
        if func is None:
            return wire
        try:
            first = self._first_ids.get(func)
        except Exception:  # noqa: BLE001 - unhashable, or an __eq__ that fails: it travels as it is
            return wire
        if first is None or first == new_id or messaging.get_callable(first) is None:
            self._first_ids[func] = new_id
            return wire
        messaging.unregister_callable(new_id)
        self._counters.bump(self._counts, "callables_reused")
        return {**wire, "value": first}


def _no_such_attribute(caller: Any, name: Any) -> AttributeError:
    if caller == SNAPSHOT_ID:
        return AttributeError(f"plain data read from Excel has no attribute {name!r}: {SNAPSHOT_HINT}")
    return AttributeError(f"Excel object {caller} has no attribute {name!r} (no Office.js member starts with '_')")
