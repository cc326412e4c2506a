// The Excel object model of the Office.js double: Workbook, WorksheetCollection,
// Worksheet, Range, and worksheet.onChanged. Every member runs on the model
// (model.mjs) only while a sync runs the batch (runtime.mjs).
//
// Reference pages:
//   Workbook            https://learn.microsoft.com/javascript/api/excel/excel.workbook
//   WorksheetCollection https://learn.microsoft.com/javascript/api/excel/excel.worksheetcollection
//     (items, getItem, getItemOrNullObject, add, getActiveWorksheet, getCount -> ClientResult,
//      getFirst, getLast; there is no `count` property)
//   Worksheet           https://learn.microsoft.com/javascript/api/excel/excel.worksheet
//   Range               https://learn.microsoft.com/javascript/api/excel/excel.range
//   range.format        format.mjs
//   Events              https://learn.microsoft.com/office/dev/add-ins/excel/excel-add-ins-events
//   Changed args        https://learn.microsoft.com/javascript/api/excel/excel.worksheetchangedeventargs
//   EventHandlerResult  https://learn.microsoft.com/javascript/api/office/officeextension.eventhandlerresult

import { Area, MAX_COLUMNS, MAX_ROWS, formatAddress, formatArea, parseArea, splitSheet } from "./addresses.mjs";
import { HostError, clientError } from "./errors.mjs";
import { GENERAL, MAX_CELLS, MAX_CELL_CHARS, valueType } from "./model.mjs";
import { RangeFormat, clearFormats } from "./format.mjs";
import { ClientObject, NULL_TARGET, defineNavigation, defineScalars } from "./runtime.mjs";
import { defineNames, defineTables } from "./tables.mjs";

function sheetsOf(book, visibleOnly) {
  return visibleOnly ? book.sheets.filter((s) => s.visibility === "Visible") : book.sheets;
}

function missing() { throw new HostError("ItemNotFound"); }

// Entire columns or rows: cell-level properties read as null and cannot be written.
// https://learn.microsoft.com/office/dev/add-ins/excel/excel-add-ins-ranges-unbounded
function unbounded(area) {
  return (area.top === 0 && area.bottom === MAX_ROWS - 1) || (area.left === 0 && area.right === MAX_COLUMNS - 1);
}

function cells(what) {
  return (t) => (unbounded(t.area) ? null : alive(t.sheet).read(t.area, what));
}

function alive(sheet) {
  // A deleted worksheet (and every range on it) no longer exists.
  if (sheet.deleted) throw new HostError("ItemNotFound");
  return sheet;
}

function integer(value) {
  if (typeof value !== "number" || !Number.isInteger(value)) throw new HostError("InvalidArgument");
  return value;
}

function text(value) {
  if (typeof value !== "string") throw new HostError("InvalidArgument");
  return value;
}

function rangeAt(sheet, top, left, rows, columns) {
  const bottom = top + rows - 1, right = left + columns - 1;
  if (rows < 1 || columns < 1 || top < 0 || left < 0 || bottom >= MAX_ROWS || right >= MAX_COLUMNS) {
    throw new HostError("InvalidArgument");
  }
  return { sheet, area: new Area(top, left, bottom, right) };
}

// --------------------------------------------------------------------------

export class Workbook extends ClientObject {
  static _className = "Workbook";
  static _props = {
    name: { get: (book) => book.name },
  };

  /** The selection of the active sheet (A1 until a range is selected). */
  getSelectedRange() {
    return this._method(Range, "getSelectedRange", [], (book) => {
      const sheet = book.active;
      return { sheet, area: sheet.selection ?? new Area(0, 0, 0, 0) };
    }, { volatile: true });
  }

  /** The active cell: the top left cell of the selection. */
  getActiveCell() {
    return this._method(Range, "getActiveCell", [], (book) => {
      const { top, left } = book.active.selection ?? new Area(0, 0, 0, 0);
      return { sheet: book.active, area: new Area(top, left, top, left) };
    }, { volatile: true });
  }
}
defineScalars(Workbook);
defineNavigation(Workbook, "worksheets",
  (self) => new WorksheetCollection(self._context, self, (book) => book, `${self._path}.worksheets`));

