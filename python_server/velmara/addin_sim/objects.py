"""The add-in's side of the proxies: an object table and the Office.js facade.

Every remote object the add-in names in an answer is an entry of the
table with a reference count. The bridge turns each arrival of a
reference into its own proxy, and each proxy sends its own DEL when it is
finalized, so the count goes up once per reference sent and down once
per release; at zero the entry goes. Arrays and dictionaries are plain
data: they carry the reserved id -1 and are never stored, so nothing needs
to release them. Ids 0, 1 and 2 (`Context`, `Excel`, `GetSetting`) are
pinned.

Ids are never reused within the simulator process, across connections
included: the kernel releases proxies made before a reconnect too.

A method call on the bridge is two requests: a GET of the method's name,
answered with a "Function" object bound to its target, then a CALL of that
function object. Facade classes spell their members as `get_<name>`,
`set_<name>` and `call_<name>`; nothing else is reachable by name.
"""

from __future__ import annotations

import base64
import binascii
import datetime as dt
import itertools
import random
from collections.abc import Callable
from typing import Any

from ..protocol import LOCAL_IDS, SNAPSHOT_ID
from .addresses import MAX_COLUMNS, MAX_ROWS, AddressError, Area, format_address, parse_area, split_sheet
from .workbook import SimError, Workbook, Worksheet

Wire = dict[str, Any]

NULL: Wire = {"type": "Null", "value": None, "isSpec": False}
SCALAR_TAGS = ("Null", "Bool", "Int", "Float", "String", "Date", "Bytes")

ROOT_CONTEXT, ROOT_EXCEL, ROOT_GET_SETTING = 0, 1, 2


# ----------------------------------------------------------------------
# wire values the add-in reads


def scalar(wire: Any, where: str) -> tuple[str, object] | None:
    """A plain wire value as (tag, payload); None for "Null"."""
    if type(wire) is not dict:
        raise SimError(f"{where}: expected a wire value, got {type(wire).__name__}")
    tag: Any = wire.get("type")
    value: Any = wire.get("value")
    if tag == "Null":
        return None
    if tag == "Bool":
        if type(value) is not bool:
            raise SimError(f"{where}: Bool value is not true/false")
        return ("Bool", value)
    if tag == "Int":
        try:
            number = value if type(value) is int else int(str(value))
        except ValueError:
            raise SimError(f"{where}: Int value {value!r} is not an integer") from None
        return ("Int", number)
    if tag == "Float":
        if type(value) in (int, float):
            return ("Float", float(value))
        if value in ("NaN", "Infinity", "-Infinity"):
            return ("Float", float(value.replace("Infinity", "inf")))
        raise SimError(f"{where}: Float value {value!r} is not a number")
    if tag == "String":
        if type(value) is not str:
            raise SimError(f"{where}: String value is not text")
        return ("String", value)
    if tag == "Date":
        try:
            dt.datetime.fromisoformat(value)
        except (TypeError, ValueError):
            raise SimError(f"{where}: Date value {value!r} is not ISO 8601 text") from None
        return ("Date", value)
    if tag == "Bytes":
        try:
            base64.b64decode(value, validate=True)
        except (TypeError, ValueError, binascii.Error):
            raise SimError(f"{where}: Bytes value is not base64 text") from None
        return ("Bytes", value)
    raise SimError(f"{where}: cells hold plain values ({', '.join(SCALAR_TAGS)}), not {tag!r}")


def cells_of(rows: list[Wire], what: str) -> list[list[tuple[str, object] | None]]:
    """The rows of a 2-D array as cells; `scalar` rules, with the common cells checked inline.

    A large write holds some 100k cells: the usual ones (text, whole and
    fractional numbers, nulls) take no function call and build no error
    text unless one is needed.
    """
    fromisoformat = dt.datetime.fromisoformat
    grid: list[list[tuple[str, object] | None]] = []
    for r, row in enumerate(rows):
        out: list[tuple[str, object] | None] = []
        append = out.append
        for c, item in enumerate(row["value"]):
            if type(item) is dict:
                tag: Any = item.get("type")
                value: Any = item.get("value")
                kind = type(value)
                if (tag == "String" and kind is str) or (tag == "Int" and kind is int):
                    append((tag, value))
                    continue
                if tag == "Float" and kind is float:
                    append((tag, value))
                    continue
                if tag == "Null":
                    append(None)
                    continue
                if tag == "Date" and kind is str:
                    try:
                        fromisoformat(value)
                    except ValueError:
                        pass
                    else:
                        append((tag, value))
                        continue
            append(scalar(item, f"{what}[{r}][{c}]"))
        grid.append(out)
    return grid


