"""pandas DataFrames in and out of Excel ranges, in requests Excel accepts.

A frame goes out as cells with number formats that make Excel keep what was
written (cells.py), in as many requests as its size needs (chunks.py), and
comes back with its column types restored from those formats.

What Excel hands back shapes the reading side:
- an empty cell reads as "" (Office.js reports no data that way), so ""
  becomes a missing value; a genuinely empty text cell cannot be told apart;
- JSON has a single number type, so a whole float such as 2.0 comes back as
  the int 2: a column of numbers with no fraction and no empty cell reads as
  int64, one with any fraction or any empty cell as float64.

And the writing side: in a 2-D array Office.js reads null as "leave this cell
unchanged" and "" as "clear it", so missing cells (NaN, NaT, None, pd.NA)
are written as "", which also makes them read back as missing.
"""

from __future__ import annotations

import math
import re
from collections.abc import Hashable, Iterable
from typing import Any

import numpy as np
import pandas as pd  # type: ignore[import-untyped]

from com_like import OfficeJsObject

from . import chunks
from .cells import Column, column_cells, from_serials, header_cells, restore


def read_frame(source: OfficeJsObject, header: bool = True, *, dates: Iterable[Hashable] = (),
               progress: bool | None = None, chunk_rows: int | None = None) -> Any:
    """read_frame(source, header=True, *, dates=(), progress=None, chunk_rows=None) -> pandas.DataFrame

    Reads `source` (a Range; a Worksheet stands for its used range, two
    requests more): one GET of its address, then its `values` and
    `numberFormat` (two GETs) when they fit one answer, or the same for each
    chunk of rows (one CALL more each) when they do not (see chunks.py).
    Whole columns or rows ("C:E", "1:3") are read as far as the sheet's
    used range reaches (four requests more), never as a million empty
    rows. With `header`, the first row gives the column labels (an empty
    label becomes "Unnamed: N", as pandas names them).

    Column types come from the cells: numbers in cells formatted as dates
    or times become datetimes (in UTC where the format says "UTC", as
    write_frame writes them), at the resolution pandas gives datetimes
    (microseconds from pandas 3); everything else is inferred as pandas
    infers a column of Python objects: ints, floats, bools, text. Empty
    cells are missing: NaN or NaT by the column's type, and for text
    pandas' own missing value (NaN in a `str` column from pandas 3, None in
    an object column before), so a frame built the ordinary way reads back
    equal. `dates` names further columns of serial day numbers (for a
    sheet whose dates carry no date format) to turn into datetimes.

    `progress` shows a tqdm bar on stderr (default: for reads of over
    100,000 cells when stderr is a terminal). `chunk_rows` caps the rows
    read at once.
    """
    if source._internal_typeName == "Worksheet":  # noqa: SLF001
        source = source.getUsedRange()
    top, left, height, width = _area(source.address)
    get_range = None
    if height == MAX_ROWS or width == MAX_COLUMNS:
        # Excel gives no values for an unbounded range: read what is used of it.
        sheet = source.worksheet
        get_range = sheet.getRange
        top, left, height, width = _intersect((top, left, height, width), _area(sheet.getUsedRange().address))
        if height and width:
            source = get_range(_address(top, left, height, width))
    step = chunks.read_rows(width, chunk_rows)
    values: list[list[Any]] = []
    formats: list[list[Any]] = []
    with chunks.Progress("read_frame", height * width, progress) as bar:
        start = 0
        while start < height:
            stop = min(start + step, height)
            try:
                if stop - start == height:
                    part_values, part_formats = _read(source)
                else:
                    if get_range is None:
                        get_range = source.worksheet.getRange
                    part_values, part_formats = _read(get_range(_address(top + start, left, stop - start, width)))
            except RuntimeError as exc:
                if stop - start == 1 or not chunks.too_large(exc):
                    raise
                step = (stop - start + 1) // 2  # bigger cells than expected: ask for fewer at a time
                continue
            values += part_values
            formats += part_formats
            bar.update((stop - start) * width)
            start = stop
    if header:
        if not values:
            raise ValueError("the range has no header row")
        labels: list[Hashable] = [f"Unnamed: {i}" if label == "" or label is None else label
                                  for i, label in enumerate(values[0])]
        values, formats = values[1:], formats[1:]
    else:
        labels = list(range(width))
    columns = {i: restore([row[i] for row in values], [row[i] for row in formats], None)
               for i in range(width)}
    frame = pd.DataFrame(columns, index=pd.RangeIndex(len(values)))
    frame.columns = pd.Index(labels) if header else pd.RangeIndex(width)
    for label in dates:
        frame[label] = _dates(frame[label])
    return frame


