// The simulated workbook behind the Office.js double: sheets of sparse cells.
// Nothing here knows about queues or syncs; the proxies in excel.mjs read and
// write this model only while a sync runs.
//
// Cell semantics follow "Blank and null values in Excel add-ins":
// https://learn.microsoft.com/office/dev/add-ins/excel/excel-add-ins-blank-null-values
//   - null inside a written 2-D array leaves that cell unchanged;
//   - "" written to values/formulas clears the contents, to numberFormat resets it to General;
//   - empty cells read back as "".
// What text becomes on entry, formulas and number formats: cells.mjs.

import { Area, formatArea } from "./addresses.mjs";
import { CellError, GENERAL, MAX_CELL_CHARS, TEXT_FORMAT, enter, evaluate, keepsText, renderText } from "./cells.mjs";
import { HostError, MESSAGES } from "./errors.mjs";
import { formattedAreas } from "./format.mjs";

// The double materialises every cell it reads or fills; Excel on the web refuses
// reads beyond five million cells, and so does the double everywhere.
// https://learn.microsoft.com/office/dev/add-ins/concepts/resource-limits-and-performance-optimization#excel-add-ins
export const MAX_CELLS = 5_000_000;
const FORBIDDEN = /[\[\]:*?\/\\]/;

/**
 * A sheet's cells, by row: a Map of row -> array of the row's cells by
 * column, undefined where blank. A grid's cells are found a row at a time.
 */
class Cells {
  constructor() { this.rows = new Map(); }

  /** The array of a row's cells (index = column), or undefined. */
  row(row) { return this.rows.get(row); }

  get(row, column) { return this.rows.get(row)?.[column]; }

  set(row, column, cell) {
    let cells = this.rows.get(row);
    if (cells === undefined) this.rows.set(row, (cells = []));
    cells[column] = cell;
  }

  delete(row, column) {
    const cells = this.rows.get(row);
    if (cells !== undefined && cells[column] !== undefined) cells[column] = undefined;
  }

  /** [row, column, cell] of every cell kept; of those inside `area` only, when given. */
  *entries(area) {
    for (const [row, cells] of this.rows) {
      if (area && (row < area.top || row > area.bottom)) continue;
      const last = area ? Math.min(area.right, cells.length - 1) : cells.length - 1;
      for (let column = area ? area.left : 0; column <= last; column++) {
        const cell = cells[column];
        if (cell !== undefined) yield [row, column, cell];
      }
    }
  }
}

let sheetSerial = 0;
function newSheetId() {
  // Worksheet.id is a GUID in braces, stable across renames.
  // https://learn.microsoft.com/javascript/api/excel/excel.worksheet#excel-excel-worksheet-id-member
  sheetSerial += 1;
  const hex = (sheetSerial * 2654435761 % 2 ** 32).toString(16).toUpperCase().padStart(8, "0");
  return `{${hex}-0000-4000-8000-${String(sheetSerial).padStart(12, "0")}}`;
}

/** One worksheet's cells: {value, formula, ast, numberFormat, evaluating} by row and column. */
export class SheetModel {
  constructor(name, book) {
    this.book = book;
    this.id = newSheetId();
    this.name = name;
    this.cells = new Cells();
    this.deleted = false;
    this.visibility = "Visible";
    // What this sheet's formulas read: cells of any sheet of the workbook, and defined names.
    this.scope = {
      cell: (sheetName, r, c) => (sheetName === null ? this : book.find(sheetName))?.valueAt(r, c) ?? new CellError("#REF!"),
      name: (name) => book.nameNode(name),
    };
  }

  cell(row, column) { return this.cells.get(row, column); }

  /** @param {"values"|"formulas"|"numberFormat"|"text"|"valueTypes"} what */
  read(area, what) {
    if (area.cellCount > MAX_CELLS) {
      throw new HostError("ResponsePayloadSizeLimitExceeded", "TooManyCells", [area.cellCount, MAX_CELLS]);
    }
    const rows = new Array(area.rowCount);
    const columns = area.columnCount;
    const cells = this.cells;
    for (let r = 0; r < rows.length; r++) {
      const row = new Array(columns);
      const kept = cells.row(area.top + r);
      for (let c = 0; c < columns; c++) {
        const cell = kept?.[area.left + c];
        // The values of cells without a formula are what they hold, as cellAs() gives them.
        row[c] = what === "values" && cell !== undefined && cell.formula === null && typeof cell.value !== "object"
          ? cell.value : this.cellAs(cell, what);
      }
      rows[r] = row;
    }
    return rows;
  }

  /** The value a cell holds (a formula's result; "" when blank). */
  valueAt(row, column) {
    const cell = this.cells.get(row, column);
    return cell ? this.valueOf(cell) : "";
  }

  valueOf(cell) {
    if (cell.formula === null) return cell.value ?? "";
    if (cell.evaluating) return 0; // a circular reference reads as 0, as Excel shows it
    cell.evaluating = true;
    try {
      return evaluate(cell.ast, this.scope);
    } finally {
      cell.evaluating = false;
    }
  }

