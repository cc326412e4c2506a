"""A simulated Excel add-in: answers the bridge's requests on an in-memory workbook.

Run it as a separate process that connects to a kernel, as the real
add-in does:

    python -m velmara_master.python_server.velmara.addin_sim --url ws://127.0.0.1:PORT --token TOKEN
"""

from .client import DEFAULT_SETTINGS, FrameHandler, Simulator, run
from .objects import ObjectTable, Session
from .workbook import SimError, Workbook

__all__ = [
           "DEFAULT_SETTINGS",
           "FrameHandler",
           "ObjectTable",
           "Session",
           "SimError",
           "Simulator",
           "Workbook",
           "run",
]
