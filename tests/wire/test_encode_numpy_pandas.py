"""numpy and pandas values: numbers keep their kind, arrays and frames
travel by content, dates as dates, missing values as Null."""

import datetime as dt
import math
from typing import ClassVar

import numpy as np
import pandas as pd
import pytest

from .conftest import w

INT_TYPES = [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64]
FLOAT_TYPES = [np.float16, np.float32, np.float64, np.longdouble]


@pytest.mark.parametrize("kind", INT_TYPES)
def test_numpy_integers_travel_as_int(to_wire, kind):
    got = to_wire(kind(7))
    assert got == w("Int", 7) and type(got["value"]) is int


def test_numpy_uint64_max_is_exact(to_wire):
    assert to_wire(np.uint64(2**64 - 1)) == w("Int", 2**64 - 1)


@pytest.mark.parametrize("kind", FLOAT_TYPES)
def test_numpy_floats_travel_as_float(to_wire, kind):
    got = to_wire(kind(0.5))
    assert got == w("Float", 0.5) and type(got["value"]) is float


@pytest.mark.parametrize("kind", FLOAT_TYPES)
def test_numpy_float_nan(to_wire, kind):
    got = to_wire(kind("nan"))
    assert got["type"] == "Float" and math.isnan(got["value"])


def test_timedelta64_is_a_duration_not_a_number(to_wire):
    value = np.timedelta64(5, "D")
    assert isinstance(value, np.integer)
    assert to_wire(value) == w("String", str(value))


@pytest.mark.parametrize(
    "value, text",
    [
        (np.datetime64("2024-05-01T12:00:00"), "2024-05-01T12:00:00"),
        (np.datetime64("2024-05-01T12:00:00.123456789"), "2024-05-01T12:00:00.123456"),
        (np.datetime64("2024-05-01"), "2024-05-01T00:00:00"),
        (np.datetime64("2024-05"), "2024-05-01T00:00:00"),
        (np.datetime64("12000-01-01"), "12000-01-01T00:00:00.000000"),
    ],
)
def test_datetime64_travels_as_date(to_wire, value, text):
    wire = to_wire(value)
    assert wire == w("Date", text)
    assert type(wire["value"]) is str  # numpy's own text for far years is a numpy.str_


def test_datetime64_text_is_the_same_instant(to_wire):
    value = np.datetime64("1969-07-20T20:17:40.5")
    parsed = dt.datetime.fromisoformat(to_wire(value)["value"])
    assert np.datetime64(parsed) == value


@pytest.mark.parametrize(
    "value",
    [pd.NaT, pd.NA, np.datetime64("NaT", "D"), np.datetime64("NaT", "ns"), np.timedelta64("NaT", "s")],
    ids=["pd.NaT", "pd.NA", "np.NaT", "np.NaT[ns]", "np.timedelta64.NaT"],
)
def test_missing_values_travel_as_null(to_wire, value):
    assert to_wire(value) == w("Null", None)
    assert to_wire([value]) == w("Array", [w("Null", None)])


def test_timestamps(to_wire):
    assert to_wire(pd.Timestamp("2024-05-01 14:00")) == w("Date", "2024-05-01T14:00:00")
    aware = pd.Timestamp("2024-05-01 14:00", tz="Europe/Berlin")
    assert to_wire(aware) == w("Date", "2024-05-01T12:00:00+00:00")


def test_missing_step_reads_nothing_from_the_value(mod, to_wire):
    class Probe:
        """Stands for a proxy: every attribute read would be a remote request."""

        reads: ClassVar[list[str]] = []

        def __getattr__(self, name):
            Probe.reads.append(name)
            raise AttributeError(name)

        def __str__(self):
            return "probe"

    assert to_wire(Probe()) == w("String", "probe")
    assert Probe.reads == []


def test_missing_step_errors_are_discarded(mod, monkeypatch, to_wire):
    class NoMarkers:
        """A pandas without NA and NaT, and a numpy without isnat."""

        Timestamp = pd.Timestamp
        Series = pd.Series
        DataFrame = pd.DataFrame

    monkeypatch.setattr(mod, "pd", NoMarkers)
    assert to_wire({1, 2}) == w("String", "{1, 2}")


def test_missing_step_never_hides_a_keyboard_interrupt(mod, monkeypatch, to_wire):
    class Interrupting:
        def __getattr__(self, name):
            if name == "NA":
                raise KeyboardInterrupt
            return getattr(pd, name)

    monkeypatch.setattr(mod, "pd", Interrupting())
    with pytest.raises(KeyboardInterrupt):
        to_wire({1})


