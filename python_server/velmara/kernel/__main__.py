"""velmara-run: `python -m velmara_master.python_server.velmara.kernel [SCRIPT] ...` (see cli.py)."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