def write_frame(target: OfficeJsObject, frame: Any, index: bool = False, *, header: bool = True,
                progress: bool | None = None, chunk_rows: int | None = None) -> OfficeJsObject:
    """write_frame(target, frame, index=False, *, header=True, progress=None, chunk_rows=None) -> the Range written

    Writes the column labels (unless `header` is false) and then one row
    per record into the range that starts at the top-left cell of `target`
    (a Range, or a Worksheet for its A1) and is exactly as large as the
    frame. Each cell gets a
    number format before its value, so that Excel keeps what was written:
    text as Text ("@"), so "00123", "=A1" or "TRUE" stay text; datetimes
    as serial numbers formatted as dates (with a "UTC" literal for
    time-zone-aware columns, converted to UTC); integers "0"; floats and
    booleans "General". Missing cells (NaN, NaT, None, pd.NA) are written
    as empty cells.

    Requests: two to name the range (the method's GET and CALL), then a SET
    of its `numberFormat` and one of its `values`. A frame too large for
    one request (see chunks.py) is written in chunks of rows: three GETs
    more (the range's address, its worksheet, `getRange`), then a CALL and
    the two SETs per chunk. With `index`, the index goes first as
    column(s), as `reset_index()` puts it. A Series is written as a
    one-column frame.

    `progress` shows a tqdm bar on stderr (default: for writes of over
    100,000 cells when stderr is a terminal). `chunk_rows` caps the rows
    written at once.
    """
    if isinstance(frame, pd.Series):
        frame = frame.to_frame()
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"write_frame() needs a pandas DataFrame or Series, not {type(frame).__name__}")
    if index:
        frame = frame.reset_index()
    if frame.shape[1] == 0:
        raise ValueError("the frame has no columns to write")
    width = frame.shape[1]
    labels = header_cells([_label(label) for label in frame.columns]) if header else None
    columns = [column_cells(frame.iloc[:, i]) for i in range(width)]
    cells, formats, row_bytes = _grid(labels, columns)
    rows = len(cells)
    if rows == 0:
        raise ValueError("the frame has no rows to write and no header")
    if rows > MAX_ROWS or width > MAX_COLUMNS:
        raise ValueError(f"{rows:,} rows x {width:,} columns do not fit a worksheet "
                         f"({MAX_ROWS:,} x {MAX_COLUMNS:,})")
    # The type name arrives with the reference, so telling a sheet from a
    # range costs nothing; every other way would be a round trip.
    if target._internal_typeName == "Worksheet":  # noqa: SLF001
        written = target.getRange(_address(0, 0, rows, width))
    else:
        written = target.getAbsoluteResizedRange(rows, width)
    slices = chunks.write_chunks(row_bytes, width, chunk_rows)
    with chunks.Progress("write_frame", rows * width, progress) as bar:
        if len(slices) == 1:
            _write(written, cells, formats)
            bar.update(rows * width)
            return written  # type: ignore[no-any-return]
        top, left, _, _ = _area(written.address)
        sheet = target if target._internal_typeName == "Worksheet" else written.worksheet  # noqa: SLF001
        get_range = sheet.getRange
        for start, stop in slices:
            _write(get_range(_address(top + start, left, stop - start, width)),
                   cells[start:stop], formats[start:stop])
            bar.update((stop - start) * width)
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


# Excel's grid: 1,048,576 rows of 16,384 columns.
MAX_ROWS = 1_048_576
MAX_COLUMNS = 16_384
_CELL = re.compile(r"^\$?([A-Z]{0,3})\$?([0-9]{0,7})$")