// --------------------------------------------------------------------------

export class WorksheetCollection extends ClientObject {
  static _className = "WorksheetCollection";
  static _props = {};
  // items: the worksheets, after load("items") and a sync (Worksheet is declared below).
  static _collection = { list: (book) => book.sheets, get Item() { return Worksheet; } };

  /** A worksheet by name or id; ItemNotFound at the next sync when there is none. */
  getItem(key) {
    return this._method(Worksheet, "getItem", [key], (book) => book.get(text(key)));
  }

  /** A worksheet by name or id, or a null object (isNullObject after the sync). */
  getItemOrNullObject(key) {
    return this._method(Worksheet, "getItemOrNullObject", [key], (book) => book.find(text(key)) ?? NULL_TARGET);
  }

  /** Adds a worksheet at the end (named SheetN when no name is given). */
  add(name) {
    return this._method(Worksheet, "add", name === undefined ? [] : [name], (book) => {
      if (name !== undefined && name !== null) text(name);
      return book.add(name ?? undefined);
    });
  }

  getActiveWorksheet() {
    return this._method(Worksheet, "getActiveWorksheet", [], (book) => book.active);
  }

  /** The first worksheet; the first visible one with visibleOnly. */
  getFirst(visibleOnly = false) {
    return this._method(Worksheet, "getFirst", [visibleOnly], (book) => sheetsOf(book, visibleOnly)[0] ?? missing());
  }

  /** The last worksheet; the last visible one with visibleOnly. */
  getLast(visibleOnly = false) {
    return this._method(Worksheet, "getLast", [visibleOnly], (book) => sheetsOf(book, visibleOnly).at(-1) ?? missing());
  }

  /** The number of worksheets, as a ClientResult (the collection has no `count` property). */
  getCount(visibleOnly = false) {
    return this._result("getCount", [visibleOnly],
      (book) => sheetsOf(book, visibleOnly).length);
  }
}
defineScalars(WorksheetCollection);

// --------------------------------------------------------------------------

export class Worksheet extends ClientObject {
  static _className = "Worksheet";
  static _props = {
    name: {
      get: (sheet) => alive(sheet).name,
      set: (sheet, value, host) => {
        alive(sheet);
        host.root.checkName(value, sheet);
        sheet.name = value;
      },
    },
    id: { get: (sheet) => alive(sheet).id },
    position: {
      get: (sheet, host) => host.root.position(alive(sheet)),
      set: (sheet, value, host) => {
        const sheets = host.root.sheets;
        integer(value);
        if (value < 0 || value >= sheets.length) throw new HostError("InvalidArgument");
        sheets.splice(sheets.indexOf(alive(sheet)), 1);
        sheets.splice(value, 0, sheet);
      },
    },
    visibility: {
      get: (sheet) => alive(sheet).visibility,
      set: (sheet, value) => {
        if (!["Visible", "Hidden", "VeryHidden"].includes(value)) throw new HostError("InvalidArgument");
        alive(sheet).visibility = value;
      },
    },
  };

  /**
   * A range by A1 address ("A1", "B2:C3", "A:A", "1:3"); the whole sheet without one.
   * @param {string} [address]
   */
  getRange(address) {
    return this._method(Range, "getRange", address === undefined ? [] : [address], (sheet, host) => {
      alive(sheet);
      if (address === undefined || address === null) return { sheet, area: Area.sheet() };
      const { sheet: named, cells } = splitSheet(text(address));
      const area = parseArea(cells);
      if (!area) {
        // A defined name gives the range it refers to.
        const item = named === null ? host.root.liveName(cells.trim()) : undefined;
        if (!item) throw new HostError("InvalidArgument");
        return { sheet: item.sheet, area: item.area };
      }
      if (named !== null && named.toLowerCase() !== sheet.name.toLowerCase()) throw new HostError("InvalidArgument");
      return { sheet, area };
    }, { volatile: true });
  }