# --- arrays ------------------------------------------------------------------


@pytest.mark.parametrize(
    "array, expected",
    [
        (np.array(5), w("Int", 5)),
        (np.array(2.5, dtype=np.float32), w("Float", 2.5)),
        (np.array([1, 2], dtype=np.uint8), w("Array", [w("Int", 1), w("Int", 2)])),
        (np.array([True, False]), w("Array", [w("Bool", True), w("Bool", False)])),
        (np.zeros((2, 0)), w("Array", [w("Array", []), w("Array", [])])),
        (np.array([], dtype=np.int64), w("Array", [])),
        (
            np.array([[1.5, 2.0], [3.0, 4.0]]),
            w("Array", [w("Array", [w("Float", 1.5), w("Float", 2.0)]),
                        w("Array", [w("Float", 3.0), w("Float", 4.0)])]),
        ),
        (np.array(["a", "bc"]), w("Array", [w("String", "a"), w("String", "bc")])),
        (np.array([None, "x", 3], dtype=object), w("Array", [w("Null", None), w("String", "x"), w("Int", 3)])),
        (
            np.array(["2024-05-01", "NaT"], dtype="datetime64[D]"),
            w("Array", [w("Date", "2024-05-01T00:00:00"), w("Null", None)]),
        ),
        (np.array([1 + 1j]), w("Array", [w("String", "(1+1j)")])),
        (np.asmatrix(np.array([[1, 2], [3, 4]])),
         w("Array", [w("Array", [w("Int", 1), w("Int", 2)]), w("Array", [w("Int", 3), w("Int", 4)])])),
    ],
    ids=lambda v: getattr(v, "dtype", None) and f"{v.dtype}{v.shape}",
)
@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
def test_arrays_travel_by_content(to_wire, array, expected):
    assert to_wire(array) == expected


def test_array_elements_keep_exact_payload_types(to_wire):
    got = to_wire(np.array([[1]], dtype=np.int32))
    assert type(got["value"][0]["value"][0]["value"]) is int


# --- frames and series -------------------------------------------------------


def rows(got):
    """The decoded-looking table of a frame's wire value (payloads only)."""
    assert got["type"] == "Array"
    return [[cell["value"] for cell in row["value"]] for row in got["value"]]


def types(got):
    return [[cell["type"] for cell in row["value"]] for row in got["value"]]


def test_frame_layout_labels_then_rows_no_index(to_wire):
    frame = pd.DataFrame({"a": [1, 2], "b": ["x", "y"]}, index=["r1", "r2"])
    got = to_wire(frame)
    assert rows(got) == [["a", "b"], [1, "x"], [2, "y"]]
    assert types(got) == [["String", "String"], ["Int", "String"], ["Int", "String"]]


def test_series_is_a_one_column_frame(to_wire):
    got = to_wire(pd.Series([1.5, 2.5], name="s"))
    assert rows(got) == [["s"], [1.5], [2.5]]
    assert types(got)[1:] == [["Float"], ["Float"]]


def test_all_datetime_frame_sends_dates_not_nanoseconds(to_wire):
    frame = pd.DataFrame({"d": pd.to_datetime(["2024-05-01 10:00", None])})
    got = to_wire(frame)
    assert got["value"][1] == w("Array", [w("Date", "2024-05-01T10:00:00")])
    assert got["value"][2] == w("Array", [w("Null", None)])


def test_mixed_frame_cells_keep_their_kind(to_wire):
    frame = pd.DataFrame(
        {
            "i": [1, 2],
            "f": [0.5, math.nan],
            "s": ["x", None],
            "d": pd.to_datetime(["2024-05-01", None]),
            "z": pd.to_datetime(["2024-05-01 14:00", None]).tz_localize("Europe/Berlin"),
            "n": pd.array([7, None], dtype="Int64"),
            "b": [True, False],
            "o": [None, {"k": 1}],
        }
    )
    got = to_wire(frame)
    assert types(got)[1:] == [
        ["Int", "Float", "String", "Date", "Date", "Int", "Bool", "Null"],
        ["Int", "Float", "Null", "Null", "Null", "Null", "Bool", "Dict"],
    ]
    first = rows(got)[1]
    assert first[3] == "2024-05-01T00:00:00"
    assert first[4] == "2024-05-01T12:00:00+00:00"
    assert type(first[5]) is int and first[5] == 7
    assert math.isnan(rows(got)[2][1])  # a float column's NaN is its value


