"""A1-style addresses: "A1", "B2:D10", "A:C", "3:5", "'My Sheet'!$A$1:B2"."""

from __future__ import annotations

import re
from typing import NamedTuple

MAX_ROWS = 1_048_576
MAX_COLUMNS = 16_384

_PART = re.compile(r"^\$?([A-Za-z]{0,3})\$?([0-9]{0,7})$")


class AddressError(ValueError):
    pass


class Area(NamedTuple):
    """Zero-based, inclusive cell rectangle."""

    top: int
    left: int
    bottom: int
    right: int

    @property
    def row_count(self) -> int:
        return self.bottom - self.top + 1

    @property
    def column_count(self) -> int:
        return self.right - self.left + 1

    @property
    def cell_count(self) -> int:
        return self.row_count * self.column_count


def column_letters(index: int) -> str:
    letters = ""
    index += 1
    while index:
        index, rem = divmod(index - 1, 26)
        letters = chr(65 + rem) + letters
    return letters


def _column_index(letters: str) -> int:
    value = 0
    for ch in letters.upper():
        value = value * 26 + (ord(ch) - 64)
    return value - 1


def _part(text: str, whole: str) -> tuple[int | None, int | None]:
    match = _PART.match(text)
    if not match or not (match.group(1) or match.group(2)):
        raise AddressError(f"Invalid address {whole!r}")
    letters, digits = match.groups()
    column = _column_index(letters) if letters else None
    row = int(digits) - 1 if digits else None
    if column is not None and not 0 <= column < MAX_COLUMNS:
        raise AddressError(f"Invalid address {whole!r}: column {letters} is beyond XFD")
    if row is not None and not 0 <= row < MAX_ROWS:
        raise AddressError(f"Invalid address {whole!r}: row {digits} is outside 1..{MAX_ROWS}")
    return row, column


def split_sheet(address: str) -> tuple[str | None, str]:
    """("Sheet name" or None, the cell part) of an address."""
    if "!" not in address:
        return None, address
    sheet, _, cells = address.rpartition("!")
    if len(sheet) >= 2 and sheet[0] == sheet[-1] == "'":
        sheet = sheet[1:-1].replace("''", "'")
    if not sheet:
        raise AddressError(f"Invalid address {address!r}: empty sheet name")
    return sheet, cells


def parse_area(cells: str) -> Area:
    """The rectangle of "A1", "A1:B2", "A:B" or "1:2" (no sheet part)."""
    whole = cells
    pieces = cells.strip().split(":")
    if len(pieces) == 1:
        pieces = pieces * 2
    if len(pieces) != 2:
        raise AddressError(f"Invalid address {whole!r}")
    (r0, c0), (r1, c1) = (_part(p, whole) for p in pieces)
    if (r0 is None) != (r1 is None) or (c0 is None) != (c1 is None):
        raise AddressError(f"Invalid address {whole!r}")
    if r0 is None:  # whole columns
        r0, r1 = 0, MAX_ROWS - 1
    if c0 is None:  # whole rows
        c0, c1 = 0, MAX_COLUMNS - 1
    assert r1 is not None and c1 is not None
    if len(whole.split(":")) == 1 and (whole.strip().isdigit() or whole.strip().isalpha()):
        raise AddressError(f"Invalid address {whole!r}")
    return Area(min(r0, r1), min(c0, c1), max(r0, r1), max(c0, c1))


def quote_sheet(name: str) -> str:
    if re.fullmatch(r"[A-Za-z_][A-Za-z0-9_.]*", name):
        return name
    return "'" + name.replace("'", "''") + "'"


def format_area(area: Area) -> str:
    first = f"{column_letters(area.left)}{area.top + 1}"
    if area.row_count == 1 and area.column_count == 1:
        return first
    return f"{first}:{column_letters(area.right)}{area.bottom + 1}"


def format_address(sheet: str, area: Area) -> str:
    return f"{quote_sheet(sheet)}!{format_area(area)}"
