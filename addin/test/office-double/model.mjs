// The simulated workbook behind the Office.js double: sheets of sparse cells.
// Nothing here knows about queues or syncs; the proxies in excel.mjs read and
// write this model only while a sync runs.
//
// Cell semantics follow "Blank and null values in Excel add-ins":
// https://learn.microsoft.com/office/dev/add-ins/excel/excel-add-ins-blank-null-values
//   - null inside a written 2-D array leaves that cell unchanged;
//   - "" written to values/formulas clears the contents, to numberFormat resets it to General;
//   - empty cells read back as "".
// Range.values: https://learn.microsoft.com/javascript/api/excel/excel.range#excel-excel-range-values-member
//   (a value written that starts with "=" is taken as a formula). The double has no
//   calculation engine: a formula cell's value reads as its formula text.

import { Area, MAX_COLUMNS, formatArea } from "./addresses.mjs";
import { HostError, MESSAGES } from "./errors.mjs";

export const GENERAL = "General";
// The double materialises every cell it reads or fills; Excel on the web refuses
// reads beyond five million cells, and so does the double everywhere.
// https://learn.microsoft.com/office/dev/add-ins/concepts/resource-limits-and-performance-optimization#excel-add-ins
export const MAX_CELLS = 5_000_000;
const FORBIDDEN = /[\[\]:*?\/\\]/;

function key(row, column) { return row * MAX_COLUMNS + column; }

let sheetSerial = 0;
function newSheetId() {
  // Worksheet.id is a GUID in braces, stable across renames.
  // https://learn.microsoft.com/javascript/api/excel/excel.worksheet#excel-excel-worksheet-id-member
  sheetSerial += 1;
  const hex = (sheetSerial * 2654435761 % 2 ** 32).toString(16).toUpperCase().padStart(8, "0");
  return `{${hex}-0000-4000-8000-${String(sheetSerial).padStart(12, "0")}}`;
}

/** One worksheet's cells: Map of row*MAX_COLUMNS+column -> {value, formula, numberFormat}. */
export class SheetModel {
  constructor(name) {
    this.id = newSheetId();
    this.name = name;
    this.cells = new Map();
    this.deleted = false;
  }

  cell(row, column) { return this.cells.get(key(row, column)); }

  /** @param {"values"|"formulas"|"numberFormat"|"text"} what */
  read(area, what) {
    if (area.cellCount > MAX_CELLS) {
      throw new HostError("ResponsePayloadSizeLimitExceeded",
        `The range has ${area.cellCount} cells; reads are limited to ${MAX_CELLS} cells.`);
    }
    const rows = [];
    for (let r = area.top; r <= area.bottom; r++) {
      const row = [];
      for (let c = area.left; c <= area.right; c++) row.push(cellAs(this.cells.get(key(r, c)), what));
      rows.push(row);
    }
    return rows;
  }

  /** Writes a full grid (shape already checked); null leaves a cell as it is. */
  write(area, what, grid) {
    for (let r = 0; r < grid.length; r++) {
      for (let c = 0; c < grid[r].length; c++) {
        const item = grid[r][c];
        if (item === null) continue;
        const k = key(area.top + r, area.left + c);
        const cell = this.cells.get(k) ?? { value: null, formula: null, numberFormat: GENERAL };
        if (what === "numberFormat") {
          cell.numberFormat = item === "" ? GENERAL : item;
        } else if (item === "") {
          cell.value = cell.formula = null;
        } else if (typeof item === "string" && item.startsWith("=")) {
          cell.formula = item; cell.value = null;
        } else {
          cell.value = item; cell.formula = null;
        }
        this.store(k, cell);
      }
    }
  }

  /** Range.clear(applyTo): "All", "Contents", "Formats" (hyperlink variants change nothing here). */
  clear(area, applyTo) {
    for (const [k, cell] of [...this.cells]) {
      const r = Math.floor(k / MAX_COLUMNS), c = k % MAX_COLUMNS;
      if (!area.contains(r, c)) continue;
      if (applyTo === "All" || applyTo === "Contents") cell.value = cell.formula = null;
      if (applyTo === "All" || applyTo === "Formats") cell.numberFormat = GENERAL;
      this.store(k, cell);
    }
  }

  store(k, cell) {
    if (cell.value === null && cell.formula === null && cell.numberFormat === GENERAL) this.cells.delete(k);
    else this.cells.set(k, cell);
  }

  /** The smallest area holding every non-blank cell (values only: contents only); null when blank. */
  usedArea(valuesOnly = false) {
    let top = Infinity, left = Infinity, bottom = -1, right = -1;
    for (const [k, cell] of this.cells) {
      if (valuesOnly && cell.value === null && cell.formula === null) continue;
      const r = Math.floor(k / MAX_COLUMNS), c = k % MAX_COLUMNS;
      top = Math.min(top, r); left = Math.min(left, c);
      bottom = Math.max(bottom, r); right = Math.max(right, c);
    }
    return bottom < 0 ? null : new Area(top, left, bottom, right);
  }
}

function cellAs(cell, what) {
  if (what === "numberFormat") return cell ? cell.numberFormat : GENERAL;
  if (!cell) return "";
  if (what === "formulas") return cell.formula ?? cell.value ?? "";
  const value = cell.formula ?? cell.value ?? "";
  if (what === "text") return displayText(value);
  return value;
}

// Range.text under the General format: numbers as JavaScript prints them,
// booleans as TRUE/FALSE. Other number formats are not rendered by the double.
function displayText(value) {
  if (typeof value === "boolean") return value ? "TRUE" : "FALSE";
  return String(value);
}

/** The workbook: ordered sheets and the active one. */
export class WorkbookModel {
  constructor(name = "Book1.xlsx", sheetNames = ["Sheet1"]) {
    this.name = name;
    this.sheets = sheetNames.map((n) => new SheetModel(n));
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
    const sheet = new SheetModel(name);
    this.sheets.push(sheet);
    return sheet;
  }

  delete(sheet) {
    // Excel keeps at least one visible sheet; the code it reports is not
    // documented, InvalidOperation is the closest documented one.
    if (this.sheets.length === 1) throw new HostError("InvalidOperation");
    this.sheets.splice(this.sheets.indexOf(sheet), 1);
    sheet.deleted = true;
    if (this.active === sheet) this.active = this.sheets[0];
  }

  position(sheet) { return this.sheets.indexOf(sheet); }

  // --- fixtures for tests (not reachable through the Office.js API) ---

  /** Cell contents for assertions: {value, formula, numberFormat} or undefined when blank. */
  cellAt(sheetName, a1) {
    const sheet = this.get(sheetName);
    const { top, left } = parseCell(a1);
    const cell = sheet.cell(top, left);
    return cell ? { ...cell } : undefined;
  }
}

function parseCell(a1) {
  const m = /^([A-Za-z]{1,3})([0-9]+)$/.exec(a1);
  if (!m) throw new Error(`not a cell address: ${a1}`);
  let column = 0;
  for (const ch of m[1].toUpperCase()) column = column * 26 + ch.charCodeAt(0) - 64;
  return { top: Number(m[2]) - 1, left: column - 1 };
}

export { MESSAGES, formatArea };