def text_arg(wire: Any, what: str) -> str:
    if type(wire) is not dict or wire.get("type") != "String" or type(wire.get("value")) is not str:
        raise SimError(f"{what} must be a string")
    text: str = wire["value"]
    return text


def int_arg(wire: Any, what: str) -> int:
    if type(wire) is dict and wire.get("type") in ("Int", "Float"):
        value = wire.get("value")
        if type(value) is int or (type(value) is float and value.is_integer()):
            return int(value)
    raise SimError(f"{what} must be an integer")


def to_wire(item: tuple[str, object] | None) -> Wire:
    if item is None:
        return NULL
    return {"type": item[0], "value": item[1], "isSpec": False}


# ----------------------------------------------------------------------
# the object table


class ObjectTable:
    """Remote objects by id, each with the number of references sent."""

    def __init__(self, first_id: int | None = None) -> None:
        # Ids start at a random offset per process (and stay far below
        # 2**53), so an add-in restarted behind the same kernel does not
        # hand out an id that a proxy of its previous life still holds.
        if first_id is None:
            first_id = 3 + (random.randrange(1, 2**20) << 24)
        self._ids = itertools.count(first_id)
        self._objects: dict[int, Any] = {}
        self._counts: dict[int, int] = {}
        self._by_identity: dict[int, int] = {}
        self.stale_dels = 0

    def new_session(self) -> None:
        """Forget every object of a previous connection; ids keep counting."""
        self._objects.clear()
        self._counts.clear()
        self._by_identity.clear()

    def pin(self, object_id: int, obj: Any) -> None:
        self._objects[object_id] = obj

    def __len__(self) -> int:
        return len(self._objects)

    def ref(self, obj: Any) -> int:
        """Count one more reference to a live object; its id."""
        object_id = self._by_identity.get(id(obj))
        if object_id is None:
            object_id = next(self._ids)
            self._objects[object_id] = obj
            self._by_identity[id(obj)] = object_id
            self._counts[object_id] = 0
        self._counts[object_id] += 1
        return object_id

    def get(self, object_id: Any) -> Any:
        if object_id == SNAPSHOT_ID and type(object_id) is int:
            raise SimError("Plain data (id -1) is not a remote object and has no members")
        if type(object_id) is not int or object_id not in self._objects:
            raise SimError(f"Unknown object id {object_id!r} (released, or never sent)")
        return self._objects[object_id]

    def release(self, object_id: Any) -> None:
        if type(object_id) is not int or object_id not in self._counts:
            if type(object_id) is not int or object_id not in LOCAL_IDS:
                self.stale_dels += 1
            return
        left = self._counts[object_id] - 1
        if left > 0:
            self._counts[object_id] = left
            return
        del self._counts[object_id]
        obj = self._objects.pop(object_id)
        if self._by_identity.get(id(obj)) == object_id:
            del self._by_identity[id(obj)]


# ----------------------------------------------------------------------
# facade objects


class Remote:
    type_name = "Object"

    def get_isNullObject(self, s: Session) -> Wire:
        return {"type": "Bool", "value": False, "isSpec": False}

    def getitem(self, s: Session, index: str) -> Wire:
        raise SimError(f"{self.type_name} cannot be indexed")


class BoundFunction(Remote):
    type_name = "Function"

    def __init__(self, target: Remote, name: str) -> None:
        self.target = target
        self.name = name

    def invoke(self, s: Session, args: list[Wire], kwargs: dict[str, Wire]) -> Wire:
        method: Callable[..., Wire] = getattr(self.target, "call_" + self.name)
        return method(s, *args, **kwargs)


class ContextRoot(Remote):
    type_name = "RequestContext"

    def get_workbook(self, s: Session) -> Wire:
        return s.reference(s.facade_workbook)


