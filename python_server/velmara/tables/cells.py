"""Frame columns as Excel cells and back: values, number formats, sizes.

Excel decides what a written value means, not the writer: Range.values takes
text that starts with "=", "+" or "-" as a formula, numeric-looking text as a
number (leading zeros gone, past 15 digits rounded), "TRUE" as a boolean and
date-looking text as a date; only a cell formatted as Text ("@") keeps any
text exactly. And a cell holds no dates, only serial day numbers that its
number format shows as dates. So every written cell gets a number format that
says what it is, and reading turns the formats back into column types:

| column             | written as                 | number format                        |
|--------------------|----------------------------|--------------------------------------|
| text               | the text                   | "@" (Text)                           |
| integers           | the numbers                | "0"                                  |
| floats             | the numbers                | "General"                            |
| booleans           | the booleans               | "General"                            |
| naive datetimes    | serial day numbers         | "yyyy-mm-dd" (all at midnight),      |
|                    |                            | "yyyy-mm-dd hh:mm:ss" (".000": ms)   |
| UTC datetimes      | serial numbers of UTC time | the same + ' "UTC"' (a literal)      |

https://learn.microsoft.com/javascript/api/excel/excel.range#excel-excel-range-values-member
https://learn.microsoft.com/javascript/api/excel/excel.range#excel-excel-range-numberformat-member
https://support.microsoft.com/office/number-format-codes-5026bbd6-04bc-48cd-bf33-80f18b4eae68
"""

from __future__ import annotations

import datetime as dt
import json
import math
import re
from typing import Any

import numpy as np
import pandas as pd  # type: ignore[import-untyped]

TEXT = "@"
GENERAL = "General"
INTEGER = "0"
DATE = "yyyy-mm-dd"
DATETIME = "yyyy-mm-dd hh:mm:ss"
DATETIME_MS = "yyyy-mm-dd hh:mm:ss.000"
UTC = ' "UTC"'

# Day 0 of Excel's 1900 date system as Office.js reports serial numbers
# (day 1 is 1900-01-01; counting from 1899-12-30 absorbs Excel's phantom
# 29 February 1900 for every date after it).
EXCEL_EPOCH = pd.Timestamp("1899-12-30")
# Serial 61 is 1900-03-01; below it Excel counts one day more than the
# calendar (its 29 February 1900), and below 1 it holds no date at all.
_LEAP_BUG_SERIAL = 61
_DAY_NS = 86_400 * 10**9
_DAY_MS = 86_400_000
_NAT = np.iinfo(np.int64).min

# The datetime dtype pandas gives to datetimes it infers (microseconds from
# pandas 3, nanoseconds before): what a frame built the ordinary way holds.
DATETIME_DTYPE = pd.Series([dt.datetime(2000, 1, 1)]).dtype

# Upper bounds of a cell's JSON text by kind: a float's shortest repr with
# sign and exponent, an int64, `false`, and the "" of an empty cell.
_FLOAT_CHARS = 24
_INT_CHARS = 20
_BOOL_CHARS = 5
_EMPTY_CHARS = 2
# JSON escapes a quote or backslash in 2 characters and a control
# character in 6 (\u001f): up to 5 more than the character itself.
_ESCAPED = r'[\x00-\x1f"\\]'
_ESCAPED_RE = re.compile(_ESCAPED)
# Below this many cells pandas' vectorised string methods cost more than a loop.
_VECTOR_MIN = 2_000


class Column:
    """One frame column as cells: values ready for the wire, formats, sizes."""

    __slots__ = ("cells", "format_sizes", "formats", "sizes")

    def __init__(self, cells: Any, formats: Any, sizes: Any) -> None:
        self.cells = cells      # object ndarray of str, int, float, bool
        self.sizes = sizes      # int64 ndarray: upper bound of each cell's JSON in UTF-8 bytes
        n = len(cells)
        if isinstance(formats, str):
            self.formats = np.empty(n, dtype=object)  # number format codes
            self.formats[:] = formats
            self.format_sizes = np.full(n, len(json.dumps(formats)), dtype=np.int64)
            return
        self.formats = formats
        codes = formats.tolist()
        lengths = {fmt: len(json.dumps(fmt)) for fmt in set(codes)}
        self.format_sizes = np.fromiter((lengths[fmt] for fmt in codes), dtype=np.int64, count=n)


