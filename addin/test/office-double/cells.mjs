// What a cell holds, as Excel makes it from what an add-in writes, and how it
// reads back: text conversion on entry, formulas, number formats.
//
// Range.values https://learn.microsoft.com/javascript/api/excel/excel.range#excel-excel-range-values-member
//   A value that starts with "=", "+" or "-" is interpreted as a formula; a text
//   value is entered as a user's typing would be: numeric text becomes a number,
//   "TRUE"/"FALSE" a boolean, date text a date serial. Locale-shaped dates (such as
//   "19-8-2025") stay text; the double reads dates the en-US way, and ISO dates
//   (YYYY-MM-DD) everywhere.
// Text number format "@": a cell formatted as text keeps what is typed as text.
//   https://support.microsoft.com/office/format-numbers-as-text-583160db-7c6c-4711-a2e3-d9bfb3a8be0c
// 15 significant digits; 32,767 characters in a cell:
//   https://support.microsoft.com/office/excel-specifications-and-limits-1672b34d-7043-467e-8e27-269d656771c3
//   https://support.microsoft.com/office/last-digits-are-changed-to-zeros-when-you-type-long-numbers-in-cells-of-excel-ec2b2ee9-5d05-4a2a-b9d8-7a1cb9a2d5c5
// Number format codes (Range.numberFormat, Range.text):
//   https://support.microsoft.com/office/number-format-codes-5026bbd6-04bc-48cd-bf33-80f18b4eae68
// Dates are serial numbers, days since 1899-12-30 (1900 date system):
//   https://support.microsoft.com/office/date-systems-in-excel-e7fe7167-48a9-4b96-bb53-5612a800b487
//
// The double has a small formula engine: numbers, text, TRUE/FALSE, cell and
// range references (on any sheet of the workbook), defined names, the operators
// + - * / ^ & % and comparisons, and SUM, AVERAGE, MIN, MAX, COUNT, COUNTA, IF,
// AND, OR, NOT, ABS, ROUND, LEN, UPPER, LOWER, CONCAT. A formula it cannot read
// (such as "=-" or "=+44 20 7946 0000") is refused with InvalidArgument, as Excel
// refuses a formula with a syntax error; an unknown function reads as #NAME?.

import { HostError } from "./errors.mjs";

export const GENERAL = "General";
export const TEXT_FORMAT = "@";
export const MAX_CELL_CHARS = 32_767;

/** An error value of a formula (#DIV/0!, #VALUE!, #NAME?, #REF!). values reads its text. */
export class CellError {
  constructor(text) { this.text = text; }
  toString() { return this.text; }
}
const ERR = {
  div0: new CellError("#DIV/0!"), value: new CellError("#VALUE!"), name: new CellError("#NAME?"),
  ref: new CellError("#REF!"), na: new CellError("#N/A"), num: new CellError("#NUM!"),
};

// --------------------------------------------------------------------------
// Text entry

/** Keeps 15 significant digits, dropping the rest as Excel does with typed numbers. */
function fifteenDigits(mantissa, exponent) {
  // mantissa: digits with an optional "."; the value is mantissa * 10**exponent.
  const dot = mantissa.indexOf(".");
  const intDigits = dot < 0 ? mantissa.length : dot;
  let digits = mantissa.replace(".", "");
  let point = intDigits + exponent;
  const lead = digits.match(/^0*/)[0].length;
  digits = digits.slice(lead); point -= lead;
  if (digits.length > 15) digits = digits.slice(0, 15);
  if (digits === "") return 0;
  return Number(`0.${digits}e${point}`);
}

const DIGIT = /\d/;
const LETTER = /^[A-Za-z]/;
const MONTH_FIRST = /^[A-Za-z]{3,9}\s\d/;
const BOOLEAN = /^\s*(true|false)\s*$/i;
const NUMBER = /^(\d{1,3}(?:,\d{3})+|\d*)(\.\d*)?(?:[eE]([+-]?\d{1,3}))?$/;

