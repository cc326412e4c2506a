"""Decoding the encoder's output gives the values back."""

import contextlib
import datetime as dt
import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import com_like

S = com_like.Serializer


IDS = iter(range(10, 10**9))


def with_ids(wire, counter=IDS):
    """Add the "id" members that the add-in puts on arrays and dicts."""
    if isinstance(wire, dict) and wire.get("type") == "Array":
        return {**wire, "id": next(counter), "value": [with_ids(x) for x in wire["value"]]}
    if isinstance(wire, dict) and wire.get("type") == "Dict":
        return {**wire, "id": next(counter), "value": {k: with_ids(x) for k, x in wire["value"].items()}}
    return wire


def same(a, b):
    if isinstance(a, float) and math.isnan(a):
        return isinstance(b, float) and math.isnan(b)
    if isinstance(a, (list, tuple)):
        return isinstance(b, list) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b, strict=True))
    if isinstance(a, dict):
        return isinstance(b, dict) and list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


@pytest.mark.parametrize(
    "value", [None, True, False, 0, -(2**70), 1.25, math.inf, math.nan, "", "ünïcode", b"", b"\x00\xffab"]
)
def test_plain_values_come_back(value):
    assert same(value, S.from_wire(S.to_wire(value)))


@pytest.mark.parametrize(
    "value, back",
    [
        (dt.date(2024, 5, 1), dt.datetime(2024, 5, 1)),
        (dt.datetime(2024, 5, 1, 14, 0, 0, 5), dt.datetime(2024, 5, 1, 14, 0, 0, 5)),
        (
            dt.datetime(2024, 5, 1, 14, tzinfo=dt.timezone(dt.timedelta(hours=2))),
            dt.datetime(2024, 5, 1, 12, tzinfo=dt.UTC),
        ),
    ],
)
def test_dates_come_back_as_datetimes(value, back):
    got = S.from_wire(S.to_wire(value))
    assert got == back and got.utcoffset() == back.utcoffset()


def test_containers_without_ids_fail_at_the_proxy():
    with pytest.raises(TypeError, match="object_id"):
        S.from_wire(S.to_wire([1]))


def test_callables_do_not_come_back():
    with pytest.raises(ValueError):
        S.from_wire(S.to_wire(lambda: None))


scalars = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.floats(allow_nan=True)
    | st.text()
    | st.binary()
    | st.datetimes(min_value=dt.datetime(1, 1, 2), max_value=dt.datetime(9999, 12, 30))
)
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=4)
    | st.tuples(inner, inner)
    | st.dictionaries(st.text(max_size=3) | st.integers(), inner, max_size=4),
    max_leaves=25,
)


@settings(max_examples=300, suppress_health_check=[HealthCheck.too_slow], deadline=None)
@given(values)
def test_property_round_trip(value):
    assert same(value, S.from_wire(with_ids(S.to_wire(value))))


anything = st.recursive(
    st.none()
    | st.booleans()
    | st.integers()
    | st.floats()
    | st.text(max_size=8)
    | st.sampled_from(["Null", "Bool", "Int", "Float", "String", "Date", "Bytes", "Array", "Dict", "1", "AA=="])
    | st.binary(max_size=8),
    lambda inner: st.lists(inner, max_size=4)
    | st.dictionaries(
        st.sampled_from(["type", "value", "isSpec", "id"]) | st.text(max_size=3) | st.integers(), inner, max_size=5
    ),
    max_leaves=30,
)


@settings(max_examples=500, suppress_health_check=[HealthCheck.too_slow], deadline=None)
@given(st.dictionaries(st.sampled_from(["type", "value", "isSpec", "id", "x"]), anything, max_size=5))
def test_property_decoding_never_crashes(wire):
    with contextlib.suppress(Exception):  # an exception is an answer; only a crash fails
        S.from_wire(wire)


@settings(max_examples=300, suppress_health_check=[HealthCheck.too_slow], deadline=None)
@given(anything)
def test_property_encoding_never_crashes(value):
    wire = S.to_wire(value)
    assert list(wire) == ["type", "value", "isSpec"]
