"""Fuzz `Serializer.from_wire` with wire values well and badly formed.

    python fuzz/fuzz_from_wire.py [libFuzzer options] [corpus dir or input files]

A decoding may fail, but only with the errors a caller can expect of bad
input; a crash, a sanitizer report, a `SystemError` (an error return without
an exception, or the reverse) or a result of the wrong kind is a finding.
"""

import sys

import atheris

import com_like
import generate  # its builders carry their own coverage instrumentation

# What bad input may raise: conversions (TypeError, ValueError and its
# binascii / Unicode kin, OverflowError), missing methods (AttributeError),
# nesting past the limit (RecursionError).
EXPECTED = (TypeError, ValueError, AttributeError, OverflowError, RecursionError)

PLAIN = {"Null": type(None), "Bool": bool, "Int": int, "Float": float, "String": str, "Bytes": bytes}


def check_result(wire, result):
    tag = wire.get("type")
    if not isinstance(tag, str):
        tag = None
    if tag in PLAIN:
        assert type(result) is PLAIN[tag], (wire, result)
    elif tag == "Array":
        assert type(result) is com_like.OfficeJsArray, (wire, result)
        assert len(result) == len(wire.get("value") or []), (wire, result)
        assert result._internal_id == int(wire["id"])
    elif tag == "Dict":
        assert type(result) is com_like.OfficeJsDict, (wire, result)
        assert list(result) == list(dict(wire.get("value") or {})), (wire, result)
    elif tag == "Date":
        import datetime

        assert isinstance(result, datetime.datetime) or result is wire.get("value"), (wire, result)
    elif wire.get("isSpec"):
        assert type(result) is com_like.OfficeJsObject, (wire, result)
        assert result._internal_typeName == wire["type"]
    else:
        assert type(result) is str, (wire, result)


@atheris.instrument_func
def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    wire = generate.wire_value(fdp)
    try:
        result = com_like.Serializer.from_wire(wire)
    except EXPECTED:
        return
    check_result(wire, result)


def main():
    com_like.messaging.set_send_handler(None)  # dropped proxies send nothing
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
