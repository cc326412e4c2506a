"""Throughput of Serializer.to_wire / from_wire against their floor.

The floor builds the identical output with a Python comprehension of dict
literals: what the output costs with no type tests at all. Four cases, each
next to its floor in the same run:

  to_wire   rows   10 000 rows x 10 cells (mixed int, float, str)
  to_wire   frame  the same table as a pandas DataFrame
  from_wire rows   the wire value of the rows (with "id"s, as the add-in sends)
  from_wire frame  the wire value of the frame

Decoding builds one array proxy per row; to measure the decoder rather than
the proxies' own constructor and finalizer, both the decoder and its floor
use the same minimal list subclass as OfficeJsArray.

    .venv/bin/python bench/bench_wire.py --fast [-o results.json]
    .venv/bin/python bench/bench_wire.py --compare   # summary table only
"""

import sys
from typing import Any

import pandas as pd  # type: ignore[import-untyped]
import pyperf

import com_like

ROWS, COLS = 10_000, 10
CELLS = ROWS * COLS

Cell = int | float | str
Wire = dict[str, Any]


class Arr(list[Any]):
    def __init__(self, object_id: int) -> None:
        pass


def make_rows() -> list[list[Cell]]:
    out = []
    for r in range(ROWS):
        row: list[Cell] = []
        for c in range(COLS):
            k = c % 3
            row.append(r * c if k == 0 else (r + c / 7) if k == 1 else f"s{r}-{c}")
        out.append(row)
    return out


def make_frame(rows: list[list[Cell]]) -> pd.DataFrame:
    return pd.DataFrame(rows, columns=[f"c{c}" for c in range(COLS)])


def tag_of(x: Cell) -> str:
    return "Int" if type(x) is int else "Float" if type(x) is float else "String"


# --- floors -----------------------------------------------------------------


def floor_to_wire_rows(rows: list[list[Any]]) -> Wire:
    return {
        "type": "Array",
        "value": [
            {
                "type": "Array",
                "value": [
                    {"type": "Int", "value": x, "isSpec": False}
                    if type(x) is int
                    else {"type": "Float", "value": x, "isSpec": False}
                    if type(x) is float
                    else {"type": "String", "value": x, "isSpec": False}
                    for x in row
                ],
                "isSpec": False,
            }
            for row in rows
        ],
        "isSpec": False,
    }


def floor_to_wire_frame(frame: pd.DataFrame) -> Wire:
    # the cells as Python values, column by column, then the same output
    labels = frame.columns.tolist()
    columns = [s.tolist() for _, s in frame.items()]
    table = [labels, *map(list, zip(*columns, strict=True))]
    return floor_to_wire_rows(table)


def floor_from_wire(wire: Wire) -> Arr:
    out = Arr(wire["id"])
    decoded = []
    for row in wire["value"]:
        a = Arr(row["id"])
        a.extend([c["value"] for c in row["value"]])
        decoded.append(a)
    out.extend(decoded)
    return out


def with_ids(wire: Wire) -> Wire:
    if wire["type"] == "Array":
        return {**wire, "id": 3, "value": [with_ids(x) for x in wire["value"]]}
    return wire


def check(rows: list[list[Cell]], frame: pd.DataFrame, wire_rows: Wire, wire_frame: Wire) -> None:
    S = com_like.Serializer
    assert S.to_wire(rows) == floor_to_wire_rows(rows)
    assert S.to_wire(frame) == floor_to_wire_frame(frame)
    assert S.from_wire(wire_rows) == floor_from_wire(wire_rows) == rows
    assert S.from_wire(wire_frame) == floor_from_wire(wire_frame)


def main() -> None:
    runner = pyperf.Runner()
    runner.metadata["cells"] = CELLS
    com_like.OfficeJsArray = Arr  # type: ignore[misc, assignment]  # the decoder builds plain lists here
    rows = make_rows()
    frame = make_frame(rows)
    S = com_like.Serializer
    wire_rows = with_ids(S.to_wire(rows))
    wire_frame = with_ids(S.to_wire(frame))
    check(rows, frame, wire_rows, wire_frame)
    cases: list[tuple[str, Any, Any, Any]] = [
        ("to_wire rows", S.to_wire, floor_to_wire_rows, rows),
        ("to_wire frame", S.to_wire, floor_to_wire_frame, frame),
        ("from_wire rows", S.from_wire, floor_from_wire, wire_rows),
        ("from_wire frame", S.from_wire, floor_from_wire, wire_frame),
    ]
    for name, fn, floor, arg in cases:
        # scripts/bench pairs "<name>" with "<name>.floor" and checks the goal.
        runner.bench_func(name, fn, arg, metadata={"goal": 1.2})
        runner.bench_func(name + ".floor", floor, arg)


def compare(path: str) -> None:
    suite = pyperf.BenchmarkSuite.load(path)
    by_name = {b.get_name(): b.mean() for b in suite.get_benchmarks()}
    print(f"{'case':18} {'cells/s':>12} {'floor cells/s':>14} {'ratio':>6}")
    for name, mean in by_name.items():
        if name.endswith(".floor"):
            continue
        floor = by_name[name + ".floor"]
        print(f"{name:18} {CELLS / mean:12.3e} {CELLS / floor:14.3e} {mean / floor:6.2f}")


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--compare":
        compare(sys.argv[2])
    else:
        main()
