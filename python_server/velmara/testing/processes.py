"""Environments for child processes that are not Python: a browser, Node."""

from __future__ import annotations

import os

# The sanitizer run preloads ASan (and UBSan) into every process it starts, for
# the extension's sake; a browser or Node gains nothing from it and may not
# start at all (Chromium's launcher script breaks on ASan's output).
_SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")


def foreign_env() -> dict[str, str]:
    """This process's environment without the sanitizer's preload."""
    return {name: value for name, value in os.environ.items() if name not in _SANITIZER_VARIABLES}