def column_cells(series: Any) -> Column:
    """column_cells(series) -> the column's cells, formats and JSON sizes."""
    n = len(series)
    dtype = series.dtype
    missing = series.isna().to_numpy()
    if isinstance(dtype, pd.CategoricalDtype):
        return column_cells(series.astype(object))
    if pd.api.types.is_bool_dtype(dtype):
        return _typed(series, missing, GENERAL, _BOOL_CHARS)
    if pd.api.types.is_integer_dtype(dtype):
        return _typed(series, missing, INTEGER, _INT_CHARS)
    if pd.api.types.is_float_dtype(dtype):
        values = series.to_numpy(dtype=float, na_value=np.nan)
        if np.isinf(values).any():
            raise ValueError(f"column {series.name!r} holds an infinity, which an Excel cell cannot hold")
        return _typed(series, missing, GENERAL, _FLOAT_CHARS)
    if isinstance(dtype, pd.DatetimeTZDtype) or pd.api.types.is_datetime64_dtype(dtype):
        return _datetimes(series, missing)
    if pd.api.types.is_string_dtype(dtype) and not pd.api.types.is_object_dtype(dtype):
        text = np.array(series.to_numpy(dtype=object, na_value=""), dtype=object)
        return Column(text, TEXT, text_sizes(text))
    # Object columns (and anything else) decide cell by cell.
    cells = np.empty(n, dtype=object)
    formats = np.empty(n, dtype=object)
    for i, item in enumerate(series.to_numpy(dtype=object)):
        cells[i], formats[i] = cell(item)
    if (formats == TEXT).any():
        # A blank in a text column stays Text for whatever is typed there later.
        formats[missing] = TEXT
    return Column(cells, formats, text_sizes(cells))


def cell(item: object) -> tuple[object, str]:
    """cell(item) -> (the value to write, its number format) for one Python value."""
    if _is_missing(item):
        return "", GENERAL
    if isinstance(item, str):
        return item, TEXT
    if isinstance(item, bool | np.bool_):
        return bool(item), GENERAL
    if isinstance(item, int | np.integer):
        return int(item), INTEGER
    if isinstance(item, float | np.floating):
        if math.isinf(item):
            raise ValueError(f"{item} cannot be held in an Excel cell")
        return float(item), GENERAL
    if isinstance(item, dt.datetime | dt.date | np.datetime64):
        stamp = pd.Timestamp(item)
        suffix = ""
        if stamp.tzinfo is not None:
            stamp, suffix = stamp.tz_convert("UTC").tz_localize(None), UTC
        ns = np.array([stamp.as_unit("ns").value], dtype=np.int64)
        return float(_serials(ns)[0]), _date_format(ns) + suffix
    return str(item), TEXT


def header_cells(labels: list[object]) -> Column:
    """header_cells(labels) -> the header row as cells (text labels as Text)."""
    cells = np.empty(len(labels), dtype=object)
    formats = np.empty(len(labels), dtype=object)
    for i, label in enumerate(labels):
        cells[i], formats[i] = cell(label)
    return Column(cells, formats, text_sizes(cells))


def text_sizes(cells: Any) -> Any:
    """text_sizes(cells) -> an upper bound of each cell's JSON text in UTF-8 bytes."""
    if len(cells) < _VECTOR_MIN:
        return np.fromiter((_json_bytes(v) for v in cells.tolist()), dtype=np.int64, count=len(cells))
    series = pd.Series(cells, dtype=object)
    is_text = series.map(type).eq(str).to_numpy()
    sizes = np.full(len(cells), _FLOAT_CHARS, dtype=np.int64)
    if is_text.any():
        text = series[is_text].astype(str)
        utf8 = text.str.encode("utf-8").str.len().to_numpy(dtype=np.int64)
        escapes = text.str.count(_ESCAPED).to_numpy(dtype=np.int64)
        sizes[is_text] = utf8 + 2 + 5 * escapes
    return sizes


def _json_bytes(value: object) -> int:
    if type(value) is not str:
        return _FLOAT_CHARS
    return len(value.encode()) + 2 + 5 * len(_ESCAPED_RE.findall(value))