class ExcelRoot(Remote):
    type_name = "Excel"


class GetSettingFunction(Remote):
    type_name = "Function"

    def invoke(self, s: Session, args: list[Wire], kwargs: dict[str, Wire]) -> Wire:
        if len(args) != 1 or kwargs:
            raise SimError("GetSetting takes one argument, the setting's name")
        name = text_arg(args[0], "The setting's name")
        if name not in s.settings:
            raise SimError(f"Unknown setting {name!r}")
        return s.plain(s.settings[name])


class WorkbookFacade(Remote):
    type_name = "Workbook"

    def __init__(self, book: Workbook) -> None:
        self.book = book

    def get_name(self, s: Session) -> Wire:
        return s.plain(self.book.name)

    def get_worksheets(self, s: Session) -> Wire:
        return s.reference(s.facade_worksheets)

    def call_getActiveWorksheet(self, s: Session) -> Wire:
        return s.reference(s.sheet(self.book.active))


class WorksheetCollection(Remote):
    type_name = "WorksheetCollection"

    def __init__(self, book: Workbook) -> None:
        self.book = book

    def call_getItem(self, s: Session, key: Wire) -> Wire:
        return s.reference(s.sheet(self.book.get(text_arg(key, "The worksheet name or id"))))

    def call_getItemOrNullObject(self, s: Session, key: Wire) -> Wire:
        sheet = self.book.find(text_arg(key, "The worksheet name or id"))
        return s.reference(s.sheet(sheet) if sheet is not None else NullWorksheet())

    def call_add(self, s: Session, name: Wire = NULL) -> Wire:
        text = None if name.get("type") == "Null" else text_arg(name, "The new worksheet's name")
        return s.reference(s.sheet(self.book.add(text)))

    def call_getActiveWorksheet(self, s: Session) -> Wire:
        return s.reference(s.sheet(self.book.active))

    def call_getCount(self, s: Session) -> Wire:
        return self.get_count(s)

    def get_count(self, s: Session) -> Wire:
        return s.plain(len(self.book.sheets))

    def get_items(self, s: Session) -> Wire:
        return s.array([s.reference(s.sheet(sheet)) for sheet in self.book.sheets])

    def getitem(self, s: Session, index: str) -> Wire:
        sheets = self.book.sheets
        def maker(i: int) -> Callable[[], Wire]:
            return lambda: s.reference(s.sheet(sheets[i]))

        return s.index_into([maker(i) for i in range(len(sheets))], index)


class NullWorksheet(Remote):
    type_name = "Worksheet"

    def get_isNullObject(self, s: Session) -> Wire:
        return {"type": "Bool", "value": True, "isSpec": False}


class WorksheetFacade(Remote):
    type_name = "Worksheet"

    def __init__(self, sheet: Worksheet, book: Workbook) -> None:
        self.data = sheet
        self.book = book
        self.on_changed = EventSource(self)

    def get_name(self, s: Session) -> Wire:
        self.data.check_alive()
        return s.plain(self.data.name)

    def set_name(self, s: Session, value: Wire) -> None:
        self.data.check_alive()
        name = text_arg(value, "A worksheet name")
        self.book.check_name(name, renaming=self.data)
        self.data.name = name

    def get_id(self, s: Session) -> Wire:
        return s.plain(self.data.id)

    def get_position(self, s: Session) -> Wire:
        return s.plain(self.book.position(self.data))

    def get_onChanged(self, s: Session) -> Wire:
        self.data.check_alive()
        return s.reference(self.on_changed)

    def call_getRange(self, s: Session, address: Wire = NULL) -> Wire:
        self.data.check_alive()
        if address.get("type") == "Null":
            return s.reference(RangeFacade(self, Area(0, 0, MAX_ROWS - 1, MAX_COLUMNS - 1)))
        text = text_arg(address, "The range address")
        try:
            sheet_name, cells = split_sheet(text)
            area = parse_area(cells)
        except AddressError as exc:
            raise SimError(str(exc)) from None
        if sheet_name is not None and sheet_name.casefold() != self.data.name.casefold():
            raise SimError(f"The address {text!r} names another worksheet than {self.data.name!r}")
        return s.reference(RangeFacade(self, area))

    def call_getCell(self, s: Session, row: Wire, column: Wire) -> Wire:
        return RangeFacade(self, Area(0, 0, MAX_ROWS - 1, MAX_COLUMNS - 1)).call_getCell(s, row, column)

    def call_getUsedRange(self, s: Session, valuesOnly: Wire = NULL) -> Wire:
        return s.reference(RangeFacade(self, self.data.used_area()))

    def call_activate(self, s: Session) -> Wire:
        self.data.check_alive()
        self.book.active = self.data
        return NULL

    def call_delete(self, s: Session) -> Wire:
        self.book.delete(self.data)
        return NULL