function parseNumber(text) {
  let body = text, sign = 1, percent = false, currency = false;
  if (body.startsWith("-")) { sign = -1; body = body.slice(1); } else if (body.startsWith("+")) body = body.slice(1);
  if (body.startsWith("$")) { currency = true; body = body.slice(1); }
  if (body.endsWith("%")) { percent = true; body = body.slice(0, -1); }
  const m = NUMBER.exec(body);
  if (!m || !/\d/.test((m[1] ?? "") + (m[2] ?? ""))) return null;
  const grouped = m[1].includes(",");
  const mantissa = m[1].replaceAll(",", "") + (m[2] ?? "");
  let value = sign * fifteenDigits(mantissa.replace(/\.$/, ""), Number(m[3] ?? 0));
  if (!Number.isFinite(value)) return null;
  const decimals = m[2] ? m[2].length - 1 : 0;
  let format;
  if (percent) { value /= 100; format = decimals ? `0.${"0".repeat(decimals)}%` : "0%"; }
  else if (currency) format = decimals ? "$#,##0.00" : "$#,##0";
  else if (grouped) format = decimals ? "#,##0.00" : "#,##0";
  return { value: value === 0 ? 0 : value, format };
}

const MONTHS = ["jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"];
const MONTH_NAMES = ["January", "February", "March", "April", "May", "June", "July", "August", "September", "October", "November", "December"];
const DAY_NAMES = ["Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"];
const TIME = /^(\d{1,2}):(\d{2})(?::(\d{2}(?:\.\d+)?))?\s*([AaPp][Mm]?)?$/;

/** The serial number of a date (1900 system); null before 1900-01-01 or when invalid. */
export function dateSerial(year, month, day) {
  if (month < 1 || month > 12 || day < 1 || year < 1900 || year > 9999) return null;
  const ms = Date.UTC(year, month - 1, day);
  const check = new Date(ms);
  if (check.getUTCMonth() !== month - 1 || check.getUTCDate() !== day) return null;
  const days = Math.round((ms - Date.UTC(1899, 11, 30)) / 86_400_000);
  // Excel counts a 29 February 1900 that never was: serials before March 1900 are one less.
  return days < 61 ? days - 1 : days;
}

/** Year, month, day, hours, minutes, seconds of a serial number. */
export function serialParts(serial) {
  let days = Math.floor(serial);
  let seconds = Math.round((serial - days) * 86_400);
  if (seconds >= 86_400) { days += 1; seconds -= 86_400; }
  if (days === 60) return { year: 1900, month: 2, day: 29, weekday: 3, hours: 0, minutes: 0, seconds: 0, ...clock(seconds) };
  const date = new Date(Date.UTC(1899, 11, 30) + (days < 61 ? days + 1 : days) * 86_400_000);
  return {
    year: date.getUTCFullYear(), month: date.getUTCMonth() + 1, day: date.getUTCDate(),
    weekday: date.getUTCDay(), ...clock(seconds),
  };
}

function clock(seconds) {
  return { hours: Math.floor(seconds / 3600), minutes: Math.floor(seconds / 60) % 60, seconds: seconds % 60 };
}

function parseTime(text) {
  const m = TIME.exec(text);
  if (!m) return null;
  let hours = Number(m[1]);
  const minutes = Number(m[2]), seconds = Number(m[3] ?? 0);
  if (m[4]) {
    if (hours < 1 || hours > 12) return null;
    hours = (hours % 12) + (m[4][0].toLowerCase() === "p" ? 12 : 0);
  }
  if (hours > 23 || minutes > 59 || seconds >= 60) return null;
  const format = m[4] ? (m[3] ? "h:mm:ss AM/PM" : "h:mm AM/PM") : (m[3] ? "h:mm:ss" : "h:mm");
  return { fraction: (hours * 3600 + minutes * 60 + seconds) / 86_400, format };
}

function year2(text) {
  const y = Number(text);
  return text.length <= 2 ? (y < 30 ? 2000 + y : 1900 + y) : y;
}

