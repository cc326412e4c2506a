"""Headless Chromium loads the task pane that a kernel serves, with the Office.js double as office.js."""

import subprocess
from pathlib import Path

import pytest

import com_like
from velmara_master.python_server.velmara.kernel import Kernel
from velmara_master.python_server.velmara.kernel.taskpane import TaskPane

from .cdp import Chromium

REPO = Path(__file__).resolve().parents[2]
ADDIN = REPO / "addin"


def chromium_executable():
    """Chromium's path, installed by scripts/browser-deps when missing; skips where it cannot be."""
    try:
        done = subprocess.run([str(REPO / "scripts" / "browser-deps")], capture_output=True, text=True, timeout=900)
    except subprocess.TimeoutExpired:
        pytest.skip("Chromium could not be installed: scripts/browser-deps took longer than 15 minutes")
    if done.returncode != 0:
        pytest.skip("Chromium could not be installed: " + (done.stderr.strip().splitlines() or ["no reason given"])[-1])
    return done.stdout.strip().splitlines()[-1]


# Per module: a browser left running (and logging) would disturb the leak
# checks of later tests.
@pytest.fixture(scope="module")
def browser():
    chromium = Chromium(chromium_executable())
    yield chromium
    chromium.close()


@pytest.fixture
def served():
    """A kernel serving the task pane (the double as office.js), with the page open and connected."""
    kernel = Kernel(taskpane=TaskPane(ADDIN, office_double=ADDIN / "test" / "office-double"), workers=4).start()
    yield kernel
    kernel.close()


@pytest.fixture
def pane(browser, served):
    page = browser.open(served.taskpane_url)
    try:
        served.wait_connected(60)
    except TimeoutError:
        pytest.fail("the task pane did not connect; its console:\n" + page.console())
    com_like.messaging.set_send_handler(served._handler)
    yield page
    page.close()
