// A1-style addresses of the Office.js double: "A1", "B2:D10", "A:C", "3:5",
// "'My Sheet'!$A$1:B2". Areas are zero-based inclusive rectangles.
//
// Grid size: https://support.microsoft.com/office/excel-specifications-and-limits-1672b34d-7043-467e-8e27-269d656771c3
// (1,048,576 rows by 16,384 columns, last column XFD).

export const MAX_ROWS = 1_048_576;
export const MAX_COLUMNS = 16_384;

const PART = /^\$?([A-Za-z]{0,3})\$?([0-9]{0,7})$/;

/** A zero-based inclusive rectangle of cells. */
export class Area {
  constructor(top, left, bottom, right) {
    this.top = top; this.left = left; this.bottom = bottom; this.right = right;
  }
  get rowCount() { return this.bottom - this.top + 1; }
  get columnCount() { return this.right - this.left + 1; }
  get cellCount() { return this.rowCount * this.columnCount; }
  contains(row, column) {
    return row >= this.top && row <= this.bottom && column >= this.left && column <= this.right;
  }
  static sheet() { return new Area(0, 0, MAX_ROWS - 1, MAX_COLUMNS - 1); }
}

export function columnLetters(index) {
  let letters = "";
  for (let n = index + 1; n > 0; n = Math.floor((n - 1) / 26)) {
    letters = String.fromCharCode(65 + ((n - 1) % 26)) + letters;
  }
  return letters;
}

function columnIndex(letters) {
  let value = 0;
  for (const ch of letters.toUpperCase()) value = value * 26 + (ch.charCodeAt(0) - 64);
  return value - 1;
}

function part(text) {
  const match = PART.exec(text);
  if (!match || !(match[1] || match[2])) return null;
  const column = match[1] ? columnIndex(match[1]) : null;
  const row = match[2] ? Number(match[2]) - 1 : null;
  if (column !== null && !(column >= 0 && column < MAX_COLUMNS)) return null;
  if (row !== null && !(row >= 0 && row < MAX_ROWS)) return null;
  return { row, column };
}

/**
 * Splits "Sheet!A1" into the sheet name (unquoted) and the cell part.
 * @param {string} address
 * @returns {{sheet: string|null, cells: string}}
 */
export function splitSheet(address) {
  const bang = address.lastIndexOf("!");
  if (bang < 0) return { sheet: null, cells: address };
  let sheet = address.slice(0, bang);
  if (sheet.length >= 2 && sheet.startsWith("'") && sheet.endsWith("'")) {
    sheet = sheet.slice(1, -1).replaceAll("''", "'");
  }
  return { sheet, cells: address.slice(bang + 1) };
}

/**
 * The rectangle of "A1", "A1:B2", "A:B" or "1:2"; null when the text is no address.
 * @param {string} cells
 * @returns {Area|null}
 */
export function parseArea(cells) {
  const pieces = cells.trim().split(":");
  if (pieces.length > 2 || pieces.some((p) => p === "")) return null;
  const [a, b] = pieces.length === 1 ? [part(pieces[0]), part(pieces[0])] : pieces.map(part);
  if (!a || !b) return null;
  if ((a.row === null) !== (b.row === null) || (a.column === null) !== (b.column === null)) return null;
  // "A" or "3" alone name no cells; only "A:A" and "3:3" do.
  if (pieces.length === 1 && (a.row === null || a.column === null)) return null;
  const top = a.row === null ? 0 : Math.min(a.row, b.row);
  const bottom = a.row === null ? MAX_ROWS - 1 : Math.max(a.row, b.row);
  const left = a.column === null ? 0 : Math.min(a.column, b.column);
  const right = a.column === null ? MAX_COLUMNS - 1 : Math.max(a.column, b.column);
  return new Area(top, left, bottom, right);
}

export function quoteSheet(name) {
  return /^[A-Za-z_][A-Za-z0-9_.]*$/.test(name) && !/^[A-Za-z]{1,3}[0-9]+$/.test(name)
    ? name : "'" + name.replaceAll("'", "''") + "'";
}

/** "A1", "A1:B2", whole columns "A:C", whole rows "3:5", as Excel reports them. */
export function formatArea(area) {
  const wholeColumns = area.top === 0 && area.bottom === MAX_ROWS - 1;
  const wholeRows = area.left === 0 && area.right === MAX_COLUMNS - 1;
  if (wholeRows) return `${area.top + 1}:${area.bottom + 1}`;
  if (wholeColumns) return `${columnLetters(area.left)}:${columnLetters(area.right)}`;
  const first = `${columnLetters(area.left)}${area.top + 1}`;
  if (area.rowCount === 1 && area.columnCount === 1) return first;
  return `${first}:${columnLetters(area.right)}${area.bottom + 1}`;
}

export function formatAddress(sheetName, area) {
  return `${quoteSheet(sheetName)}!${formatArea(area)}`;
}
