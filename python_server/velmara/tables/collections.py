"""Office.js collections the way Python expects them: items, count, lookup.

A collection proxy (`workbook.worksheets`, `sheet.tables`, ...) is a remote
object, not a Python sequence: `len()` is a TypeError, and a plain `for`
indexes it 0, 1, 2, ... with one request each until the add-in reports an
index past the end, which reaches the loop as a RuntimeError (an index
operation's failure is a RuntimeError like any other remote error), not the
IndexError that would end it. These helpers ask what Office.js offers for
each question instead:

    for sheet in items(workbook.worksheets): ...      # one GET of `items`
    count(workbook.worksheets)                        # getCount(): GET and CALL
    get(workbook.worksheets, "Prices")                # getItemOrNullObject: GET, CALL, isNullObject

https://learn.microsoft.com/javascript/api/excel/excel.worksheetcollection
https://learn.microsoft.com/office/dev/add-ins/develop/application-specific-api-model#ornullobject-methods-and-properties
"""

from __future__ import annotations

from typing import Any

from com_like import OfficeJsObject

from .plain import to_plain


def items(collection: OfficeJsObject) -> list[OfficeJsObject]:
    """items(collection) -> a list of the collection's objects, in one request.

    One GET of the collection's `items` (the add-in loads them); the list
    is plain, so iterating, `len()` and indexing it ask nothing more. It is
    a snapshot: objects added or deleted later are not in it.
    """
    found = to_plain(collection.items)
    if not isinstance(found, list):
        raise TypeError(f"{collection._internal_typeName}.items is not a list")  # noqa: SLF001
    return found


def count(collection: OfficeJsObject) -> int:
    """count(collection) -> the number of objects in the collection (getCount(): two requests)."""
    number = collection.getCount()
    if not isinstance(number, int):
        raise TypeError(f"{collection._internal_typeName}.getCount() gave {number!r}")  # noqa: SLF001
    return number


def get(collection: OfficeJsObject, key: str, default: Any = None) -> Any:
    """get(collection, key, default=None) -> the object named (or with id) `key`, or `default`.

    Like `dict.get`: `getItemOrNullObject(key)` (GET and CALL) and its
    `isNullObject` (one GET), so a missing item is an answer, not an error.
    """
    found = collection.getItemOrNullObject(key)
    return default if found.isNullObject else found
