"""Values built from fuzzer bytes, for the fuzz targets beside this file.

The module's own code is C++, which atheris cannot instrument here, so the
fuzzer's only coverage signal is these builders: they are written so that
each kind of value, and each odd member type, is a branch of its own.
"""

from __future__ import annotations

import datetime as dt
import enum
import math

import atheris
import numpy as np

TAGS = ["Null", "Bool", "Int", "Float", "String", "Date", "Bytes", "Array", "Dict"]
MAX_DEPTH = 6


class IntColor(enum.IntEnum):
    RED = 1


class Text(str):
    pass


class Items(dict):
    pass


class Listing(list):
    pass


class Faulty:
    """A value whose every conversion fails."""

    def __str__(self):
        raise ValueError("no text")

    def __bool__(self):
        raise ValueError("no truth")

    def __int__(self):
        raise ValueError("no int")

    def __index__(self):
        raise ValueError("no index")

    def __float__(self):
        raise ValueError("no float")

    def __iter__(self):
        raise ValueError("no iteration")

    def __hash__(self):
        return 1


@atheris.instrument_func
def text(fdp: atheris.FuzzedDataProvider) -> str:
    # ConsumeUnicode may give lone surrogates: strings that are not valid UTF-8.
    return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 24))


@atheris.instrument_func
def scalar(fdp: atheris.FuzzedDataProvider):
    """Any JSON-like or odd scalar, for members that should hold something else."""
    kind = fdp.ConsumeIntInRange(0, 15)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind == 2:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 64))
    if kind == 3:
        return fdp.ConsumeInt(2000)  # a huge int
    if kind == 4:
        return fdp.ConsumeRegularFloat()
    if kind == 5:
        return fdp.PickValueInList([math.nan, math.inf, -math.inf, -0.0])
    if kind == 6:
        return text(fdp)
    if kind == 7:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 16))
    if kind == 8:
        return Text(text(fdp))
    if kind == 9:
        return str(fdp.ConsumeInt(8))  # numeric text
    if kind == 10:
        return " " + str(fdp.ConsumeRegularFloat()) + "\n"
    if kind == 11:
        return fdp.PickValueInList(["2024-05-01", "2024-05-01T12:00:00+02:00", "2024-13-01", "Z", "", "AP9h", "===="])
    if kind == 12:
        return Faulty()
    if kind == 13:
        return [fdp.ConsumeInt(1)]
    if kind == 14:
        return {"k": fdp.ConsumeInt(1)}
    return fdp.PickValueInList(TAGS)


@atheris.instrument_func
def wire_value(fdp: atheris.FuzzedDataProvider, depth: int = 0):
    """A wire value as the add-in might send it, well formed or not."""
    if fdp.ConsumeProbability() < 0.05:
        return scalar(fdp)  # not a dict at all
    if fdp.ConsumeProbability() < 0.05:
        return Items(type="Null")  # a dict subclass
    wire = {}
    tag_kind = fdp.ConsumeIntInRange(0, 4)
    if tag_kind <= 2:
        tag = fdp.PickValueInList(TAGS)
    elif tag_kind == 3:
        tag = text(fdp)  # a reference's type name, or junk
    else:
        tag = scalar(fdp)
    if fdp.ConsumeProbability() < 0.95:
        wire["type"] = tag
    if tag in ("Array", "Dict") and depth < MAX_DEPTH and fdp.ConsumeProbability() < 0.9:
        count = fdp.ConsumeIntInRange(0, 4)
        if tag == "Array":
            value = [wire_value(fdp, depth + 1) for _ in range(count)]
        else:
            value = {(text(fdp) if fdp.ConsumeBool() else scalar_key(fdp)): wire_value(fdp, depth + 1)
                     for _ in range(count)}
        if fdp.ConsumeProbability() < 0.05:
            value = tuple(value) if tag == "Array" else list(value.items())
    elif fdp.ConsumeProbability() < 0.9:
        value = scalar(fdp)
    else:
        value = _absent
    if value is not _absent:
        wire["value"] = value
    if fdp.ConsumeProbability() < 0.8:
        wire["isSpec"] = fdp.ConsumeBool() if fdp.ConsumeProbability() < 0.8 else scalar(fdp)
    if fdp.ConsumeProbability() < 0.7:
        wire["id"] = fdp.ConsumeIntInRange(-5, 1000) if fdp.ConsumeProbability() < 0.8 else scalar(fdp)
    return wire