  cellAs(cell, what) {
    if (what === "numberFormat") return cell ? cell.numberFormat : GENERAL;
    if (!cell) return what === "valueTypes" ? "Empty" : "";
    if (what === "formulas") return cell.formula ?? cell.value ?? "";
    const value = this.valueOf(cell);
    if (what === "text") return renderText(value, cell.numberFormat);
    if (what === "valueTypes") return valueType(value);
    return value instanceof CellError ? value.text : value;
  }

  /**
   * Writes a full grid (shape already checked); null leaves a cell as it is.
   * Text is entered as Excel enters typed text (cells.mjs), except in a cell
   * formatted as Text ("@"), which keeps it as written. The whole grid is
   * converted before any cell changes, so a refused entry changes nothing.
   */
  write(area, what, grid) {
    const columns = area.columnCount;
    const cells = this.cells;
    // First enter the text (the only step that can refuse): nothing has changed yet.
    let entries = null;
    if (what !== "numberFormat") {
      for (let r = 0; r < grid.length; r++) {
        const row = grid[r];
        const kept = cells.row(area.top + r);
        for (let c = 0; c < row.length; c++) {
          const item = row[c];
          // Text enter() keeps needs no entry: it is written as it is below.
          if (typeof item !== "string" || item === "" || keepsText(item)) continue;
          const cell = kept?.[area.left + c];
          if (cell && cell.numberFormat === TEXT_FORMAT) continue;
          (entries ??= new Array(grid.length * columns))[r * columns + c] = enter(item);
        }
      }
    }
    for (let r = 0; r < grid.length; r++) {
      const row = grid[r];
      const top = area.top + r;
      let kept = cells.row(top);
      for (let c = 0; c < row.length; c++) {
        const item = row[c];
        if (item === null) continue;
        const column = area.left + c;
        const found = kept?.[column];
        const cell = found ?? { value: null, formula: null, ast: null, numberFormat: GENERAL, evaluating: false };
        const entry = entries?.[r * columns + c];
        if (what === "numberFormat") {
          cell.numberFormat = item === "" ? GENERAL : item;
        } else if (entry?.formula) {
          cell.value = null; cell.formula = entry.formula; cell.ast = entry.ast;
        } else if (entry) {
          cell.value = entry.value; cell.formula = cell.ast = null;
          if (entry.format && cell.numberFormat === GENERAL) cell.numberFormat = entry.format;
        } else {
          cell.value = item === "" ? null : item; cell.formula = cell.ast = null;
        }
        // store() without the write a cell already kept needs not.
        if (isBlank(cell)) {
          if (found !== undefined) cells.delete(top, column);
        } else if (found === undefined) {
          cells.set(top, column, cell);
          kept ??= cells.row(top);
        }
      }
    }
  }

  /** Range.clear(applyTo): "All", "Contents", "Formats" (hyperlink variants change nothing here). */
  clear(area, applyTo) {
    const contents = applyTo === "All" || applyTo === "Contents";
    const formats = applyTo === "All" || applyTo === "Formats";
    // store() only changes or blanks cells already kept, so the walk needs no copy.
    for (const [r, c, cell] of this.cells.entries(area)) {
      if (contents) cell.value = cell.formula = cell.ast = null;
      if (formats) cell.numberFormat = GENERAL;
      this.store(r, c, cell);
    }
  }

  /** Moves the cells of `area` one row down (over the row below it). */
  shiftDown(area) {
    for (let r = area.bottom; r >= area.top; r--) {
      for (let c = area.left; c <= area.right; c++) {
        const cell = this.cells.get(r, c);
        this.cells.delete(r + 1, c);
        if (cell) { this.cells.set(r + 1, c, cell); this.cells.delete(r, c); }
      }
    }
  }

  store(row, column, cell) {
    if (isBlank(cell)) this.cells.delete(row, column);
    else this.cells.set(row, column, cell);
  }

  /**
   * The used range: the smallest area holding every cell with a value or a
   * format (number format, font, fill...); with valuesOnly, cells with values
   * only. null when there is none.
   * https://learn.microsoft.com/javascript/api/excel/excel.worksheet#excel-excel-worksheet-getusedrange-member(1)
   */
  usedArea(valuesOnly = false) {
    let top = Infinity, left = Infinity, bottom = -1, right = -1;
    const include = (t, l, b, r) => {
      top = Math.min(top, t); left = Math.min(left, l); bottom = Math.max(bottom, b); right = Math.max(right, r);
    };
    for (const [r, c, cell] of this.cells.entries()) {
      if (valuesOnly && cell.value === null && cell.formula === null) continue;
      include(r, c, r, c);
    }
    if (!valuesOnly) for (const a of formattedAreas(this)) include(a.top, a.left, a.bottom, a.right);
    return bottom < 0 ? null : new Area(top, left, bottom, right);
  }
}