function parseDate(text, now = new Date()) {
  const time = parseTime(text);
  if (time) return { value: time.fraction, format: time.format };
  let datePart = text, timePart = null;
  const split = /^(\S+(?:\s\d{1,2},?\s\d{4})?)\s+(\d{1,2}:\d{2}.*)$/.exec(text);
  if (split) { datePart = split[1]; timePart = parseTime(split[2]); if (!timePart) return null; }
  let y, mo, d, format = "m/d/yyyy", m;
  if ((m = /^(\d{4})[-/](\d{1,2})[-/](\d{1,2})$/.exec(datePart))) [y, mo, d] = [Number(m[1]), Number(m[2]), Number(m[3])];
  else if ((m = /^(\d{1,2})\/(\d{1,2})(?:\/(\d{2}|\d{4}))?$/.exec(datePart))) {
    [mo, d] = [Number(m[1]), Number(m[2])];
    y = m[3] ? year2(m[3]) : now.getFullYear();
    if (!m[3]) format = "d-mmm";
  } else if ((m = /^(\d{1,2})[- ]([A-Za-z]{3,9})(?:[- ](\d{2}|\d{4}))?$/.exec(datePart))) {
    mo = monthOf(m[2]); d = Number(m[1]);
    y = m[3] ? year2(m[3]) : now.getFullYear();
    format = m[3] ? "d-mmm-yy" : "d-mmm";
  } else if ((m = /^([A-Za-z]{3,9})\s(\d{1,2}),?\s(\d{4})$/.exec(datePart))) {
    mo = monthOf(m[1]); d = Number(m[2]); y = Number(m[3]);
    format = "d-mmm-yy";
  } else return null;
  if (!mo) return null;
  const serial = dateSerial(y, mo, d);
  if (serial === null) return null;
  if (timePart) return { value: serial + timePart.fraction, format: "m/d/yyyy h:mm" };
  return { value: serial, format };
}

function monthOf(name) {
  const lower = name.toLowerCase();
  const index = MONTHS.indexOf(lower.slice(0, 3));
  if (index < 0) return 0;
  const full = MONTH_NAMES[index].toLowerCase();
  return lower.length === 3 || full === lower || (index === 8 && lower === "sept") ? index + 1 : 0;
}

/**
 * Whether enter(text) keeps `text` as it is, told from its first two
 * characters alone: a letter followed by anything but a letter starts no
 * formula, number, boolean ("TRUE"/"FALSE") or date ("Jan 5, 2024" needs
 * three letters). false means only that enter() must look.
 */
export function keepsText(text) {
  return isLetter(text.charCodeAt(0)) && !isLetter(text.charCodeAt(1));
}

/** @param {number} code  a UTF-16 code unit, NaN past the end */
function isLetter(code) {
  return (code >= 65 && code <= 90) || (code >= 97 && code <= 122);
}

/**
 * What a cell holds after `text` is written to it through values or formulas,
 * outside a Text-formatted cell: {formula, ast} or {value, format?}.
 */
export function enter(text) {
  const first = text.charCodeAt(0);
  if (first === 61 /* = */) return formulaEntry(text);
  // Text with no digit is text, unless it is TRUE/FALSE or a formula.
  if (!DIGIT.test(text) && first !== 43 && first !== 45 && !BOOLEAN.test(text)) return { value: text };
  // Text that starts with a letter is a boolean, a date such as "Jan 5, 2024", or text.
  if (LETTER.test(text) && !BOOLEAN.test(text) && !MONTH_FIRST.test(text)) return { value: text };
  const trimmed = text.trim();
  if (BOOLEAN.test(trimmed)) return { value: trimmed.toLowerCase() === "true" };
  const number = parseNumber(trimmed);
  if (number) return number;
  const date = parseDate(trimmed);
  if (date) return date;
  if (text.startsWith("+") || text.startsWith("-")) return formulaEntry(`=${text}`);
  return { value: text };
}

function formulaEntry(formula) {
  let ast;
  try {
    ast = parseFormula(formula.slice(1));
  } catch (err) {
    if (err instanceof SyntaxError) throw new HostError("InvalidArgument", "BadFormula", [formula]);
    throw err;
  }
  return { formula, ast };
}

// --------------------------------------------------------------------------
// Formulas

