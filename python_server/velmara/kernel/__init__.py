"""The kernel's host kit: serve the Excel add-in's WebSocket connection.

    from velmara_master.python_server.velmara.kernel import Kernel

    with Kernel(port=0) as kernel:       # binds 127.0.0.1 on a free port
        print(kernel.url)                # the add-in connects here
        kernel.wait_connected()
        ...                              # com_like.Context etc. work now

docs/hosting.md says what a host must do; docs/protocol.md gives the frames.
"""

from ..protocol import MAX_EXACT_INT, UnrepresentableValue, dumps, json_safe, loads
from .endpoint import Kernel, NotConnectedError, current_kernel
from .frames import FrameRejected, read_frame

__all__ = [
    "MAX_EXACT_INT",
    "FrameRejected",
    "Kernel",
    "NotConnectedError",
    "UnrepresentableValue",
    "current_kernel",
    "dumps",
    "json_safe",
    "loads",
    "read_frame",
]
