"""The simulated workbook: sheets of cells, independent of any connection.

A cell holds a plain value as (tag, payload) with the wire tags of the
bridge ("Bool", "Int", "Float", "String", "Date", "Bytes"), so that every
kind written through a range reads back as the same kind. The simulator
does not calculate: a formula cell's value is its formula text. An empty
cell reads as the empty string, as Excel reports it.
"""

from __future__ import annotations

import itertools
import uuid
from dataclasses import dataclass, field

from .addresses import Area

Scalar = tuple[str, object]

EMPTY: Scalar = ("String", "")
GENERAL = "General"
_FORBIDDEN = set('[]:*?/\\')
# Reading or writing more cells than this in one request is refused: the
# simulator holds everything in memory and answers in one frame.
MAX_CELLS_PER_REQUEST = 2_000_000


class SimError(Exception):
    """A request the add-in refuses; its text goes back as the error message."""


@dataclass(slots=True)
class Cell:
    value: Scalar | None = None
    formula: str | None = None
    number_format: str = GENERAL

    def is_blank(self) -> bool:
        return self.value is None and self.formula is None and self.number_format == GENERAL


@dataclass(eq=False)
class Worksheet:
    name: str
    id: str = field(default_factory=lambda: "{" + str(uuid.uuid4()).upper() + "}")
    cells: dict[tuple[int, int], Cell] = field(default_factory=dict)
    deleted: bool = False

    def check_alive(self) -> None:
        if self.deleted:
            raise SimError(f"The worksheet {self.name!r} has been deleted")

    def _check_size(self, area: Area) -> None:
        if area.cell_count > MAX_CELLS_PER_REQUEST:
            raise SimError(f"The range has {area.cell_count} cells; the simulator handles at most "
                           f"{MAX_CELLS_PER_REQUEST} per request")

    def read(self, area: Area, what: str) -> list[list[Scalar]]:
        self.check_alive()
        self._check_size(area)
        rows = []
        get = self.cells.get
        for r in range(area.top, area.bottom + 1):
            row = []
            for c in range(area.left, area.right + 1):
                cell = get((r, c))
                if cell is None:
                    row.append(("String", GENERAL) if what == "numberFormat" else EMPTY)
                elif what == "values":
                    row.append(cell.value if cell.value is not None else
                               (("String", cell.formula) if cell.formula else EMPTY))
                elif what == "formulas":
                    row.append(("String", cell.formula) if cell.formula is not None else
                               (cell.value if cell.value is not None else EMPTY))
                else:
                    row.append(("String", cell.number_format))
            rows.append(row)
        return rows

    def write(self, area: Area, what: str, rows: list[list[Scalar | None]]) -> None:
        """Write a full rectangle of values; shapes are checked by the caller."""
        self.check_alive()
        self._check_size(area)
        for dr, row in enumerate(rows):
            for dc, item in enumerate(row):
                key = (area.top + dr, area.left + dc)
                cell = self.cells.get(key)
                if cell is None:
                    if item is None:
                        continue
                    cell = self.cells[key] = Cell()
                if what == "numberFormat":
                    cell.number_format = GENERAL if item is None else str(item[1])
                elif item is None:
                    cell.value = cell.formula = None
                elif what == "formulas" and item[0] == "String" and str(item[1]).startswith("="):
                    cell.formula, cell.value = str(item[1]), None
                else:
                    cell.value, cell.formula = item, None
                if cell.is_blank():
                    del self.cells[key]

    def clear(self, area: Area, apply_to: str) -> None:
        self.check_alive()
        for key in [k for k in self.cells if area.top <= k[0] <= area.bottom and area.left <= k[1] <= area.right]:
            cell = self.cells[key]
            if apply_to in ("All", "Contents"):
                cell.value = cell.formula = None
            if apply_to in ("All", "Formats"):
                cell.number_format = GENERAL
            if cell.is_blank():
                del self.cells[key]

    def used_area(self) -> Area:
        self.check_alive()
        keys = [k for k, cell in self.cells.items() if cell.value is not None or cell.formula is not None]
        if not keys:
            return Area(0, 0, 0, 0)
        rows = [k[0] for k in keys]
        cols = [k[1] for k in keys]
        return Area(min(rows), min(cols), max(rows), max(cols))


class Workbook:
    def __init__(self, name: str = "Book1.xlsx", sheet_names: tuple[str, ...] = ("Sheet1",)) -> None:
        self.name = name
        self.sheets: list[Worksheet] = [Worksheet(n) for n in sheet_names]
        self.active: Worksheet = self.sheets[0]
        self._numbers = itertools.count(len(self.sheets) + 1)

    def find(self, key: str) -> Worksheet | None:
        """A sheet by name (case-insensitive, as Excel compares) or by id."""
        folded = key.casefold()
        for sheet in self.sheets:
            if sheet.name.casefold() == folded or sheet.id == key:
                return sheet
        return None

    def get(self, key: str) -> Worksheet:
        sheet = self.find(key)
        if sheet is None:
            raise SimError(f"The requested worksheet {key!r} does not exist")
        return sheet

    def check_name(self, name: str, renaming: Worksheet | None = None) -> None:
        if not name or len(name) > 31 or _FORBIDDEN & set(name) or name[0] == "'" or name[-1] == "'":
            raise SimError(f"Invalid worksheet name {name!r}: 1 to 31 characters, none of [ ] : * ? / \\, "
                           "not starting or ending with an apostrophe")
        other = self.find(name)
        if other is not None and other is not renaming:
            raise SimError(f"A worksheet named {other.name!r} already exists")

    def add(self, name: str | None = None) -> Worksheet:
        if name is None:
            name = f"Sheet{next(self._numbers)}"
            while self.find(name) is not None:
                name = f"Sheet{next(self._numbers)}"
        self.check_name(name)
        sheet = Worksheet(name)
        self.sheets.append(sheet)
        return sheet

    def delete(self, sheet: Worksheet) -> None:
        sheet.check_alive()
        if len(self.sheets) == 1:
            raise SimError("A workbook must contain at least one visible worksheet")
        self.sheets.remove(sheet)
        sheet.deleted = True
        if self.active is sheet:
            self.active = self.sheets[0]

    def position(self, sheet: Worksheet) -> int:
        sheet.check_alive()
        return self.sheets.index(sheet)