const TOKEN = new RegExp([
  String.raw`(?<ws>\s+)`,
  String.raw`(?<num>\d+(?:\.\d*)?(?:[eE][+-]?\d+)?|\.\d+(?:[eE][+-]?\d+)?)`,
  String.raw`(?<str>"(?:[^"]|"")*")`,
  String.raw`(?<err>#DIV\/0!|#VALUE!|#NAME\?|#REF!|#N\/A|#NUM!|#NULL!)`,
  String.raw`(?<ref>(?:(?:'(?:[^']|'')+'|[A-Za-z_][A-Za-z0-9_.]*)!)?\$?[A-Za-z]{1,3}\$?\d{1,7}(?![A-Za-z0-9_(]))`,
  String.raw`(?<name>(?:(?:'(?:[^']|'')+'|[A-Za-z_][A-Za-z0-9_.]*)!)?[A-Za-z_\\][A-Za-z0-9_.]*)`,
  String.raw`(?<op><>|<=|>=|[-+*/^&=<>%(),:])`,
].join("|"), "y");

function tokenize(text) {
  const tokens = [];
  TOKEN.lastIndex = 0;
  let space = false;
  while (TOKEN.lastIndex < text.length) {
    const m = TOKEN.exec(text);
    if (!m) throw new SyntaxError(`unexpected character at ${TOKEN.lastIndex}`);
    const [kind, value] = Object.entries(m.groups).find(([, v]) => v !== undefined);
    if (kind === "ws") { space = true; continue; }
    tokens.push({ kind, value, space });
    space = false;
  }
  return tokens;
}

function splitRef(text) {
  const bang = text.lastIndexOf("!");
  let sheet = null, cell = text;
  if (bang >= 0) {
    sheet = text.slice(0, bang); cell = text.slice(bang + 1);
    if (sheet.startsWith("'")) sheet = sheet.slice(1, -1).replaceAll("''", "'");
  }
  const m = /^\$?([A-Za-z]{1,3})\$?(\d{1,7})$/.exec(cell);
  let column = 0;
  for (const ch of m[1].toUpperCase()) column = column * 26 + ch.charCodeAt(0) - 64;
  return { sheet, row: Number(m[2]) - 1, column: column - 1 };
}

/** Parses a formula (without its "=") into a tree; SyntaxError when it is no formula. */
export function parseFormula(text) {
  const tokens = tokenize(text);
  let i = 0;
  const peek = () => tokens[i];
  const isOp = (v) => peek()?.kind === "op" && peek().value === v;
  const take = () => tokens[i++];
  const expect = (v) => { if (!isOp(v)) throw new SyntaxError(`expected ${v}`); take(); };

  const binary = (next, ops) => () => {
    let left = next();
    while (peek()?.kind === "op" && ops.includes(peek().value)) {
      const op = take().value;
      left = { kind: "bin", op, left, right: next() };
    }
    return left;
  };
  const primary = () => {
    const t = take();
    if (!t) throw new SyntaxError("unexpected end");
    switch (t.kind) {
      case "num": return { kind: "lit", value: Number(t.value) };
      case "str": return { kind: "lit", value: t.value.slice(1, -1).replaceAll('""', '"') };
      case "err": return { kind: "lit", value: Object.values(ERR).find((e) => e.text === t.value) ?? new CellError(t.value) };
      case "ref": {
        const start = splitRef(t.value);
        if (isOp(":")) {
          take();
          const endToken = take();
          if (endToken?.kind !== "ref" || endToken.value.includes("!")) throw new SyntaxError("bad range");
          const end = splitRef(endToken.value);
          return { kind: "range", sheet: start.sheet, top: Math.min(start.row, end.row), left: Math.min(start.column, end.column),
            bottom: Math.max(start.row, end.row), right: Math.max(start.column, end.column) };
        }
        return { kind: "range", sheet: start.sheet, top: start.row, left: start.column, bottom: start.row, right: start.column, single: true };
      }
      case "name": {
        if (isOp("(")) {
          take();
          const args = [];
          if (!isOp(")")) {
            args.push(comparison());
            while (isOp(",")) { take(); args.push(comparison()); }
          }
          expect(")");
          return { kind: "call", name: t.value.toUpperCase(), args };
        }
        if (/^(true|false)$/i.test(t.value)) return { kind: "lit", value: t.value.toLowerCase() === "true" };
        return { kind: "name", name: t.value };
      }
      case "op":
        if (t.value === "(") { const inner = comparison(); expect(")"); return inner; }
        if (t.value === "-" || t.value === "+") return { kind: "neg", sign: t.value, operand: postfix() };
        throw new SyntaxError(`unexpected ${t.value}`);
      default:
        throw new SyntaxError(`unexpected ${t.value}`);
    }
  };
  const postfix = () => {
    let node = primary();
    while (isOp("%")) { take(); node = { kind: "bin", op: "/", left: node, right: { kind: "lit", value: 100 } }; }
    return node;
  };
  const power = binary(postfix, ["^"]);
  const product = binary(power, ["*", "/"]);
  const sum = binary(product, ["+", "-"]);
  const concat = binary(sum, ["&"]);
  const comparison = binary(concat, ["=", "<>", "<", ">", "<=", ">="]);
  const tree = comparison();
  // Whatever is left (such as the "20" of "+44 20") makes no formula: a space
  // between two numbers is not an operator Excel can apply.
  if (i < tokens.length) throw new SyntaxError(`unexpected ${tokens[i].value}`);
  return tree;
}

