"""The kernel's counters, and warnings that a hostile peer cannot turn into a flood.

Counters are bumped from any thread, the DEL path of a finalizer included,
so every key exists from the start and values are ints: nothing under the
lock runs Python code or allocates a tracked object, so no collection, and
so no finalizer, can start while it is held.

A warning that a far end can provoke at will (a dropped frame, a refused
handshake, a failing callback) is logged the first `burst` times per kind,
then once per `interval` seconds with the number of those left out since.
"""

from __future__ import annotations

import logging
import threading
import time
from collections.abc import Callable, Iterable
from typing import Any

DEFAULT_BURST = 20
DEFAULT_INTERVAL_S = 10.0


class Counters:
    """Named tables of int counters, bumped under one lock."""

    def __init__(self, **tables: Iterable[str]) -> None:
        self._lock = threading.Lock()
        self.tables: dict[str, dict[str, int]] = {name: dict.fromkeys(keys, 0) for name, keys in tables.items()}

    def table(self, name: str) -> dict[str, int]:
        return self.tables[name]

    def bump(self, table: dict[str, int], key: str, n: int = 1) -> int:
        with self._lock:
            table[key] += n
            return table[key]

    def snapshot(self, name: str, *, nonzero: bool = False) -> dict[str, int]:
        # Copying a dict of ints is one step for the interpreter: no lock.
        copy = self.tables[name].copy()
        return {key: n for key, n in copy.items() if n} if nonzero else copy


class QuietLog:
    """Rate-limited warnings, per kind, with a count of those suppressed."""

    def __init__(self, logger: logging.Logger, *, burst: int = DEFAULT_BURST, interval: float | None = None,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self._logger = logger
        self._burst = burst
        self._interval = DEFAULT_INTERVAL_S if interval is None else interval
        self._clock = clock
        self._lock = threading.Lock()
        # kind -> [seen, suppressed since the last line, time of the last line]
        self._kinds: dict[str, list[float]] = {}

    def warning(self, kind: str, message: str, *args: Any, exc_info: bool = False) -> bool:
        """Log unless this kind is over its burst and logged within the interval; True if logged."""
        now = self._clock()
        with self._lock:
            state = self._kinds.setdefault(kind, [0, 0, -float("inf")])
            state[0] += 1
            if state[0] > self._burst and now - state[2] < self._interval:
                state[1] += 1
                return False
            suppressed = int(state[1])
            state[1] = 0
            state[2] = now
        if suppressed:
            message += " (%d more like this suppressed)"
            args = (*args, suppressed)
        self._logger.warning(message, *args, exc_info=exc_info)
        return True
