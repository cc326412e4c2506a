"""An interactive console inside the kernel's process.

`velmara-run` without a script ends here once the add-in is connected:
IPython's terminal shell when IPython is installed, else Python's own
console, with the bridge's names and the tables helpers already imported.
"""

from __future__ import annotations

import code
import types
from typing import Any

from .. import tables
from ..protocol import ROOT_GET_SETTING
from .cli import exit_status
from .endpoint import Kernel

# What a user finds in the console's namespace (and in a notebook's after
# %velmara): the bridge's roots and every helper of the tables module.
ROOTS = ("Context", "Excel", "GetSetting")
NAMES = (*ROOTS, *tables.__all__)


def GetSetting(name: Any) -> Any:
    """GetSetting(name) -> the add-in's setting `name` (RuntimeError when it has none).

    com_like.GetSetting belongs to the connection it was imported in and is
    refused once the add-in reconnects; a session that outlives connections
    calls a fresh proxy of the same pinned remote function each time.
    """
    import com_like

    return com_like.OfficeJsObject(ROOT_GET_SETTING, "Function")(name)


def console_namespace() -> dict[str, Any]:
    """The bridge's roots and the tables helpers, by the names the README uses."""
    import com_like

    namespace: dict[str, Any] = {"__name__": "__console__", "__doc__": None}
    namespace.update({name: getattr(com_like, name) for name in ROOTS})
    namespace["GetSetting"] = GetSetting
    namespace.update({name: getattr(tables, name) for name in tables.__all__})
    return namespace


def default_banner(kernel: Kernel, how_to_leave: str) -> str:
    # The address only: the token stays out of anything a user might paste.
    return (f"velmara: the add-in is connected to the kernel at {kernel.address}.\n"
            f"Ready: {', '.join(NAMES)}.\n"
            f"Each attribute, call or assignment on Context/Excel is a round trip to Excel.\n"
            f"Leave with {how_to_leave}; the kernel stops with the console.")


def _ipython_console(namespace: dict[str, Any], banner: str) -> int:
    """IPython's terminal shell over `namespace`; raises ImportError without IPython."""
    from IPython.terminal.embed import InteractiveShellEmbed

    # IPython's constructors take traitlets keywords and carry no annotations.
    shell = InteractiveShellEmbed(  # type: ignore[no-untyped-call]
        banner1=banner + "\n", exit_msg="", confirm_exit=False, enable_tip=False)
    # The names given, not those of the caller's frame.
    shell(local_ns=namespace, module=types.ModuleType("__console__"), compile_flags=0)
    return 0


def _python_console(namespace: dict[str, Any], banner: str) -> int:
    console = code.InteractiveConsole(namespace, filename="<velmara>", local_exit=False)
    try:
        console.interact(banner=banner, exitmsg="")
    except SystemExit as exc:
        return exit_status(exc)
    return 0


def run_console(kernel: Kernel, *, banner: str | None = None) -> int:
    """Run an interactive console on this thread until the user leaves; the exit status.

    The kernel must be started (and normally connected); the caller closes it.
    """
    namespace = console_namespace()
    try:
        import IPython  # noqa: F401 - only whether it is there
    except ImportError:
        return _python_console(namespace, banner or default_banner(kernel, "exit() or Ctrl-D"))
    return _ipython_console(namespace, banner or default_banner(kernel, "exit or Ctrl-D"))
