"""pandas DataFrames in and out of Excel ranges, one request for the cells.

What Excel hands back shapes the reading side:
- an empty cell reads as "" (Office.js reports no data that way), so ""
  becomes a missing value; a genuinely empty text cell cannot be told apart;
- the simulated add-in keeps a written date as a date and returns it as a
  `datetime`; real Excel stores dates as serial day numbers and returns
  those, which `read_frame(..., dates=[...])` turns back into datetimes;
  datetimes with a time zone travel in UTC and come back in UTC;
- JSON has a single number type, so a whole float such as 2.0 may come back
  as the int 2; a column with any fraction or any missing cell is float.

And the writing side: in a 2-D array Office.js reads null as "leave this cell
unchanged" and "" as "clear it", so missing cells (NaN, NaT, None, pd.NA)
are written as "", which also makes them read back as missing.
"""

from __future__ import annotations

import math
from collections.abc import Hashable, Iterable
from typing import Any

import pandas as pd  # type: ignore[import-untyped]

from com_like import OfficeJsObject

from .plain import to_plain

# Day 0 of Excel's 1900 date system as Office.js reports serial numbers
# (day 1 is 1900-01-01; counting from 1899-12-30 absorbs Excel's phantom
# 29 February 1900 for every date after it).
EXCEL_EPOCH = pd.Timestamp("1899-12-30")


def read_frame(source: OfficeJsObject, header: bool = True, *,
               dates: Iterable[Hashable] = ()) -> Any:
    """read_frame(source, header=True, *, dates=()) -> pandas.DataFrame

    Reads `source` (a Range) with one GET of its `values`; a Worksheet
    stands for its used range (two requests more). With `header`,
    the first row gives the column labels (an empty label becomes
    "Unnamed: N", as pandas names them). Each column's type is inferred
    from its cells as pandas infers it for Python objects: ints, floats,
    datetimes, bools, text; empty cells are missing (None, NaN or NaT by
    the column's type). `dates` names columns that hold Excel serial day
    numbers (what real Excel reports for date cells) to turn into datetimes.
    """
    # The proxy's type name is the bridge's public attribute, however spelled.
    if source._internal_typeName == "Worksheet":  # noqa: SLF001
        source = source.getUsedRange()
    rows = to_plain(source.values)
    if not isinstance(rows, list) or not all(isinstance(row, list) for row in rows):
        raise TypeError(f"expected a 2-D array of cell values, got {type(rows).__name__}")
    width = len(rows[0]) if rows else 0
    if header:
        if not rows:
            raise ValueError("the range has no header row")
        labels: list[Hashable] = [f"Unnamed: {i}" if _missing(label) else label
                                  for i, label in enumerate(rows[0])]
        rows = rows[1:]
    else:
        labels = list(range(width))
    columns = {i: pd.Series([None if _missing(row[i]) else row[i] for row in rows], dtype=None)
               for i in range(width)}
    frame = pd.DataFrame(columns, index=pd.RangeIndex(len(rows)))
    frame.columns = pd.Index(labels) if header else pd.RangeIndex(width)
    for label in dates:
        frame[label] = _from_serial(frame[label])
    return frame


def write_frame(target: OfficeJsObject, frame: Any, index: bool = False) -> OfficeJsObject:
    """write_frame(target, frame, index=False) -> the Range written

    Writes the column labels and then one row per record into the range
    that starts at the top-left cell of `target` (a Range, or a Worksheet
    for its A1) and is exactly as large as the frame: two requests to name
    that range (the method's GET and CALL) and one SET of its `values`.
    With `index`, the index goes first as column(s), as `reset_index()`
    puts it. A Series is written as a one-column frame. Missing cells
    (NaN, NaT, None, pd.NA) are written as empty cells.
    """
    if isinstance(frame, pd.Series):
        frame = frame.to_frame()
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"write_frame() needs a pandas DataFrame or Series, not {type(frame).__name__}")
    if index:
        frame = frame.reset_index()
    if frame.shape[1] == 0:
        raise ValueError("the frame has no columns to write")
    grid = [[_label(label) for label in frame.columns]]
    grid += frame.astype(object).where(frame.notna(), "").to_numpy().tolist()
    rows, columns = len(grid), len(grid[0])
    # The type name arrives with the reference, so telling a sheet from a
    # range costs nothing; every other way would be a round trip.
    if target._internal_typeName == "Worksheet":  # noqa: SLF001
        written = target.getRange(f"A1:{column_letters(columns - 1)}{rows}")
    else:
        written = target.getAbsoluteResizedRange(rows, columns)
    written.values = grid
    return written  # type: ignore[no-any-return]


def column_letters(index: int) -> str:
    """column_letters(index) -> "A" for 0, "Z" for 25, "AA" for 26, ..."""
    if index < 0:
        raise ValueError(f"column index {index} is negative")
    letters = ""
    index += 1
    while index:
        index, rest = divmod(index - 1, 26)
        letters = chr(ord("A") + rest) + letters
    return letters


def _missing(cell: object) -> bool:
    return cell is None or cell == "" or (isinstance(cell, float) and math.isnan(cell))


def _label(label: object) -> object:
    # MultiIndex columns give tuples, which a cell cannot hold.
    if isinstance(label, tuple):
        return " ".join(str(part) for part in label if not _missing(part))
    return label


def _from_serial(column: Any) -> Any:
    if pd.api.types.is_datetime64_any_dtype(column):
        return column
    if not pd.api.types.is_numeric_dtype(column) or pd.api.types.is_bool_dtype(column):
        raise TypeError(f"column {column.name!r} holds {column.dtype} values, not Excel serial dates")
    # Serial numbers carry the time of day as a binary fraction; Excel keeps
    # milliseconds, so anything finer is rounding noise.
    return (EXCEL_EPOCH + pd.to_timedelta(column, unit="D")).dt.round("ms")
