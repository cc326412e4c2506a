"""Plain data, pandas frames and collections of Excel, for user scripts.

    from velmara_master.python_server.velmara.tables import read_frame, to_plain, write_frame

    written = write_frame(sheet, frame)      # cells with number formats that keep them as written
    back = read_frame(written)               # values and formats: the frame's types restored
    rows = to_plain(sheet.getRange("A1:B2").values)   # [[...], [...]], no request

    from velmara_master.python_server.velmara.tables import count, get, items

    for ws in items(workbook.worksheets): ...          # a plain list, one request
    prices = get(workbook.worksheets, "Prices")        # the sheet, or None

Everything here is built on the bridge's public proxies; nothing talks to the
add-in except through them.
"""

from .collections import count, get, items
from .frames import read_frame, write_frame
from .plain import to_plain

__all__ = ["count", "get", "items", "read_frame", "to_plain", "write_frame"]