  getRangeByIndexes(startRow, startColumn, rowCount, columnCount) {
    return this._method(Range, "getRangeByIndexes", [startRow, startColumn, rowCount, columnCount],
      (sheet) => rangeAt(alive(sheet), integer(startRow), integer(startColumn), integer(rowCount), integer(columnCount)),
      { volatile: true });
  }

  getCell(row, column) {
    return this._method(Range, "getCell", [row, column],
      (sheet) => rangeAt(alive(sheet), integer(row), integer(column), 1, 1), { volatile: true });
  }

  /** The used range; the top left cell when the sheet is blank. */
  getUsedRange(valuesOnly = false) {
    return this._method(Range, "getUsedRange", [valuesOnly],
      (sheet) => ({ sheet, area: alive(sheet).usedArea(Boolean(valuesOnly)) ?? new Area(0, 0, 0, 0) }),
      { volatile: true });
  }

  /** The used range, or a null object when the sheet is blank. */
  getUsedRangeOrNullObject(valuesOnly = false) {
    return this._method(Range, "getUsedRangeOrNullObject", [valuesOnly], (sheet) => {
      const area = alive(sheet).usedArea(Boolean(valuesOnly));
      return area ? { sheet, area } : NULL_TARGET;
    }, { volatile: true });
  }

  activate() {
    this._void("activate", [], (sheet, host) => { host.root.active = alive(sheet); });
  }

  delete() {
    this._void("delete", [], (sheet, host) => host.root.delete(alive(sheet)));
  }

  /** Handlers for changes of this sheet's cells. */
  get onChanged() {
    return this._navigation("onChanged", () => new EventHandlers(this));
  }
}
defineScalars(Worksheet);

// --------------------------------------------------------------------------

const GRID_PROPS = new Set(["values", "formulas", "numberFormat"]);

/** Writes values/formulas/numberFormat: a 2-D array of the range's shape, or one value for every cell. */
function writeGrid(what, { sheet, area }, value, host) {
  alive(sheet);
  const item = (v) => {
    switch (typeof v) {
      case "string":
        // A cell holds at most 32,767 characters (Excel specifications and limits).
        if (v.length > MAX_CELL_CHARS) throw new HostError("InvalidArgument", "CellTooLong", [MAX_CELL_CHARS]);
        return;
      case "number":
        if (what === "numberFormat" || !Number.isFinite(v)) throw new HostError("InvalidArgument");
        return;
      case "boolean":
        if (what === "numberFormat") throw new HostError("InvalidArgument");
        return;
    }
    if (v !== null) throw new HostError("InvalidArgument");
  };
  // null is no value for the whole property, only for cells inside an array.
  if (value === null || value === undefined) throw new HostError("InvalidArgument");
  if (unbounded(area)) throw new HostError("InvalidArgument", "UnboundedWrite");
  const before = area.cellCount === 1 ? sheet.read(area, "values")[0][0] : undefined;
  let grid;
  if (Array.isArray(value)) {
    if (!value.every(Array.isArray)) throw new HostError("InvalidArgument");
    if (value.length !== area.rowCount || value.some((row) => row.length !== area.columnCount)) {
      throw new HostError("InvalidArgument", "ShapeMismatch");
    }
    for (const row of value) for (let i = 0; i < row.length; i++) item(row[i]);
    grid = value;
  } else {
    item(value);
    if (value === "") {
      sheet.clear(area, what === "numberFormat" ? "Formats" : "Contents");
      if (what !== "numberFormat") changed(host, sheet, area, before);
      return;
    }
    if (area.cellCount > MAX_CELLS) throw new HostError("InvalidOperation", "FillTooLarge", [MAX_CELLS]);
    grid = Array.from({ length: area.rowCount }, () => new Array(area.columnCount).fill(value));
  }
  sheet.write(area, what, grid);
  // Format changes raise onFormatChanged, not onChanged.
  if (what !== "numberFormat" && grid.some((row) => row.some((v) => v !== null))) changed(host, sheet, area, before);
}

function changed(host, sheet, area, before) {
  const handlers = host.env.handlers.filter((h) => h.sheet === sheet);
  if (handlers.length === 0) return;
  let details;
  if (area.cellCount === 1) {
    // details is only given for a change of a single cell.
    const after = sheet.read(area, "values")[0][0];
    details = { valueBefore: before, valueAfter: after, valueTypeBefore: valueType(before), valueTypeAfter: valueType(after) };
  }
  host.changes.push({ handlers, sheet, address: formatArea(area), details });
}

