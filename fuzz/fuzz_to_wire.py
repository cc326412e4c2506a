"""Fuzz `Serializer.to_wire` with generated nested Python values.

    python fuzz/fuzz_to_wire.py [libFuzzer options] [corpus dir or input files]

Values: plain, numpy and pandas scalars and containers, str with lone
surrogates, huge ints, aware datetimes, proxies, callables, container
subclasses and objects whose conversions fail, nested. Every wire value made
must have exactly the members "type", "value", "isSpec" in that order, all
the way down; plain values must come back equal through `from_wire`; failures
may only be the value's own.
"""

import math
import sys

import atheris

import com_like
import generate  # its builders carry their own coverage instrumentation

EXPECTED = (ValueError, RecursionError, AttributeError)


def check_shape(wire):
    assert type(wire) is dict and list(wire) == ["type", "value", "isSpec"], wire
    assert type(wire["isSpec"]) is bool, wire
    if wire["type"] == "Array" and not wire["isSpec"]:
        assert type(wire["value"]) is list, wire
        for item in wire["value"]:
            check_shape(item)
    elif wire["type"] == "Dict" and not wire["isSpec"]:
        assert type(wire["value"]) is dict, wire
        for item in wire["value"].values():
            check_shape(item)


def plain(value):
    """True for trees that must come back equal through from_wire."""
    if value is None or type(value) in (bool, int, str, bytes):
        return True
    if type(value) is float:
        return not math.isnan(value)
    if type(value) is list:
        return all(plain(v) for v in value)
    if type(value) is dict:
        return all(type(k) is str and plain(v) for k, v in value.items())
    return False


def with_ids(wire):
    # The encoder writes no "id"; the add-in would. Give every container one.
    if wire["type"] == "Array":
        return {**wire, "id": 7, "value": [with_ids(w) for w in wire["value"]]}
    if wire["type"] == "Dict":
        return {**wire, "id": 8, "value": {k: with_ids(w) for k, w in wire["value"].items()}}
    return wire


def released(wire, m):
    if wire.get("type") == "Python_Function":
        m.unregister_callable(wire["value"])
    elif wire.get("type") in ("Array", "Dict") and not wire.get("isSpec"):
        values = wire["value"] if wire["type"] == "Array" else wire["value"].values()
        for item in values:
            released(item, m)


@atheris.instrument_func
def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    value = generate.python_value(fdp, com_like)
    m = com_like.messaging
    try:
        wire = com_like.Serializer.to_wire(value)
    except EXPECTED:
        m._callable_registry.clear()  # callables registered before the failure stay
        return
    check_shape(wire)
    released(wire, m)
    assert m._callable_registry == {}, m._callable_registry
    if plain(value) and hasattr(com_like, "OfficeJsArray"):
        assert com_like.Serializer.from_wire(with_ids(wire)) == value, (value, wire)


def main():
    com_like.messaging.set_send_handler(None)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