def test_duplicate_labels_and_empty_frames(to_wire):
    dup = pd.DataFrame([[1, 2]], columns=["a", "a"])
    assert rows(to_wire(dup)) == [["a", "a"], [1, 2]]
    assert rows(to_wire(pd.DataFrame())) == [[]]
    assert rows(to_wire(pd.DataFrame({"a": []}))) == [["a"]]
    assert rows(to_wire(pd.DataFrame(index=[1, 2]))) == [[], [], []]


def test_frame_through_replaced_to_wire_gets_plain_rows(mod, monkeypatch, to_wire):
    seen = []

    class Fake:
        @staticmethod
        def to_wire(value):
            seen.append(value)
            return "E"

    monkeypatch.setattr(mod, "Serializer", Fake)
    assert to_wire(pd.DataFrame({"a": [1], "d": pd.to_datetime(["2024-01-01"])})) == "E"
    assert seen == [[["a", "d"], [1, pd.Timestamp("2024-01-01")]]]


class _LocalIso(dt.datetime):
    def isoformat(self, sep="T", timespec="auto"):
        return "own text"


UTC = dt.UTC


@pytest.mark.parametrize(
    "value",
    [
        dt.datetime(2024, 5, 1, 14, 0),
        dt.datetime(2024, 5, 1, 14, 0, 0, 5),
        dt.datetime(1, 1, 1),
        dt.datetime(9999, 12, 31, 23, 59, 59, 999999),
        dt.datetime(2024, 5, 1, 14, 0, tzinfo=dt.timezone(dt.timedelta(hours=2))),
        dt.datetime(2024, 5, 1, tzinfo=UTC),
        dt.datetime(2024, 5, 1, 0, 0, 0, 1, tzinfo=dt.timezone(dt.timedelta(hours=-5, minutes=-30))),
        dt.date(2024, 5, 1),
        dt.date(1, 2, 3),
        pd.Timestamp("2024-05-01 12:00:00.000001"),
        pd.Timestamp("2024-05-01 12:00:00.000000001"),
        pd.Timestamp("2024-05-01 12:00:00.5"),
        pd.Timestamp("2024-05-01 12:00", tz="UTC"),
        pd.Timestamp("2024-05-01 12:00:00.000000007", tz="Europe/Berlin"),
        pd.Timestamp(np.datetime64("5000-01-01", "s")),
        _LocalIso(2024, 5, 1),
    ],
    ids=repr,
)
def test_date_text_is_what_isoformat_gives(to_wire, value):
    # The encoder makes the common texts itself; they must equal the
    # value's own isoformat() (after the move to UTC) in every digit.
    moment = value.astimezone(UTC) if isinstance(value, dt.datetime) and value.tzinfo else value
    assert to_wire(value) == w("Date", moment.isoformat())


@pytest.mark.parametrize(
    ("unit", "low", "high"),
    [
        ("ns", -9 * 10**18, 9 * 10**18),
        ("us", -62_135_596_800 * 10**6, 253_402_300_799 * 10**6),
        ("ms", -62_135_596_800 * 10**3, 253_402_300_799 * 10**3),
        ("s", -62_135_596_801, 253_402_300_800),  # one second beyond each end: pandas' own texts
    ],
)
def test_datetime_column_texts_are_the_timestamps_isoformat(to_wire, unit, low, high):
    # A naive datetime64 column is encoded from its integers; every text
    # must equal what its Timestamp cell's isoformat() gives: the ends of
    # the range, both sides of the epoch, leap days, each fraction width.
    edges = pd.to_datetime(
        ["1970-01-01", "2024-05-01 12:00:00.000000001", "2024-05-01 12:00:00.5", "2024-02-29 13:14:15.000123",
         "1900-03-01", "2000-02-29 00:00:00.000001001", "1969-12-31 23:59:59.999999999"],
        format="ISO8601",
    ).to_numpy().astype(f"datetime64[{unit}]")
    spread = np.linspace(low, high, 401, dtype=np.int64).astype(f"datetime64[{unit}]")
    column = pd.Series(np.concatenate([edges, spread, [np.datetime64("NaT", unit)]]))
    assert column.dtype == f"datetime64[{unit}]"
    frame = pd.DataFrame({"d": column, "n": range(len(column))})
    cells = [row["value"][0] for row in to_wire(frame)["value"][1:]]
    expected = [w("Null", None) if pd.isna(v) else w("Date", v.isoformat()) for v in column]
    assert cells == expected