/**
 * The value of a formula tree. `scope.cell(sheet|null, row, column)` gives a
 * referenced cell's value ("" when blank); `scope.name(name)` a defined name's
 * range node or undefined.
 */
export function evaluate(node, scope) {
  const value = evalNode(node, scope);
  if (Array.isArray(value)) return value.length === 1 && value[0].length === 1 ? blankAsZero(value[0][0]) : ERR.value;
  return blankAsZero(value);
}

function blankAsZero(v) { return v === "" || v === null || v === undefined ? 0 : v; }

function evalNode(node, scope) {
  switch (node.kind) {
    case "lit": return node.value;
    case "range": {
      if (node.single) return scope.cell(node.sheet, node.top, node.left);
      const rows = [];
      for (let r = node.top; r <= node.bottom; r++) {
        const row = [];
        for (let c = node.left; c <= node.right; c++) row.push(scope.cell(node.sheet, r, c));
        rows.push(row);
      }
      return rows;
    }
    case "name": {
      const target = scope.name(node.name);
      return target ? evalNode(target, scope) : ERR.name;
    }
    case "neg": {
      const v = number(scalar(evalNode(node.operand, scope)));
      return v instanceof CellError ? v : (node.sign === "-" ? -v : v);
    }
    case "bin": return binaryOp(node.op, scalar(evalNode(node.left, scope)), scalar(evalNode(node.right, scope)));
    case "call": return call(node.name, node.args, scope);
    default: return ERR.value;
  }
}

function scalar(v) { return Array.isArray(v) ? (v.length === 1 && v[0].length === 1 ? v[0][0] : ERR.value) : v; }

function number(v) {
  if (v instanceof CellError) return v;
  if (typeof v === "number") return v;
  if (typeof v === "boolean") return v ? 1 : 0;
  if (v === "" || v === null || v === undefined) return 0;
  const parsed = parseNumber(String(v).trim()) ?? parseDate(String(v).trim());
  return parsed ? parsed.value : ERR.value;
}

function asText(v) {
  if (typeof v === "boolean") return v ? "TRUE" : "FALSE";
  if (typeof v === "number") return generalText(v);
  return v === null || v === undefined ? "" : String(v);
}

