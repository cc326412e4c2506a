// Defined names and tables of the Office.js double, kept small.
//
// NamedItemCollection https://learn.microsoft.com/javascript/api/excel/excel.nameditemcollection
//   (add(name, reference, comment) -> NamedItem; getItem -> ItemNotFound; getItemOrNullObject;
//    items; getCount). The double's names refer to ranges only, in workbook scope.
// NamedItem           https://learn.microsoft.com/javascript/api/excel/excel.nameditem
//   (name, type "Range", value (the address), formula, visible, comment; getRange(); delete())
// Name rules          https://support.microsoft.com/office/names-in-formulas-fc2935f9-115d-4bef-a370-3aa8bb4c91f1
//   (start with a letter, underscore or backslash; no spaces; not a cell reference; at most
//    255 characters; unique ignoring case)
// TableCollection     https://learn.microsoft.com/javascript/api/excel/excel.tablecollection
//   (add(address, hasHeaders): without headers Excel generates a header row and shifts the data
//    down one row; a table that would overlap another is refused; getItem, getItemOrNullObject,
//    getCount, items)
// Table               https://learn.microsoft.com/javascript/api/excel/excel.table
//   (name, id, showHeaders; getRange, getHeaderRowRange, getDataBodyRange, delete)

import { Area, formatAddress, parseArea, splitSheet } from "./addresses.mjs";
import { HostError } from "./errors.mjs";
import { ClientObject, NULL_TARGET, defineScalars } from "./runtime.mjs";

const NAME = /^[A-Za-z_\\][A-Za-z0-9_.\\]*$/;

function text(value) {
  if (typeof value !== "string") throw new HostError("InvalidArgument");
  return value;
}

/** The sheet and area of a reference such as "=Sheet1!$A$1:$B$2" or "Sheet1!A1". */
export function resolveReference(book, reference, defaultSheet = book.active) {
  const { sheet: sheetName, cells } = splitSheet(text(reference).replace(/^=/, ""));
  const sheet = sheetName === null ? defaultSheet : book.find(sheetName);
  const area = parseArea(cells);
  if (!sheet || !area) throw new HostError("InvalidArgument");
  return { sheet, area };
}

function checkName(book, name) {
  text(name);
  const refLike = parseArea(name) !== null || /^[Rr]\d*[Cc]\d*$/.test(name);
  if (!NAME.test(name) || name.length > 255 || refLike) throw new HostError("InvalidArgument");
  if (nameTaken(book, name)) throw new HostError("ItemAlreadyExists");
}

/** Whether a defined name or a table already has `name` (names and tables share one namespace). */
function nameTaken(book, name) {
  const folded = name.toLowerCase();
  return book.names.has(folded) || tablesOf(book).some((t) => t.name.toLowerCase() === folded);
}

// --------------------------------------------------------------------------

export function defineNames(Range) {
  class NamedItem extends ClientObject {
    static _className = "NamedItem";
    static _props = {
      name: { get: (item) => item.name },
      type: { get: () => "Range" },
      value: { get: (item) => formatAddress(item.sheet.name, item.area) },
      formula: { get: (item) => `=${formatAddress(item.sheet.name, item.area)}` },
      visible: { get: (item) => item.visible, set: (item, v) => { if (typeof v !== "boolean") throw new HostError("InvalidArgument"); item.visible = v; } },
      comment: { get: (item) => item.comment, set: (item, v) => { item.comment = text(v); } },
    };

    /** The range the name refers to. */
    getRange() {
      return this._method(Range, "getRange", [], (item) => {
        if (item.sheet.deleted) throw new HostError("InvalidReference");
        return { sheet: item.sheet, area: item.area };
      }, { volatile: true });
    }

    delete() {
      this._void("delete", [], (item, host) => { host.root.names.delete(item.name.toLowerCase()); });
    }
  }
  defineScalars(NamedItem);

  class NamedItemCollection extends ClientObject {
    static _className = "NamedItemCollection";
    static _props = {};
    static _collection = {
      list: (book) => [...book.names.values()],
      Item: NamedItem,
    };

    /** Adds a name for a range (a Range or a reference such as "=Sheet1!$A$1:$B$3"). */
    add(name, reference, comment = "") {
      const ref = reference instanceof Range ? reference._path : reference;
      return this._method(NamedItem, "add", [name, ref, comment], (book, host) => {
        checkName(book, name);
        const { sheet, area } = reference instanceof Range ? rangeTarget(reference, host) : resolveReference(book, reference);
        const item = { name, sheet, area, comment: comment ?? "", visible: true };
        book.names.set(name.toLowerCase(), item);
        return item;
      });
    }

    getItem(name) {
      return this._method(NamedItem, "getItem", [name], (book) => book.names.get(text(name).toLowerCase()) ?? missing());
    }

    getItemOrNullObject(name) {
      return this._method(NamedItem, "getItemOrNullObject", [name], (book) => book.names.get(text(name).toLowerCase()) ?? NULL_TARGET);
    }

    getCount() { return this._result("getCount", [], (book) => book.names.size); }
  }
  defineScalars(NamedItemCollection);
  return { NamedItem, NamedItemCollection };
}