export class Range extends ClientObject {
  static _className = "Range";
  static _props = {
    values: { get: cells("values"), set: (t, v, host) => writeGrid("values", t, v, host) },
    formulas: { get: cells("formulas"), set: (t, v, host) => writeGrid("formulas", t, v, host) },
    numberFormat: { get: cells("numberFormat"), set: (t, v, host) => writeGrid("numberFormat", t, v, host) },
    text: { get: cells("text") },
    valueTypes: { get: cells("valueTypes") },
    address: { get: (t) => formatAddress(alive(t.sheet).name, t.area) },
    addressLocal: { get: (t) => formatAddress(alive(t.sheet).name, t.area) },
    rowCount: { get: (t) => t.area.rowCount },
    columnCount: { get: (t) => t.area.columnCount },
    cellCount: { get: (t) => t.area.cellCount },
    rowIndex: { get: (t) => t.area.top },
    columnIndex: { get: (t) => t.area.left },
  };

  /** The cell at (row, column) counted from this range's top left cell. */
  getCell(row, column) {
    return this._method(Range, "getCell", [row, column],
      (t) => rangeAt(alive(t.sheet), t.area.top + integer(row), t.area.left + integer(column), 1, 1), { volatile: true });
  }

  /** A range of the same size, moved by the offsets. */
  getOffsetRange(rowOffset, columnOffset) {
    return this._method(Range, "getOffsetRange", [rowOffset, columnOffset],
      (t) => rangeAt(alive(t.sheet), t.area.top + integer(rowOffset), t.area.left + integer(columnOffset),
        t.area.rowCount, t.area.columnCount), { volatile: true });
  }

  /** The range grown (or shrunk) from its top left cell. */
  getResizedRange(deltaRows, deltaColumns) {
    return this._method(Range, "getResizedRange", [deltaRows, deltaColumns],
      (t) => rangeAt(alive(t.sheet), t.area.top, t.area.left,
        t.area.rowCount + integer(deltaRows), t.area.columnCount + integer(deltaColumns)), { volatile: true });
  }

  /** The range of `numRows` x `numColumns` cells from this range's top left cell. */
  getAbsoluteResizedRange(numRows, numColumns) {
    return this._method(Range, "getAbsoluteResizedRange", [numRows, numColumns],
      (t) => rangeAt(alive(t.sheet), t.area.top, t.area.left, integer(numRows), integer(numColumns)), { volatile: true });
  }

  /** Row `row` of this range (counted from 0). */
  getRow(row) {
    return this._method(Range, "getRow", [row], (t) => {
      if (integer(row) >= t.area.rowCount) throw new HostError("InvalidArgument");
      return rangeAt(alive(t.sheet), t.area.top + row, t.area.left, 1, t.area.columnCount);
    }, { volatile: true });
  }

  /** Column `column` of this range (counted from 0). */
  getColumn(column) {
    return this._method(Range, "getColumn", [column], (t) => {
      if (integer(column) >= t.area.columnCount) throw new HostError("InvalidArgument");
      return rangeAt(alive(t.sheet), t.area.top, t.area.left + column, t.area.rowCount, 1);
    }, { volatile: true });
  }

  /** The whole rows this range spans. */
  getEntireRow() {
    return this._method(Range, "getEntireRow", [],
      (t) => rangeAt(alive(t.sheet), t.area.top, 0, t.area.rowCount, MAX_COLUMNS), { volatile: true });
  }

  /** The whole columns this range spans. */
  getEntireColumn() {
    return this._method(Range, "getEntireColumn", [],
      (t) => rangeAt(alive(t.sheet), 0, t.area.left, MAX_ROWS, t.area.columnCount), { volatile: true });
  }

  /** Selects this range (and activates its sheet). */
  select() {
    this._void("select", [], (t, host) => {
      host.root.active = alive(t.sheet);
      t.sheet.selection = t.area;
    });
  }