function binaryOp(op, a, b) {
  if (a instanceof CellError) return a;
  if (b instanceof CellError) return b;
  if (op === "&") return asText(a) + asText(b);
  if (["=", "<>", "<", ">", "<=", ">="].includes(op)) {
    const rank = (v) => (typeof v === "number" || v === "" ? 0 : typeof v === "string" ? 1 : 2);
    let x = a === "" && typeof b !== "string" ? (typeof b === "boolean" ? false : 0) : a;
    let y = b === "" && typeof a !== "string" ? (typeof a === "boolean" ? false : 0) : b;
    let cmp = rank(x) - rank(y);
    if (cmp === 0) {
      if (typeof x === "string") { x = x.toLowerCase(); y = String(y).toLowerCase(); }
      cmp = x < y ? -1 : x > y ? 1 : 0;
    }
    return { "=": cmp === 0, "<>": cmp !== 0, "<": cmp < 0, ">": cmp > 0, "<=": cmp <= 0, ">=": cmp >= 0 }[op];
  }
  const x = number(a), y = number(b);
  if (x instanceof CellError) return x;
  if (y instanceof CellError) return y;
  switch (op) {
    case "+": return x + y;
    case "-": return x - y;
    case "*": return x * y;
    case "/": return y === 0 ? ERR.div0 : x / y;
    case "^": { const r = x ** y; return Number.isFinite(r) ? r : ERR.num; }
    default: return ERR.value;
  }
}

function flatten(args, scope) {
  const out = [];
  for (const arg of args) {
    const v = evalNode(arg, scope);
    if (Array.isArray(v)) for (const row of v) for (const cell of row) out.push({ value: cell, fromRange: true });
    else out.push({ value: v, fromRange: false });
  }
  return out;
}

function numbers(args, scope) {
  const out = [];
  for (const { value, fromRange } of flatten(args, scope)) {
    if (value instanceof CellError) return value;
    if (fromRange) { if (typeof value === "number") out.push(value); continue; }
    const n = number(value);
    if (n instanceof CellError) return n;
    out.push(n);
  }
  return out;
}

function call(name, args, scope) {
  const arg = (k) => (args[k] === undefined ? "" : scalar(evalNode(args[k], scope)));
  const withNumbers = (fn) => { const ns = numbers(args, scope); return ns instanceof CellError ? ns : fn(ns); };
  switch (name) {
    case "SUM": return withNumbers((ns) => ns.reduce((s, v) => s + v, 0));
    case "AVERAGE": return withNumbers((ns) => (ns.length ? ns.reduce((s, v) => s + v, 0) / ns.length : ERR.div0));
    case "MIN": return withNumbers((ns) => (ns.length ? Math.min(...ns) : 0));
    case "MAX": return withNumbers((ns) => (ns.length ? Math.max(...ns) : 0));
    case "COUNT": return flatten(args, scope).filter(({ value, fromRange }) => typeof value === "number" || (!fromRange && !(number(value) instanceof CellError))).length;
    case "COUNTA": return flatten(args, scope).filter(({ value }) => value !== "").length;
    case "IF": {
      const test = arg(0);
      if (test instanceof CellError) return test;
      const t = number(test);
      if (t instanceof CellError) return t;
      return t !== 0 ? (args.length > 1 ? arg(1) : true) : (args.length > 2 ? arg(2) : false);
    }
    case "AND": case "OR": return withNumbers((ns) => (name === "AND" ? ns.every((v) => v !== 0) : ns.some((v) => v !== 0)));
    case "NOT": { const v = number(arg(0)); return v instanceof CellError ? v : v === 0; }
    case "ABS": { const v = number(arg(0)); return v instanceof CellError ? v : Math.abs(v); }
    case "ROUND": {
      const v = number(arg(0)), digits = number(arg(1));
      if (v instanceof CellError) return v;
      if (digits instanceof CellError) return digits;
      const f = 10 ** Math.trunc(digits);
      return Math.sign(v) * Math.round(Math.abs(v) * f + 1e-9) / f;
    }
    case "LEN": { const v = arg(0); return v instanceof CellError ? v : asText(v).length; }
    case "UPPER": case "LOWER": {
      const v = arg(0);
      if (v instanceof CellError) return v;
      return name === "UPPER" ? asText(v).toUpperCase() : asText(v).toLowerCase();
    }
    case "CONCAT": case "CONCATENATE": {
      let out = "";
      for (const { value } of flatten(args, scope)) { if (value instanceof CellError) return value; out += asText(value); }
      return out;
    }
    default: return ERR.name;
  }
}

