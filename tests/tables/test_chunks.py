"""How the frame helpers cut cells into requests, without a far end."""

import itertools

import numpy as np
import pytest

from velmara_master.python_server.velmara.tables import chunks


@pytest.mark.parametrize("row_bytes, chunk_rows", [
    ([1_000] * 10_000, None),                      # 10 MB of small rows
    ([700_000, 10, 3_999_990, 5, 4_000_000], None),  # rows that fill a budget exactly
    ([9_000_000, 1, 1], None),                     # one row larger than any request
    ([100] * 1_000, 7),
])
def test_write_chunks_cover_every_row_once_within_the_budgets(row_bytes, chunk_rows):
    slices = chunks.write_chunks(row_bytes, 5, chunk_rows)
    assert [a for a, _ in slices] == [0] + [b for _, b in slices[:-1]] and slices[-1][1] == len(row_bytes)
    for a, b in slices:
        payload = sum(row_bytes[a:b])
        wire = payload + (b - a) * (5 * chunks.WIRE_CELL_CHARS + chunks.WIRE_ROW_CHARS)
        assert b - a == 1 or (payload <= chunks.PAYLOAD_BUDGET and wire <= chunks.FRAME_BUDGET)
        assert chunk_rows is None or b - a <= chunk_rows
    # No slice could have taken the next row as well.
    for (a, b), _ in itertools.pairwise(slices):
        payload = sum(row_bytes[a:b + 1])
        wire = payload + (b + 1 - a) * (5 * chunks.WIRE_CELL_CHARS + chunks.WIRE_ROW_CHARS)
        assert payload > chunks.PAYLOAD_BUDGET or wire > chunks.FRAME_BUDGET or b - a == chunk_rows


@pytest.mark.parametrize("columns", [1, 5, 16_384])
def test_a_read_never_asks_for_more_than_excel_reads_at_once(columns):
    rows = chunks.read_rows(columns)
    assert 1 <= rows * columns <= chunks.MAX_READ_CELLS or rows == 1
    assert rows * (columns * (chunks.READ_CELL_CHARS + chunks.WIRE_CELL_CHARS) + chunks.WIRE_ROW_CHARS) \
        <= chunks.FRAME_BUDGET or rows == 1
    assert chunks.read_rows(columns, chunk_rows=3) == min(rows, 3)


def test_empty_input_makes_no_chunk():
    assert chunks.write_chunks(np.zeros(0, dtype=np.int64), 3) == []
