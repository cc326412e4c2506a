"""Fixtures shared by the whole suite.

Every test gets the module with its namespace and its `messaging` state
restored afterwards: tests may rebind module globals, register send
handlers and reset the epoch freely.
"""

import gc
import sys

import pytest

import com_like


@pytest.fixture(autouse=True)
def _restore_module_state():
    saved_globals = dict(vars(com_like))
    messaging = com_like.messaging
    saved_handler = messaging._send_handler
    saved_epoch = messaging._guid
    roots = [com_like.Context, com_like.Excel, com_like.GetSetting]
    saved_stamps = [vars(root)["_msg_guid"] for root in roots]
    yield
    namespace = vars(com_like)
    for name in list(namespace):
        if name not in saved_globals:
            del namespace[name]
    namespace.update(saved_globals)
    messaging._send_handler = saved_handler
    messaging.waiters.clear()
    # A reset (of any Messaging instance) re-stamps the roots; every test
    # starts from the same epoch with current roots.
    messaging._guid = saved_epoch
    for root, stamp in zip(roots, saved_stamps, strict=True):
        vars(root)["_msg_guid"] = stamp


@pytest.fixture
def mod():
    return com_like


def run_python(code, *, timeout=60, env=None):
    """Run code in a fresh interpreter of the venv; returns CompletedProcess."""
    import os
    import subprocess

    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", code],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=full_env,
    )


@pytest.fixture
def python_subprocess():
    return run_python


@pytest.fixture
def collect():
    """Force a full collection (finalizers of dropped proxies run now)."""

    def _collect():
        for _ in range(3):
            gc.collect()

    return _collect
