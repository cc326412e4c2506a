"""How many rows go into one request, and the progress bar over them.

Two limits bound a request of cells. Excel on the web refuses a request or
response payload over 5 MB (RequestPayloadSizeLimitExceeded,
ResponsePayloadSizeLimitExceeded), and reads over five million cells; the
payload is the cells' JSON. And the kernel refuses a frame from the add-in
over MAX_FRAME_CHARS characters; there every cell travels as a wire value,
about 45 characters more than its JSON. Budgets stay well inside both, so a
chunk fits whatever else shares its sync.
https://learn.microsoft.com/office/dev/add-ins/concepts/resource-limits-and-performance-optimization#excel-add-ins
"""

from __future__ import annotations

import sys
from typing import Any

import numpy as np

from ..protocol import MAX_FRAME_CHARS

# Office.js JSON bytes of one request's cells: 4 of Excel's 5 MB.
PAYLOAD_BUDGET = 4_000_000
# Characters of one answer's frame: three quarters of the kernel's limit.
FRAME_BUDGET = MAX_FRAME_CHARS * 3 // 4
# Excel on the web reads at most five million cells at once.
MAX_READ_CELLS = 5_000_000
# A cell's wire value around its JSON: {"type":"String","value":…,"isSpec":false},
# and a row's array around its cells.
WIRE_CELL_CHARS = 45
WIRE_ROW_CHARS = 60
# What a read expects of a cell it has not seen: a float's JSON, or a short
# text. A chunk that proves larger is asked again in halves.
READ_CELL_CHARS = 24
# Progress is shown for work of more cells than this (about a second's worth
# over the loopback WebSocket; see docs/performance.md).
PROGRESS_MIN_CELLS = 100_000


def write_chunks(row_bytes: Any, row_cells: int, chunk_rows: int | None = None) -> list[tuple[int, int]]:
    """write_chunks(row_bytes, row_cells, chunk_rows=None) -> [(start, stop), ...] row slices.

    `row_bytes[i]` bounds row i's cells as JSON in UTF-8 bytes (the larger of
    its values and its number formats), `row_cells` is the cells in a row.
    Each slice's rows fit the payload budget and, as wire values, the frame
    budget; `chunk_rows` caps the rows of a slice further.
    """
    row_bytes = np.asarray(row_bytes, dtype=np.int64)
    n = len(row_bytes)
    if n == 0:
        return []
    payload = np.cumsum(row_bytes)
    wire = np.cumsum(row_bytes + row_cells * WIRE_CELL_CHARS + WIRE_ROW_CHARS)
    return _slices(n, [payload, wire], [PAYLOAD_BUDGET, FRAME_BUDGET], chunk_rows)


def _slices(n: int, totals: list[Any], budgets: list[int], chunk_rows: int | None) -> list[tuple[int, int]]:
    slices = []
    start = 0
    while start < n:
        stop = n
        for total, budget in zip(totals, budgets, strict=True):
            before = total[start - 1] if start else 0
            stop = min(stop, int(np.searchsorted(total, before + budget, side="right")))
        if chunk_rows is not None:
            stop = min(stop, start + chunk_rows)
        stop = max(stop, start + 1)  # a row over budget goes alone; Excel says if it is too large
        slices.append((start, stop))
        start = stop
    return slices


def read_rows(columns: int, chunk_rows: int | None = None) -> int:
    """read_rows(columns, chunk_rows=None) -> rows to ask for in one read of `columns` cells each."""
    per_row_wire = columns * (READ_CELL_CHARS + WIRE_CELL_CHARS) + WIRE_ROW_CHARS
    per_row_payload = columns * (READ_CELL_CHARS + 1) + 2
    rows = min(FRAME_BUDGET // per_row_wire, PAYLOAD_BUDGET // per_row_payload, MAX_READ_CELLS // max(columns, 1))
    if chunk_rows is not None:
        rows = min(rows, chunk_rows)
    return max(rows, 1)


def too_large(exc: BaseException) -> bool:
    """too_large(exc) -> whether a read failed only because its answer was too large."""
    text = str(exc)
    return "PayloadSizeLimitExceeded" in text or "too large" in text.lower()


class Progress:
    """A tqdm bar over cells, or nothing: on when asked, or by default for long work on a terminal."""

    def __init__(self, what: str, cells: int, progress: bool | None) -> None:
        if progress is None:
            progress = cells > PROGRESS_MIN_CELLS and sys.stderr.isatty()
        self._bar: Any = None
        if progress:
            from tqdm import tqdm  # type: ignore[import-untyped]

            self._bar = tqdm(total=cells, desc=what, unit="cell", unit_scale=True, file=sys.stderr)

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exc: object) -> None:
        if self._bar is not None:
            self._bar.close()

    def update(self, cells: int) -> None:
        if self._bar is not None:
            self._bar.update(cells)