class EventSource(Remote):
    type_name = "EventHandlers"

    def __init__(self, sheet: WorksheetFacade) -> None:
        self.sheet = sheet

    def call_add(self, s: Session, handler: Wire) -> Wire:
        if type(handler) is not dict or handler.get("type") != "Python_Function" \
                or type(handler.get("value")) is not str:
            raise SimError("onChanged.add expects a Python function")
        registration = EventRegistration(self.sheet.data, handler["value"])
        s.handlers.append(registration)
        return s.reference(registration)


class EventRegistration(Remote):
    type_name = "EventHandlerResult"

    def __init__(self, sheet: Worksheet, callable_id: str) -> None:
        self.sheet = sheet
        self.callable_id = callable_id

    def call_remove(self, s: Session) -> Wire:
        if self in s.handlers:
            s.handlers.remove(self)
        return NULL


class RangeFacade(Remote):
    type_name = "Range"

    def __init__(self, sheet: WorksheetFacade, area: Area) -> None:
        self.sheet = sheet
        self.area = area

    def _grid(self, s: Session, what: str) -> Wire:
        rows = self.sheet.data.read(self.area, what)
        array = s.array
        return array([array([NULL if item is None else {"type": item[0], "value": item[1], "isSpec": False}
                             for item in row]) for row in rows])

    def _write(self, s: Session, what: str, value: Wire) -> None:
        area = self.area
        self.sheet.data.check_alive()
        if type(value) is dict and value.get("type") == "Array":
            rows = value.get("value")
            if type(rows) is not list or any(type(r) is not dict or r.get("type") != "Array"
                                             or type(r.get("value")) is not list for r in rows):
                raise SimError(f"{what} must be a 2-D array (a list of rows)")
            shape = [len(r["value"]) for r in rows]
            if len(rows) != area.row_count or any(n != area.column_count for n in shape):
                raise SimError(
                    f"The number of rows or columns in the input array ({len(rows)} x "
                    f"{'/'.join(map(str, sorted(set(shape)))) or 0}) doesn't match the size of the range "
                    f"{self.address()} ({area.row_count} x {area.column_count})")
            grid = cells_of(rows, what)
        else:
            item = scalar(value, what)
            if area.cell_count > 2_000_000:
                raise SimError("The range is too large to fill with one value in the simulator")
            grid = [[item] * area.column_count for _ in range(area.row_count)]
        if what == "numberFormat":
            for r, row in enumerate(grid):
                for c, item in enumerate(row):
                    if item is not None and item[0] != "String":
                        raise SimError(f"numberFormat[{r}][{c}] must be a string")
        self.sheet.data.write(area, what, grid)
        if what != "numberFormat":
            s.changed(self.sheet.data, self.area)

    def address(self) -> str:
        return format_address(self.sheet.data.name, self.area)

    def get_values(self, s: Session) -> Wire:
        return self._grid(s, "values")

    def set_values(self, s: Session, value: Wire) -> None:
        self._write(s, "values", value)

    def get_formulas(self, s: Session) -> Wire:
        return self._grid(s, "formulas")

    def set_formulas(self, s: Session, value: Wire) -> None:
        self._write(s, "formulas", value)

    def get_numberFormat(self, s: Session) -> Wire:
        return self._grid(s, "numberFormat")

    def set_numberFormat(self, s: Session, value: Wire) -> None:
        self._write(s, "numberFormat", value)

    def get_address(self, s: Session) -> Wire:
        self.sheet.data.check_alive()
        return s.plain(self.address())

    def get_rowCount(self, s: Session) -> Wire:
        return s.plain(self.area.row_count)

    def get_columnCount(self, s: Session) -> Wire:
        return s.plain(self.area.column_count)

    def get_rowIndex(self, s: Session) -> Wire:
        return s.plain(self.area.top)

    def get_columnIndex(self, s: Session) -> Wire:
        return s.plain(self.area.left)

    def get_cellCount(self, s: Session) -> Wire:
        return s.plain(self.area.cell_count)

    def get_worksheet(self, s: Session) -> Wire:
        return s.reference(self.sheet)

    def _shifted(self, top: int, left: int, rows: int, columns: int) -> RangeFacade:
        bottom, right = top + rows - 1, left + columns - 1
        if top < 0 or left < 0 or bottom >= MAX_ROWS or right >= MAX_COLUMNS:
            raise SimError("The requested range lies outside the worksheet")
        return RangeFacade(self.sheet, Area(top, left, bottom, right))

    def call_getCell(self, s: Session, row: Wire, column: Wire) -> Wire:
        r, c = int_arg(row, "row"), int_arg(column, "column")
        return s.reference(self._shifted(self.area.top + r, self.area.left + c, 1, 1))

    def call_getOffsetRange(self, s: Session, rowOffset: Wire, columnOffset: Wire) -> Wire:
        r, c = int_arg(rowOffset, "rowOffset"), int_arg(columnOffset, "columnOffset")
        area = self.area
        return s.reference(self._shifted(area.top + r, area.left + c, area.row_count, area.column_count))

    def call_getResizedRange(self, s: Session, deltaRows: Wire, deltaColumns: Wire) -> Wire:
        r, c = int_arg(deltaRows, "deltaRows"), int_arg(deltaColumns, "deltaColumns")
        area = self.area
        if area.row_count + r < 1 or area.column_count + c < 1:
            raise SimError("The resized range would be empty")
        return s.reference(self._shifted(area.top, area.left, area.row_count + r, area.column_count + c))

    def call_getAbsoluteResizedRange(self, s: Session, numRows: Wire, numColumns: Wire) -> Wire:
        rows, columns = int_arg(numRows, "numRows"), int_arg(numColumns, "numColumns")
        if rows < 1 or columns < 1:
            raise SimError("numRows and numColumns must be at least 1")
        return s.reference(self._shifted(self.area.top, self.area.left, rows, columns))

    def call_clear(self, s: Session, applyTo: Wire = NULL) -> Wire:
        how = "All" if applyTo.get("type") == "Null" else text_arg(applyTo, "applyTo")
        if how not in ("All", "Contents", "Formats"):
            raise SimError(f"applyTo must be 'All', 'Contents' or 'Formats', not {how!r}")
        self.sheet.data.clear(self.area, how)
        if how != "Formats":
            s.changed(self.sheet.data, self.area)
        return NULL