def _typed(series: Any, missing: Any, fmt: str, chars: int) -> Column:
    # numpy's object conversion gives Python scalars, the types the wire knows.
    cells = np.array(series.to_numpy(dtype=object), dtype=object)
    sizes = np.full(len(series), chars, dtype=np.int64)
    if missing.any():
        cells[missing] = ""
        sizes[missing] = _EMPTY_CHARS
    return Column(cells, fmt, sizes)


def _datetimes(series: Any, missing: Any) -> Column:
    suffix = ""
    if isinstance(series.dtype, pd.DatetimeTZDtype):
        series = series.dt.tz_convert("UTC").dt.tz_localize(None)
        suffix = UTC
    ns = series.to_numpy(dtype="datetime64[ns]").view(np.int64)
    cells = _serials(ns).astype(object)
    sizes = np.full(len(series), _FLOAT_CHARS, dtype=np.int64)
    if missing.any():
        cells[missing] = ""
        sizes[missing] = _EMPTY_CHARS
    return Column(cells, _date_format(ns) + suffix, sizes)


def _serials(ns: Any) -> Any:
    serials = (ns - EXCEL_EPOCH.value) / _DAY_NS
    with np.errstate(invalid="ignore"):
        early = serials < _LEAP_BUG_SERIAL
    if early.any():
        valid = ns != _NAT
        if (serials[valid & early] < 2).any():
            raise ValueError("Excel holds no dates before 1900-01-01")
        serials[early] -= 1
    return serials


def _date_format(ns: Any) -> str:
    ns = ns[ns != _NAT]
    if (ns % _DAY_NS == 0).all():
        return DATE
    if (ns % 10**9 // 10**6 != 0).any():
        return DATETIME_MS
    return DATETIME


def _is_missing(item: object) -> bool:
    if item is None or item is pd.NA or item is pd.NaT:
        return True
    return isinstance(item, float | np.floating) and math.isnan(item)


# ---------------------------------------------------------------------------
# reading

# Literal text in a format code: "quoted", \x escaped, [colour or locale].
_LITERALS = re.compile(r'"[^"]*"|\\.|\[[^\]]*\]|_.|\*.')
_DATE_CODES = re.compile(r"[ymdhs]", re.IGNORECASE)


def is_date_format(fmt: object) -> bool:
    """is_date_format(fmt) -> whether a number format shows numbers as dates or times."""
    if not isinstance(fmt, str) or fmt in (GENERAL, TEXT):
        return False
    return _DATE_CODES.search(_LITERALS.sub("", fmt)) is not None


def from_serials(values: Any, *, utc: bool = False) -> Any:
    """from_serials(values, utc=False) -> datetimes of Excel serial day numbers (NaN -> NaT)."""
    serials = np.asarray(values, dtype=float)
    serials = np.where(serials < _LEAP_BUG_SERIAL, serials + 1, serials)
    # A serial number carries the time of day as a binary fraction; Excel
    # keeps milliseconds, so anything finer is rounding noise. Counted in
    # milliseconds, the whole of Excel's calendar (to 9999) fits.
    ms = np.round(serials * _DAY_MS)
    valid = ~np.isnan(ms)
    stamps = np.full(len(ms), _NAT, dtype=np.int64)
    stamps[valid] = ms[valid].astype(np.int64) + EXCEL_EPOCH.value // 10**6
    result = pd.Series(stamps.view("datetime64[ms]").astype(DATETIME_DTYPE))
    return result.dt.tz_localize("UTC") if utc else result


def restore(cells: list[object], formats: list[object] | None, name: object) -> Any:
    """restore(cells, formats, name) -> a pandas Series of one column read from Excel.

    Numbers in cells whose format shows dates become datetimes (UTC when
    every such format carries the "UTC" literal); everything else is
    inferred from the values as pandas infers a column of Python objects.
    An empty cell ("") is missing: None before inference, so text columns
    get pandas' own missing value for text.
    """
    present = [i for i, v in enumerate(cells) if v != "" and v is not None]
    if present and formats is not None:
        shown = {formats[i] for i in present}  # a column has one format or a few
        if all(is_date_format(fmt) for fmt in shown) and all(type(cells[i]) in (int, float) for i in present):
            utc = all(UTC.strip() in str(fmt) for fmt in shown)
            values = [np.nan if v == "" or v is None else v for v in cells]
            return from_serials(values, utc=utc).rename(name)
    return pd.Series([None if v == "" else v for v in cells], dtype=None, name=name)