function missing() { throw new HostError("ItemNotFound"); }

// A Range argument is resolved on the host like any other proxy of the batch.
function rangeTarget(range, host) {
  const target = host.resolve(range);
  if (target === NULL_TARGET) throw new HostError("InvalidArgument");
  return target;
}

// --------------------------------------------------------------------------

/** The workbook's tables in the order they were added (of live sheets). */
export function tablesOf(book) {
  book.tables = book.tables.filter((t) => !t.deleted && !t.sheet.deleted);
  return book.tables;
}

/** The tables of a TableCollection's owner: the workbook's, or one worksheet's. */
function tablesOfOwner(owner) {
  return owner.cells ? tablesOf(owner.book).filter((t) => t.sheet === owner) : tablesOf(owner);
}

function overlaps(a, b) {
  return a.top <= b.bottom && b.top <= a.bottom && a.left <= b.right && b.left <= a.right;
}

export function defineTables(Range) {
  class Table extends ClientObject {
    static _className = "Table";
    static _props = {
      name: {
        get: (table) => alive(table).name,
        set: (table, value, host) => {
          alive(table);
          if (String(value).toLowerCase() !== table.name.toLowerCase()) checkName(host.root, value);
          table.name = value;
        },
      },
      id: { get: (table) => alive(table).id },
      showHeaders: { get: (table) => alive(table).showHeaders },
    };

    /** The whole table: header row and data body. */
    getRange() { return this._part("getRange", (t) => t.area); }

    /** The header row. */
    getHeaderRowRange() {
      return this._part("getHeaderRowRange", (t) => new Area(t.area.top, t.area.left, t.area.top, t.area.right));
    }

    /** The rows below the header. */
    getDataBodyRange() {
      return this._part("getDataBodyRange", (t) => new Area(t.area.top + 1, t.area.left, t.area.bottom, t.area.right));
    }

    _part(name, area) {
      return this._method(Range, name, [], (table) => ({ sheet: alive(table).sheet, area: area(table) }), { volatile: true });
    }

    /** Removes the table; its cells keep their values. */
    delete() {
      this._void("delete", [], (table) => { alive(table).deleted = true; });
    }
  }
  defineScalars(Table);

  class TableCollection extends ClientObject {
    static _className = "TableCollection";
    static _props = {};
    static _collection = {
      list: tablesOfOwner,
      Item: Table,
    };

    /**
     * A new table over `address` (a Range or an address, on the active sheet
     * when it names none; a worksheet's collection uses its own sheet).
     */
    add(address, hasHeaders) {
      const ref = address instanceof Range ? address._path : address;
      return this._method(Table, "add", [ref, hasHeaders], (owner, host) => {
        const book = host.root;
        const onSheet = owner.cells ? owner : null;
        const { sheet, area } = address instanceof Range ? rangeTarget(address, host)
          : resolveReference(book, address, onSheet ?? book.active);
        if (onSheet && sheet !== onSheet) throw new HostError("InvalidArgument");
        if (typeof hasHeaders !== "boolean") throw new HostError("InvalidArgument");
        // Without headers Excel makes a header row and moves the data down one row.
        const tableArea = hasHeaders ? area : new Area(area.top, area.left, area.bottom + 1, area.right);
        // A refused add changes nothing: the check comes before any cell moves.
        if (tablesOf(book).some((t) => t.sheet === sheet && overlaps(t.area, tableArea))) throw new HostError("InvalidOperation");
        if (!hasHeaders) {
          sheet.shiftDown(area);
          sheet.write(new Area(area.top, area.left, area.top, area.right), "values",
            [Array.from({ length: area.columnCount }, (_, i) => `Column${i + 1}`)]);
        }
        let n = book.tableSerial, name;
        do { n += 1; name = `Table${n}`; } while (nameTaken(book, name));
        book.tableSerial = n;
        const table = { name, id: String(n), sheet, area: tableArea, showHeaders: true, deleted: false };
        tablesOf(book).push(table);
        return table;
      });
    }

    getItem(key) {
      return this._method(Table, "getItem", [key], (owner) => findTable(owner, key) ?? missing());
    }

    getItemOrNullObject(key) {
      return this._method(Table, "getItemOrNullObject", [key], (owner) => findTable(owner, key) ?? NULL_TARGET);
    }

    getCount() { return this._result("getCount", [], (owner) => tablesOfOwner(owner).length); }
  }
  defineScalars(TableCollection);
  return { Table, TableCollection };
}

function findTable(owner, key) {
  const folded = text(key).toLowerCase();
  return tablesOfOwner(owner).find((t) => t.name.toLowerCase() === folded || t.id === key);
}

function alive(table) {
  if (table.deleted || table.sheet.deleted) throw new HostError("ItemNotFound");
  return table;
}
