"""Velmara: the com_like bridge, the kernel's host kit and the simulated add-in.

Importing this package does not load the extension; importing `com_like`,
or its full dotted name below, does.
"""

import importlib
import importlib.machinery
import importlib.util
import sys
from types import ModuleType

_FULL_NAME = __name__ + ".com_like"


class _BridgeFinder:
    """Finds the extension under its full dotted name as well.

    The extension registers itself in sys.modules under
    velmara_master.python_server.velmara.com_like when it loads. When that
    entry is missing (the extension is not loaded yet, or the entry went),
    this finder loads it as `com_like` first, so that it always starts under
    that name, and points the import system at the same extension file; its
    create step then hands back the one module object, so both names keep
    meaning the same module.
    """

    @staticmethod
    def find_spec(
        fullname: str, path: object = None, target: object = None
    ) -> importlib.machinery.ModuleSpec | None:
        if fullname != _FULL_NAME:
            return None
        origin = importlib.import_module("com_like").__file__
        if origin is None:
            return None
        loader = importlib.machinery.ExtensionFileLoader(fullname, origin)
        return importlib.util.spec_from_file_location(fullname, origin, loader=loader)


def __getattr__(name: str) -> ModuleType:
    # `velmara.com_like` as an attribute loads the extension on first use.
    if name == "com_like":
        return importlib.import_module(_FULL_NAME)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


if not any(isinstance(finder, type) and finder.__name__ == "_BridgeFinder" for finder in sys.meta_path):
    sys.meta_path.append(_BridgeFinder)
