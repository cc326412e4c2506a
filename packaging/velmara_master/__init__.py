"""Velmara: the Python side of the Excel bridge.

The extension module ``com_like`` is also reachable as
``velmara_master.python_server.velmara.com_like``.
"""

from . import python_server as python_server