// --------------------------------------------------------------------------
// Range.text: a value rendered under its number format

/** A number under "General": up to 11 characters, scientific notation beyond. */
export function generalText(v) {
  if (v === 0) return "0";
  const abs = Math.abs(v);
  if (abs >= 1e11 || abs < 1e-9) {
    const [mant, exp] = v.toExponential(5).split("e");
    const m = mant.includes(".") ? mant.replace(/0+$/, "").replace(/\.$/, "") : mant;
    const e = Number(exp);
    return `${m}E${e < 0 ? "-" : "+"}${String(Math.abs(e)).padStart(2, "0")}`;
  }
  const intDigits = Math.max(1, Math.floor(Math.log10(abs)) + 1);
  const decimals = Math.max(0, 10 - intDigits - (v < 0 ? 1 : 0));
  return String(Number(v.toFixed(Math.min(decimals, 20))));
}

function sections(format) {
  const out = [];
  let current = "", quoted = false;
  for (let i = 0; i < format.length; i++) {
    const ch = format[i];
    if (ch === '"') quoted = !quoted;
    if (ch === "\\" && i + 1 < format.length) { current += ch + format[++i]; continue; }
    if (ch === ";" && !quoted) { out.push(current); current = ""; continue; }
    current += ch;
  }
  out.push(current);
  return out;
}

// Splits a section into literal pieces and code characters.
function pieces(section) {
  const out = [];
  for (let i = 0; i < section.length; i++) {
    const ch = section[i];
    if (ch === '"') {
      const end = section.indexOf('"', i + 1);
      out.push({ literal: section.slice(i + 1, end < 0 ? undefined : end) });
      i = end < 0 ? section.length : end;
    } else if (ch === "\\") { out.push({ literal: section[++i] ?? "" }); }
    else if (ch === "[") { const end = section.indexOf("]", i); i = end < 0 ? section.length : end; }
    else if (ch === "_") { out.push({ literal: " " }); i++; }
    else if (ch === "*") { i++; }
    else out.push({ code: ch });
  }
  return out;
}