  /** Clears contents, formats or both ("All", the default). */
  clear(applyTo = "All") {
    this._void("clear", [applyTo], (t, host) => {
      const how = applyTo ?? "All";
      if (!["All", "Contents", "Formats", "Hyperlinks", "RemoveHyperlinks", "ResetContents"].includes(how)) {
        throw new HostError("InvalidArgument");
      }
      const before = t.area.cellCount === 1 ? alive(t.sheet).read(t.area, "values")[0][0] : undefined;
      alive(t.sheet).clear(t.area, how === "ResetContents" ? "Contents" : how);
      if (how === "All" || how === "Formats") clearFormats(t.sheet, t.area);
      if (["All", "Contents", "ResetContents"].includes(how)) changed(host, t.sheet, t.area, before);
    });
  }
}
defineScalars(Range);
defineNavigation(Range, "worksheet",
  (self) => new Worksheet(self._context, self, (t) => t.sheet, `${self._path}.worksheet`));
defineNavigation(Range, "format",
  (self) => new RangeFormat(self._context, self, (t) => t, `${self._path}.format`));

// --------------------------------------------------------------------------
// Events

/**
 * worksheet.onChanged: add(handler) gives an EventHandlerResult at once; the
 * registration takes effect at the next sync. Handlers run asynchronously after
 * the sync that changed the sheet, with WorksheetChangedEventArgs.
 * https://learn.microsoft.com/javascript/api/office/officeextension.eventhandlers
 */
export class EventHandlers {
  constructor(sheetProxy) { this._sheet = sheetProxy; this._results = []; }

  /** @param {(args: object) => Promise<any>} handler */
  add(handler) {
    if (typeof handler !== "function") throw clientError("InvalidArgument", this._sheet._text("InvalidArgument"), "EventHandlers.add");
    const result = new EventHandlerResult(this, handler);
    this._sheet._queue({
      kind: "call", location: "Worksheet.onChanged.add",
      run: (sheet, host) => { host.env.handlers.push({ sheet: alive(sheet), handler, result }); },
    });
    this._results.push(result);
    return result;
  }

  /** Removes a handler added earlier, at the next sync. */
  remove(handler) {
    for (const result of this._results.filter((r) => r._handler === handler)) result.remove();
  }
}

export class EventHandlerResult {
  constructor(handlers, handler) { this._handlers = handlers; this._handler = handler; }

  get context() { return this._handlers._sheet._context; }

  /** Unregisters the handler at the next sync. */
  remove() {
    this.context._enqueue({
      object: null, kind: "host", location: "EventHandlerResult.remove",
      run: (host) => {
        const list = host.env.handlers;
        for (let i = list.length - 1; i >= 0; i--) if (list[i].result === this) list.splice(i, 1);
      },
    });
  }
}

/** WorksheetChangedEventArgs for one recorded change. */
export function changedEventArgs(change) {
  const { sheet, address, details } = change;
  return {
    type: "WorksheetChanged",
    address,
    worksheetId: sheet.id,
    changeType: "RangeEdited",
    source: "Local",
    triggerSource: "ThisLocalAddin",
    // Set only when cells shift on an insert or delete; an edit shifts nothing.
    changeDirectionState: { insertShiftDirection: undefined, deleteShiftDirection: undefined },
    details,
    getRange(ctx) { return ctx.workbook.worksheets.getItem(sheet.id).getRange(address); },
    getRangeOrNullObject(ctx) { return ctx.workbook.worksheets.getItem(sheet.id).getRange(address); },
  };
}

export const { NamedItem, NamedItemCollection } = defineNames(Range);
export const { Table, TableCollection } = defineTables(Range);
defineNavigation(Workbook, "names",
  (self) => new NamedItemCollection(self._context, self, (book) => book, `${self._path}.names`));
defineNavigation(Workbook, "tables",
  (self) => new TableCollection(self._context, self, (book) => book, `${self._path}.tables`));
defineNavigation(Worksheet, "tables",
  (self) => new TableCollection(self._context, self, (sheet) => alive(sheet), `${self._path}.tables`));

export { GENERAL, GRID_PROPS };