/** A cell with nothing in it, which the sheet does not keep. */
function isBlank(cell) {
  return cell.value === null && cell.formula === null && cell.numberFormat === GENERAL;
}

/** Range.valueTypes of one value. https://learn.microsoft.com/javascript/api/excel/excel.rangevaluetype */
export function valueType(value) {
  if (value === "" || value === null || value === undefined) return "Empty";
  if (value instanceof CellError) return "Error";
  if (typeof value === "number") return Number.isInteger(value) ? "Integer" : "Double";
  if (typeof value === "boolean") return "Boolean";
  return "String";
}

/** The workbook: ordered sheets and the active one. */
export class WorkbookModel {
  constructor(name = "Book1.xlsx", sheetNames = ["Sheet1"]) {
    this.name = name;
    this.sheets = sheetNames.map((n) => new SheetModel(n, this));
    // Defined names (workbook scope): lower-cased name -> {name, sheet, area, comment, visible}.
    this.names = new Map();
    // Tables in the order they were added (tables.mjs), and the last N of a TableN.
    this.tables = [];
    this.tableSerial = 0;
    this.active = this.sheets[0];
    this.serial = this.sheets.length;
  }

  /** A sheet by name (case-insensitive, as Excel compares names) or by id; undefined when absent. */
  find(nameOrId) {
    const folded = String(nameOrId).toLowerCase();
    return this.sheets.find((s) => s.name.toLowerCase() === folded || s.id === nameOrId);
  }

  get(nameOrId) {
    const sheet = this.find(nameOrId);
    if (!sheet) throw new HostError("ItemNotFound");
    return sheet;
  }

  // Worksheet names: 1 to 31 characters, none of [ ] : * ? / \, not starting or
  // ending with an apostrophe, unique ignoring case.
  // https://support.microsoft.com/office/rename-a-worksheet-3f1f7148-ee83-404d-8ef0-9ff99fbad1f9
  checkName(name, renaming = null) {
    if (typeof name !== "string" || name.length === 0 || name.length > 31 || FORBIDDEN.test(name)
        || name.startsWith("'") || name.endsWith("'") || name.toLowerCase() === "history") {
      throw new HostError("InvalidArgument");
    }
    const other = this.find(name);
    if (other && other !== renaming && other.name.toLowerCase() === name.toLowerCase()) {
      throw new HostError("ItemAlreadyExists");
    }
  }

  add(name) {
    if (name === undefined || name === null) {
      do { this.serial += 1; name = `Sheet${this.serial}`; } while (this.find(name));
    }
    this.checkName(name);
    const sheet = new SheetModel(name, this);
    this.sheets.push(sheet);
    return sheet;
  }

  delete(sheet) {
    // A VeryHidden sheet cannot be deleted (InvalidOperation), per Worksheet.delete:
    // https://learn.microsoft.com/javascript/api/excel/excel.worksheet#excel-excel-worksheet-delete-member(1)
    if (sheet.visibility === "VeryHidden") throw new HostError("InvalidOperation");
    // Excel keeps at least one visible sheet; the code it reports is not
    // documented, InvalidOperation is the closest documented one.
    if (!this.sheets.some((s) => s !== sheet && s.visibility === "Visible")) throw new HostError("InvalidOperation");
    this.sheets.splice(this.sheets.indexOf(sheet), 1);
    sheet.deleted = true;
    if (this.active === sheet) this.active = this.sheets[0];
  }

  position(sheet) { return this.sheets.indexOf(sheet); }

  /** The defined name `name` (any case), or undefined; also when its sheet is gone. */
  liveName(name) {
    const item = this.names.get(String(name).toLowerCase());
    return item && !item.sheet.deleted ? item : undefined;
  }

  /** A defined name's reference as a formula range node (for formulas), or undefined. */
  nameNode(name) {
    const item = this.liveName(name);
    if (!item) return undefined;
    const { top, left, bottom, right } = item.area;
    return { kind: "range", sheet: item.sheet.name, top, left, bottom, right, single: item.area.cellCount === 1 };
  }

  // --- fixtures for tests (not reachable through the Office.js API) ---

  /** Cell contents for assertions: {value, formula, numberFormat} or undefined when blank. */
  cellAt(sheetName, a1) {
    const sheet = this.get(sheetName);
    const { top, left } = parseCell(a1);
    const cell = sheet.cell(top, left);
    if (!cell) return undefined;
    const { value, formula, numberFormat } = cell;
    return { value, formula, numberFormat };
  }
}

function parseCell(a1) {
  const m = /^([A-Za-z]{1,3})([0-9]+)$/.exec(a1);
  if (!m) throw new Error(`not a cell address: ${a1}`);
  let column = 0;
  for (const ch of m[1].toUpperCase()) column = column * 26 + ch.charCodeAt(0) - 64;
  return { top: Number(m[2]) - 1, left: column - 1 };
}

export { GENERAL, MAX_CELL_CHARS, MESSAGES, TEXT_FORMAT, formatArea };