def _area(address: str) -> tuple[int, int, int, int]:
    """(top, left, rows, columns) of a range's address ("Sheet1!B2:C3", "'My sheet'!C:C", "1:3")."""
    cells = address.rsplit("!", 1)[-1].upper()
    if "," in cells:
        raise ValueError(f"{address} is several areas; read each one by itself")
    first, _, last = cells.partition(":")
    corners = [_CELL.match(first), _CELL.match(last or first)]
    if corners[0] is None or corners[1] is None:
        raise ValueError(f"cannot read the address {address!r}")
    (c0, r0), (c1, r1) = (m.groups() for m in corners)  # type: ignore[union-attr]
    left, right = (_column_index(c0), _column_index(c1)) if c0 else (0, MAX_COLUMNS - 1)
    top, bottom = (int(r0) - 1, int(r1) - 1) if r0 else (0, MAX_ROWS - 1)
    return top, left, bottom - top + 1, right - left + 1


def _intersect(a: tuple[int, int, int, int], b: tuple[int, int, int, int]) -> tuple[int, int, int, int]:
    top, left = max(a[0], b[0]), max(a[1], b[1])
    bottom, right = min(a[0] + a[2], b[0] + b[2]), min(a[1] + a[3], b[1] + b[3])
    return top, left, max(bottom - top, 0), max(right - left, 0)


def _column_index(letters: str) -> int:
    index = 0
    for letter in letters:
        index = index * 26 + ord(letter) - ord("A") + 1
    return index - 1


def _address(top: int, left: int, rows: int, columns: int) -> str:
    return f"{column_letters(left)}{top + 1}:{column_letters(left + columns - 1)}{top + rows}"


def _read(source: Any) -> tuple[list[list[Any]], list[list[Any]]]:
    return _rows(source.values), _rows(source.numberFormat)


def _rows(grid: object) -> list[list[Any]]:
    # Rows of scalars: copied by list's own methods, which no proxy subclass
    # can turn into requests (the general to_plain walk costs a call a cell).
    if not isinstance(grid, list) or not all(isinstance(row, list) for row in list.__iter__(grid)):
        raise TypeError(f"expected a 2-D array of cells, got {type(grid).__name__}")
    return [list.copy(row) for row in list.__iter__(grid)]


def _write(target: Any, cells: Any, formats: Any) -> None:
    # Formats first: a value lands in a cell that already says what it is.
    target.numberFormat = formats.tolist()
    target.values = cells.tolist()


def _grid(header: Column | None, columns: list[Column]) -> tuple[Any, Any, Any]:
    """The header (if any) and columns as (cells, formats) grids and each row's JSON bytes."""
    first = 0 if header is None else 1
    rows = first + len(columns[0].cells)
    cells = np.empty((rows, len(columns)), dtype=object)
    formats = np.empty((rows, len(columns)), dtype=object)
    value_bytes = np.zeros(rows, dtype=np.int64)
    format_bytes = np.zeros(rows, dtype=np.int64)
    if header is not None:
        cells[0], formats[0] = header.cells, header.formats
        value_bytes[0] = header.sizes.sum()
        format_bytes[0] = header.format_sizes.sum()
    for i, column in enumerate(columns):
        cells[first:, i] = column.cells
        formats[first:, i] = column.formats
        value_bytes[first:] += column.sizes
        format_bytes[first:] += column.format_sizes
    # A comma after each cell, brackets around each row.
    overhead = len(columns) + 2
    return cells, formats, np.maximum(value_bytes, format_bytes) + overhead


def _dates(column: Any) -> Any:
    if pd.api.types.is_datetime64_any_dtype(column):
        return column
    if not pd.api.types.is_numeric_dtype(column) or pd.api.types.is_bool_dtype(column):
        raise TypeError(f"column {column.name!r} holds {column.dtype} values, not Excel serial dates")
    return from_serials(column.to_numpy(dtype=float, na_value=np.nan)).set_axis(column.index)


def _missing(cell: object) -> bool:
    return cell is None or cell == "" or (isinstance(cell, float) and math.isnan(cell))


def _label(label: object) -> object:
    # MultiIndex columns give tuples, which a cell cannot hold.
    if isinstance(label, tuple):
        return " ".join(str(part) for part in label if not _missing(part))
    return label