function isDateFormat(section) {
  const codes = pieces(section);
  const has = (re) => codes.some((p) => p.code && re.test(p.code));
  return has(/[ydhsYDHS]/) || (has(/[mM]/) && !has(/[0#?]/));
}

/** The text Excel shows for `value` under number format `format` (Range.text). */
export function renderText(value, format = GENERAL) {
  if (value instanceof CellError) return value.text;
  if (typeof value === "boolean") return value ? "TRUE" : "FALSE";
  if (value === "" || value === null || value === undefined) return "";
  const all = sections(format || GENERAL);
  if (typeof value === "string") {
    const textSection = all[3] ?? (all.length === 1 && all[0].includes("@") ? all[0] : null);
    if (!textSection) return value;
    return pieces(textSection).map((p) => (p.literal ?? (p.code === "@" ? value : p.code))).join("");
  }
  let section = all[0];
  let v = value;
  if (value < 0 && all.length > 1) { section = all[1]; v = -value; }
  else if (value === 0 && all.length > 2) section = all[2];
  if (/^general$/i.test(section.trim()) || section.trim() === "@" || section.trim() === "") return generalText(v);
  if (isDateFormat(section)) return renderDate(v, section);
  return renderNumber(v, section, value < 0 && all.length === 1);
}

function renderDate(serial, section) {
  if (serial < 0 || serial >= 2_958_466) return "#".repeat(10);
  const parts = serialParts(serial);
  const codes = pieces(section);
  const ampm = codes.some((p, i) => p.code && /[aA]/.test(p.code) && /^(AM\/PM|A\/P)/i.test(codes.slice(i).map((q) => q.code ?? q.literal).join("")));
  const out = [];
  for (let i = 0; i < codes.length; i++) {
    const p = codes[i];
    if (p.literal !== undefined) { out.push(p.literal); continue; }
    const ch = p.code.toLowerCase();
    let run = 1;
    while (codes[i + run]?.code?.toLowerCase() === ch) run++;
    const rest = codes.slice(i).map((q) => q.code ?? q.literal).join("");
    if (ch === "a" && /^(AM\/PM|A\/P)/i.test(rest)) {
      const long = /^AM\/PM/i.test(rest);
      out.push(parts.hours < 12 ? (long ? "AM" : "A") : (long ? "PM" : "P"));
      i += long ? 4 : 2;
      continue;
    }
    i += run - 1;
    if (ch === "y") out.push(run <= 2 ? String(parts.year % 100).padStart(2, "0") : String(parts.year));
    else if (ch === "d") {
      out.push(run === 1 ? String(parts.day) : run === 2 ? String(parts.day).padStart(2, "0")
        : run === 3 ? DAY_NAMES[parts.weekday].slice(0, 3) : DAY_NAMES[parts.weekday]);
    } else if (ch === "h") {
      const h = ampm ? ((parts.hours + 11) % 12) + 1 : parts.hours;
      out.push(run >= 2 ? String(h).padStart(2, "0") : String(h));
    } else if (ch === "s") out.push(run >= 2 ? String(parts.seconds).padStart(2, "0") : String(parts.seconds));
    else if (ch === "m") {
      // "m" after an hour or before a second means minutes.
      const before = codes.slice(0, i - run + 1).filter((q) => q.code && /[a-zA-Z]/.test(q.code)).at(-1)?.code?.toLowerCase();
      const after = codes.slice(i + 1).find((q) => q.code && /[a-zA-Z]/.test(q.code))?.code?.toLowerCase();
      if ((before === "h" || after === "s") && run <= 2) out.push(run === 2 ? String(parts.minutes).padStart(2, "0") : String(parts.minutes));
      else {
        out.push(run === 1 ? String(parts.month) : run === 2 ? String(parts.month).padStart(2, "0")
          : run === 3 ? MONTH_NAMES[parts.month - 1].slice(0, 3) : run === 5 ? MONTH_NAMES[parts.month - 1][0] : MONTH_NAMES[parts.month - 1]);
      }
    } else out.push(p.code.repeat(run));
  }
  return out.join("");
}

function renderNumber(v, section, negative) {
  const codes = pieces(section);
  const digitIndex = codes.findIndex((p) => p.code && /[0#?]/.test(p.code));
  if (digitIndex < 0) return (negative ? "-" : "") + codes.map((p) => p.literal ?? p.code).join("");
  let lastDigit = codes.length - 1;
  while (!(codes[lastDigit].code && /[0#?.,]/.test(codes[lastDigit].code))) lastDigit--;
  const prefix = codes.slice(0, digitIndex).map((p) => p.literal ?? p.code).join("");
  const suffix = codes.slice(lastDigit + 1).map((p) => p.literal ?? p.code).join("");
  const body = codes.slice(digitIndex, lastDigit + 1).map((p) => p.code ?? "").join("");
  let scaled = Math.abs(v);
  if ((prefix + suffix).includes("%")) scaled *= 100;
  const [intPart, fracPart = ""] = body.split(".");
  const decimals = (fracPart.match(/[0#?]/g) ?? []).length;
  const minInt = (intPart.match(/0/g) ?? []).length;
  const grouped = /[0#?],[0#?]/.test(intPart);
  let [whole, frac = ""] = scaled.toFixed(decimals).split(".");
  if (whole === "0" && minInt === 0) whole = "";
  whole = whole.padStart(minInt, "0");
  if (grouped) whole = whole.replace(/\B(?=(\d{3})+(?!\d))/g, ",");
  const minFrac = (fracPart.match(/0/g) ?? []).length;
  while (frac.length > minFrac && frac.endsWith("0")) frac = frac.slice(0, -1);
  const number = frac || fracPart.includes(".") || body.includes(".") ? `${whole}${body.includes(".") ? "." : ""}${frac}` : whole;
  const sign = negative && Number(scaled.toFixed(decimals)) !== 0 ? "-" : "";
  return `${sign}${prefix}${number}${suffix}`;
}
