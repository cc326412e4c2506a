"""Velmara: the com_like bridge, the kernel's host kit and the simulated add-in."""

import importlib.machinery
import importlib.util
import sys

import com_like as com_like

_FULL_NAME = __name__ + ".com_like"


class _BridgeFinder:
    """Finds the extension under its full dotted name as well.

    The extension registers itself in sys.modules under
    velmara_master.python_server.velmara.com_like when it loads. Should that
    entry go, this finder points the import system at the same extension
    file again; its create step then hands back the one module object, so
    both names keep meaning the same module.
    """

    @staticmethod
    def find_spec(fullname, path=None, target=None):
        if fullname != _FULL_NAME:
            return None
        loader = importlib.machinery.ExtensionFileLoader(fullname, com_like.__file__)
        return importlib.util.spec_from_file_location(fullname, com_like.__file__, loader=loader)


if not any(isinstance(finder, type) and finder.__name__ == "_BridgeFinder" for finder in sys.meta_path):
    sys.meta_path.append(_BridgeFinder)