_absent = object()


@atheris.instrument_func
def scalar_key(fdp: atheris.FuzzedDataProvider):
    kind = fdp.ConsumeIntInRange(0, 3)
    if kind == 0:
        return fdp.ConsumeInt(4)
    if kind == 1:
        return (fdp.ConsumeInt(1), text(fdp))
    if kind == 2:
        return None
    return fdp.ConsumeRegularFloat()


@atheris.instrument_func
def python_value(fdp: atheris.FuzzedDataProvider, module, depth: int = 0):
    """A Python value for the encoder: plain, numpy, pandas, proxies, callables."""
    kind = fdp.ConsumeIntInRange(0, 27 if depth < MAX_DEPTH else 19)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind == 2:
        return np.bool_(fdp.ConsumeBool())
    if kind == 3:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 64))
    if kind == 4:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(64, 4000))
    if kind == 5:
        return IntColor.RED
    if kind == 6:
        return fdp.ConsumeFloat()  # NaN and the infinities included
    if kind == 7:
        return text(fdp)
    if kind == 8:
        return Text(text(fdp))
    if kind == 9:
        raw = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 32))
        return fdp.PickValueInList([bytes, bytearray, memoryview])(raw)
    if kind == 10:
        stamp = dt.datetime(2000, 1, 1) + dt.timedelta(seconds=fdp.ConsumeIntInRange(0, 2**31))
        if fdp.ConsumeBool():
            stamp = stamp.replace(tzinfo=dt.timezone(dt.timedelta(minutes=fdp.ConsumeIntInRange(-1439, 1439))))
        return stamp
    if kind == 11:
        return dt.date(2000, 1, 1) + dt.timedelta(days=fdp.ConsumeIntInRange(0, 40000))
    if kind == 12:
        return fdp.PickValueInList([np.int64(5), np.float32(1.5), np.float64(2.5), {1, 2}, frozenset(), 1j])
    if kind == 13:
        return dt.timedelta(seconds=fdp.ConsumeIntInRange(0, 100))
    if kind == 14:
        return Faulty()
    if kind == 15:
        return lambda: None
    if kind == 16 and hasattr(module, "OfficeJsObject"):
        return module.OfficeJsObject(fdp.ConsumeIntInRange(0, 100), text(fdp))
    if kind == 17:
        import pandas as pd

        return pd.Timestamp(2024, 5, 1, tz=fdp.PickValueInList([None, "UTC", "Europe/Paris"]))
    if kind in (18, 19):
        return np.datetime64("2024-05-01") if kind == 18 else text(fdp)
    count = fdp.ConsumeIntInRange(0, 4)
    items = [python_value(fdp, module, depth + 1) for _ in range(count)]
    if kind in (20, 21):
        return items
    if kind == 22:
        return tuple(items)
    if kind == 23:
        return Listing(items)
    if kind in (24, 25):
        return {scalar_key(fdp) if fdp.ConsumeBool() else text(fdp): item for item in items}
    if kind == 26:
        return Items((text(fdp), item) for item in items)
    import pandas as pd

    if fdp.ConsumeBool():
        return pd.Series([fdp.ConsumeInt(2) for _ in range(count)], name=text(fdp), dtype=object)
    return pd.DataFrame({"a": [fdp.ConsumeInt(2) for _ in range(count)], "b": [text(fdp) for _ in range(count)]})
