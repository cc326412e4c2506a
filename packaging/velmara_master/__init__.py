"""Velmara: the Python side of the Excel bridge.

The extension module ``com_like`` is also reachable as
``velmara_master.python_server.velmara.com_like``.

In IPython or Jupyter, ``%load_ext velmara_master`` loads the extension of
``velmara_master.python_server.velmara.notebook`` (its ``%velmara`` magic).
"""

from typing import Any

from . import python_server as python_server


def load_ipython_extension(ipython: Any) -> None:
    from .python_server.velmara import notebook

    notebook.load_ipython_extension(ipython)


def unload_ipython_extension(ipython: Any) -> None:
    from .python_server.velmara import notebook

    notebook.unload_ipython_extension(ipython)
