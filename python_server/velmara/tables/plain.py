"""Plain lists and dicts from the bridge's array and dict proxies."""

from __future__ import annotations

from typing import Any, overload


@overload
def to_plain(value: list[Any]) -> list[Any]: ...
@overload
def to_plain(value: dict[Any, Any]) -> dict[Any, Any]: ...
@overload
def to_plain(value: object) -> Any: ...


def to_plain(value: object) -> Any:
    """to_plain(value) -> the same data as plain lists and dicts, recursively.

    A range's `values` arrive as an `OfficeJsArray` of `OfficeJsArray`s, and
    callback arguments as `OfficeJsDict`s: subclasses of list and dict whose
    unknown attributes are remote reads. pandas, numpy and printing probe
    attributes (`ndim`, `__array_struct__`, ...), each probe a round trip
    to the add-in that ends in an error; plain containers answer locally.

    The walk reads only the local copies the proxies hold, so it sends no
    request. Remote objects (`OfficeJsObject`) inside are kept as they are:
    they stand for live Excel objects, not data. Scalars come back unchanged.
    """
    if isinstance(value, list):
        return [to_plain(item) for item in list.__iter__(value)]
    if isinstance(value, dict):
        return {key: to_plain(item) for key, item in dict.items(value)}
    return value