# ----------------------------------------------------------------------
# one connection's view


class Session:
    """The object table and handlers of one connection, over a shared workbook."""

    def __init__(self, book: Workbook, settings: dict[str, Any], table: ObjectTable) -> None:
        self.book = book
        self.settings = settings
        self.table = table
        table.new_session()
        table.pin(ROOT_CONTEXT, ContextRoot())
        table.pin(ROOT_EXCEL, ExcelRoot())
        table.pin(ROOT_GET_SETTING, GetSettingFunction())
        self.facade_workbook = WorkbookFacade(book)
        self.facade_worksheets = WorksheetCollection(book)
        self._sheets: dict[int, WorksheetFacade] = {}
        self.handlers: list[EventRegistration] = []
        self.events: list[tuple[str, Wire]] = []
        self.requests: dict[str, int] = {}

    # building answers ------------------------------------------------

    def sheet(self, data: Worksheet) -> WorksheetFacade:
        facade = self._sheets.get(id(data))
        if facade is None or facade.data is not data:
            facade = self._sheets[id(data)] = WorksheetFacade(data, self.book)
        return facade

    def reference(self, obj: Remote) -> Wire:
        return {"type": obj.type_name, "value": self.table.ref(obj), "isSpec": True}

    @staticmethod
    def array(items: list[Wire]) -> Wire:
        return {"type": "Array", "value": items, "isSpec": False, "id": SNAPSHOT_ID}

    @staticmethod
    def dictionary(items: dict[str, Wire]) -> Wire:
        return {"type": "Dict", "value": items, "isSpec": False, "id": SNAPSHOT_ID}

    def plain(self, value: Any) -> Wire:
        if value is None:
            return NULL
        if type(value) is bool:
            return {"type": "Bool", "value": value, "isSpec": False}
        if type(value) is int:
            return {"type": "Int", "value": value, "isSpec": False}
        if type(value) is float:
            return {"type": "Float", "value": value, "isSpec": False}
        return {"type": "String", "value": str(value), "isSpec": False}

    def index_into(self, makers: list[Callable[[], Wire]], index: str) -> Wire:
        if type(index) is not str:
            raise SimError("The index must be text")
        try:
            if index.count(":") == 2:
                parts = [int(p) if p else None for p in index.split(":")]
                picked = makers[slice(*parts)]
                return self.array([make() for make in picked])
            position = int(index)
        except ValueError:
            raise SimError(f"Invalid index {index!r}") from None
        if not -len(makers) <= position < len(makers):
            raise SimError(f"Index {position} out of range (length {len(makers)})")
        return makers[position]()

    def changed(self, sheet: Worksheet, area: Area) -> None:
        for registration in self.handlers:
            if registration.sheet is sheet:
                args = self.dictionary({
                    "type": self.plain("WorksheetChanged"),
                    "address": self.plain(format_address(sheet.name, area).rpartition("!")[2]),
                    "worksheetId": self.plain(sheet.id),
                    "changeType": self.plain("RangeEdited"),
                    "source": self.plain("Local"),
                })
                self.events.append((registration.callable_id, args))

    # carrying out requests -------------------------------------------

    def perform(self, request: dict[str, Any]) -> Wire:
        method = request.get("method")
        caller = request.get("caller")
        name = request.get("name")
        self.requests[str(method)] = self.requests.get(str(method), 0) + 1
        if method == "DEL":  # from a kernel that sends no release frames
            self.table.release(caller)
            return NULL
        target = self.table.get(caller)
        if method == "GET":
            if type(name) is not str:
                raise SimError("GET needs a text 'name'")
            getter: Callable[[Session], Wire] | None = getattr(target, "get_" + name, None)
            if getter is not None:
                return getter(self)
            if hasattr(target, "call_" + name):
                return self.reference(BoundFunction(target, name))
            raise SimError(f"{target.type_name} has no property {name!r}")
        if method == "SET":
            if type(name) is not str:
                raise SimError("SET needs a text 'name'")
            setter = getattr(target, "set_" + name, None)
            if setter is None:
                what = "read-only" if hasattr(target, "get_" + name) else "unknown"
                raise SimError(f"{target.type_name}.{name} is {what} and cannot be set")
            setter(self, request.get("value"))
            return NULL
        if method == "GETITEM":
            item: Wire = target.getitem(self, name)
            return item
        if method == "CALL":
            invoke: Callable[..., Wire] | None = getattr(target, "invoke", None)
            if invoke is None:
                raise SimError(f"{target.type_name} is not a function")
            args, kwargs = self._arguments(request.get("args"))
            try:
                return invoke(self, args, kwargs)
            except TypeError as exc:
                if "positional argument" in str(exc) or "keyword argument" in str(exc):
                    raise SimError(f"Wrong arguments: {exc}") from None
                raise
        raise SimError(f"Unknown method {method!r}")

    @staticmethod
    def _arguments(raw: Any) -> tuple[list[Wire], dict[str, Wire]]:
        if type(raw) is not list:
            raise SimError("CALL needs an 'args' list")
        args: list[Wire] = []
        kwargs: dict[str, Wire] = {}
        for entry in raw:
            if type(entry) is not dict or type(entry.get("value")) is not dict:
                raise SimError("every CALL argument needs a wire 'value'")
            kind = entry.get("arg_type")
            if kind == "PLACED":
                if kwargs:
                    raise SimError("positional argument after a keyword argument")
                args.append(entry["value"])
            elif kind == "NAMED" and type(entry.get("name")) is str and entry["name"].isidentifier():
                kwargs[entry["name"]] = entry["value"]
            else:
                raise SimError(f"unknown arg_type {kind!r}")
        return args, kwargs

