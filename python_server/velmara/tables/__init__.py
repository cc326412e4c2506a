"""Plain data and pandas frames to and from Excel ranges, for user scripts.

    from velmara_master.python_server.velmara.tables import read_frame, to_plain, write_frame

    written = write_frame(sheet, frame)      # one SET of the frame's cells (header first)
    back = read_frame(written)               # one GET of its values
    rows = to_plain(sheet.getRange("A1:B2").values)   # [[...], [...]], no request

Everything here is built on the bridge's public proxies; nothing talks to the
add-in except through them.
"""

from .frames import read_frame, write_frame
from .plain import to_plain

__all__ = ["read_frame", "to_plain", "write_frame"]
