"""A kernel in this process with the far end connected to it."""

import pytest

from velmara_master.python_server.velmara.kernel import Kernel
from velmara_master.python_server.velmara.kernel.farend import start_far_end, wait_for_far_end

# The machine may be loaded: Node gets minutes, not seconds, to connect.
CONNECT_S = 180


# Per test, so that the suite's module-state guard (tests/conftest.py) undoes
# the new epoch the kernel's close begins.
@pytest.fixture
def kernel():
    kernel = Kernel().start()
    far_end = None
    try:
        far_end = start_far_end(kernel)
        wait_for_far_end(kernel, far_end, CONNECT_S)
        yield kernel
    finally:
        kernel.close()
        if far_end is not None:
            far_end.stop()
