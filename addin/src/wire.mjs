// wire.mjs — the add-in's half of the wire format and the frame checks.
//
// Owns: wire values <-> JS values (the JSON number rule both ways, Date,
// Bytes, Array, Dict, references and Python callables), Excel's serial dates,
// and the one place where a frame from the kernel is parsed and checked.
// Everything past parseFrame() may trust the shape of what it is given.

import { ARG, ID, KIND, METHOD, NON_FINITE_TEXT, NULL, TAG } from "./protocol.mjs";

/** Nesting limit for values in either direction (a grid is two levels deep). */
export const MAX_DEPTH = 64;

const MAX_EXACT = 2 ** 53;
const NON_FINITE = new Map([[NON_FINITE_TEXT.NAN, NaN], [NON_FINITE_TEXT.INFINITY, Infinity], [NON_FINITE_TEXT.MINUS_INFINITY, -Infinity]]);

/** A value from the kernel that cannot be used; the request it came with fails. */
export class WireError extends Error {
  /** @param {string} message */
  constructor(message) {
    super(message);
    this.name = "WireError";
  }
}

// ---------------------------------------------------------------------------
// JS -> wire

/**
 * A number under the JSON number rule: integral numbers JSON carries exactly
 * travel as "Int", every other number as "Float", non-finite ones as text.
 * @param {number} n
 */
export function numberToWire(n) {
  if (Number.isSafeInteger(n) && !Object.is(n, -0)) return { type: TAG.INT, value: n, isSpec: false };
  if (Number.isFinite(n)) return { type: TAG.FLOAT, value: n, isSpec: false };
  const text = Number.isNaN(n) ? NON_FINITE_TEXT.NAN : n > 0 ? NON_FINITE_TEXT.INFINITY : NON_FINITE_TEXT.MINUS_INFINITY;
  return { type: TAG.FLOAT, value: text, isSpec: false };
}

/**
 * Encode a JS value. Live objects go through `reference(obj)`, which returns
 * the reference wire value (and counts it) or undefined for "not a live object".
 * Arrays and plain objects are snapshots: they carry the snapshot id.
 * @param {unknown} value
 * @param {(obj: object) => (object|undefined)} [reference]
 * @returns {object}
 */
export function toWire(value, reference = () => undefined, depth = 0) {
  switch (typeof value) {
    case "string":
      return { type: TAG.STRING, value, isSpec: false };
    case "number":
      return numberToWire(value);
    case "boolean":
      return { type: TAG.BOOL, value, isSpec: false };
    case "bigint":
      return {
        type: TAG.INT,
        value: value >= -BigInt(MAX_EXACT) && value <= BigInt(MAX_EXACT) ? Number(value) : value.toString(),
        isSpec: false,
      };
    case "undefined":
      return NULL;
    case "function":
      throw new WireError("a JavaScript function has no wire form");
    case "symbol":
      return { type: TAG.STRING, value: String(value), isSpec: false };
  }
  if (value === null) return NULL;
  if (depth >= MAX_DEPTH) throw new WireError(`value nested deeper than ${MAX_DEPTH} levels`);
  if (Array.isArray(value)) {
    const items = new Array(value.length);
    for (let i = 0; i < value.length; i++) items[i] = toWire(value[i], reference, depth + 1);
    return { type: TAG.ARRAY, value: items, isSpec: false, id: ID.SNAPSHOT };
  }
  if (value instanceof Date) {
    const t = value.getTime();
    return Number.isNaN(t) ? NULL : { type: TAG.DATE, value: value.toISOString(), isSpec: false };
  }
  if (value instanceof Uint8Array || value instanceof ArrayBuffer) {
    return { type: TAG.BYTES, value: bytesToBase64(value instanceof ArrayBuffer ? new Uint8Array(value) : value), isSpec: false };
  }
  const ref = reference(/** @type {object} */ (value));
  if (ref !== undefined) return ref;
  /** @type {Record<string, object>} */
  const items = {};
  const source = /** @type {Record<string, unknown>} */ (value);
  for (const key of Object.keys(source)) {
    const item = source[key];
    if (typeof item === "function") continue; // methods of event-args objects are not data
    Object.defineProperty(items, key, { value: toWire(item, reference, depth + 1), enumerable: true, writable: true, configurable: true });
  }
  return { type: TAG.DICT, value: items, isSpec: false, id: ID.SNAPSHOT };
}

/**
 * JSON.stringify(wire) for one wire value as toWire (or a reference) makes
 * it. Grids never come here (wireText writes arrays itself); what does is a
 * single value, often one item of a list wireText writes (a reference, a
 * date), so the shape toWire makes for a plain value ({type, value, isSpec},
 * no id) is written key for key in toWire's order; every other value goes to
 * JSON.stringify. Only the shapes toWire makes may be given: a wire value
 * with members of its own besides these would lose them. A WireText gives
 * its text.
 * @param {any} wire
 * @returns {string}
 */
export function wireJson(wire) {
  if (wire instanceof WireText) return wire.text;
  if (typeof wire !== "object" || wire === null || typeof wire.isSpec !== "boolean" || "id" in wire) return JSON.stringify(wire);
  const { type, value } = wire;
  if (typeof type !== "string") return JSON.stringify(wire);
  const head = WIRE_HEADS.get(type) ?? `{"type":${JSON.stringify(type)},"value":`;
  const tail = wire.isSpec ? ',"isSpec":true}' : ',"isSpec":false}';
  switch (typeof value) {
    case "string":
      return head + JSON.stringify(value) + tail;
    case "number":
      return head + (Number.isFinite(value) ? String(value) : "null") + tail;
    case "boolean":
      return head + (value ? "true" : "false") + tail;
    case "object":
      if (value === null) return head + "null" + tail;
  }
  return JSON.stringify(wire);
}

const WIRE_HEADS = new Map(Object.values(TAG).map((tag) => [tag, `{"type":${JSON.stringify(tag)},"value":`]));

/**
 * A wire value already written out as its JSON text (see wireText). wireJson
 * gives the text as it is; nothing else reads inside it.
 */
export class WireText {
  /** @param {string} text */
  constructor(text) {
    this.text = text;
  }
}

/**
 * wireJson(toWire(value, reference)), written from the value itself: the
 * text, the calls of `reference` (same objects, same order) and the errors
 * are toWire's. Arrays and the values a grid read from Excel holds (text,
 * numbers, booleans, null) are written here without making their wire
 * objects first; every other value goes through toWire.
 * @param {unknown} value
 * @param {(obj: object) => (object|undefined)} [reference]
 * @returns {string}
 */
export function wireText(value, reference = () => undefined, depth = 0) {
  switch (typeof value) {
    case "string":
      return STRING_HEAD + JSON.stringify(value) + PLAIN_TAIL;
    case "number":
      if (Number.isSafeInteger(value) && !Object.is(value, -0)) return INT_HEAD + value + PLAIN_TAIL;
      if (Number.isFinite(value)) return FLOAT_HEAD + value + PLAIN_TAIL;
      break;
    case "boolean":
      return value ? TRUE_TEXT : FALSE_TEXT;
    case "undefined":
      return NULL_TEXT;
    case "object":
      if (value === null) return NULL_TEXT;
      if (!Array.isArray(value)) break;
      if (depth >= MAX_DEPTH) throw new WireError(`value nested deeper than ${MAX_DEPTH} levels`);
      {
        // Text and numbers, most of a grid, are appended as two pieces each:
        // the value, and one constant that closes the item before it and
        // opens this one. The fewer pieces, the less the rope costs to encode.
        let text = ARRAY_HEAD;
        let open = false; // whether the item before is text or a number still without its tail
        for (let i = 0; i < value.length; i++) {
          const item = value[i];
          const kind = typeof item === "string" ? TEXT
            : typeof item !== "number" || !Number.isFinite(item) ? OTHER
              : Number.isSafeInteger(item) && !Object.is(item, -0) ? INT : FLOAT;
          if (kind !== OTHER) {
            text += open ? BETWEEN[kind] : i > 0 ? COMMA_HEADS[kind] : HEADS[kind];
            text += kind === TEXT ? JSON.stringify(item) : item;
            open = true;
          } else {
            if (open) text += PLAIN_TAIL;
            open = false;
            if (i > 0) text += ",";
            text += wireText(item, reference, depth + 1);
          }
        }
        return text + (open ? PLAIN_ARRAY_TAIL : ARRAY_TAIL);
      }
  }
  return wireJson(toWire(value, reference, depth));
}

const PLAIN_TAIL = ',"isSpec":false}';
const STRING_HEAD = /** @type {string} */ (WIRE_HEADS.get(TAG.STRING));
const INT_HEAD = /** @type {string} */ (WIRE_HEADS.get(TAG.INT));
const FLOAT_HEAD = /** @type {string} */ (WIRE_HEADS.get(TAG.FLOAT));
const NULL_TEXT = `${WIRE_HEADS.get(TAG.NULL)}null${PLAIN_TAIL}`;
const TRUE_TEXT = `${WIRE_HEADS.get(TAG.BOOL)}true${PLAIN_TAIL}`;
const FALSE_TEXT = `${WIRE_HEADS.get(TAG.BOOL)}false${PLAIN_TAIL}`;
const ARRAY_HEAD = `${WIRE_HEADS.get(TAG.ARRAY)}[`;
const ARRAY_TAIL = `],"isSpec":false,"id":${ID.SNAPSHOT}}`;
// The kinds of array items wireText appends itself, and their pieces.
const TEXT = 0, INT = 1, FLOAT = 2, OTHER = 3;
const HEADS = [STRING_HEAD, INT_HEAD, FLOAT_HEAD];
const COMMA_HEADS = HEADS.map((head) => `,${head}`);
const BETWEEN = COMMA_HEADS.map((head) => `${PLAIN_TAIL}${head}`);
const PLAIN_ARRAY_TAIL = `${PLAIN_TAIL}${ARRAY_TAIL}`;

// ---------------------------------------------------------------------------
// wire -> JS

/**
 * @typedef {object} DecodeHooks
 * @property {(id: number, typeName: string) => unknown} resolve  a reference -> the live object
 * @property {(callableId: string) => Function} callable           a Python callable -> a JS function
 */

/**
 * Decode a wire value from the kernel, strictly: a payload that does not fit
 * its tag is refused rather than guessed at. `where` names the value in
 * messages; the path inside it is spelled out only when something is refused.
 * @param {unknown} wire
 * @param {DecodeHooks} hooks
 * @returns {unknown}
 */
export function fromWire(wire, hooks, where = "value") {
  try {
    return decodeValue(wire, hooks, 0);
  } catch (exc) {
    if (exc instanceof PathError) throw new WireError(`${where}${exc.steps.reverse().join("")}: ${exc.message}`);
    throw exc;
  }
}

/** A refusal on its way out of the nested values, collecting the path. */
class PathError extends Error {
  /** @param {string} message */
  constructor(message) {
    super(message);
    /** @type {string[]} */
    this.steps = [];
  }
}

/** @param {unknown} exc @param {string} step */
function along(exc, step) {
  if (exc instanceof PathError) exc.steps.push(step);
  return exc;
}

/**
 * @param {unknown} wire @param {DecodeHooks} hooks @param {number} depth
 * @returns {unknown}
 */
function decodeValue(wire, hooks, depth) {
  if (typeof wire !== "object" || wire === null || Array.isArray(wire)) throw new PathError("not a wire value");
  const { type, value: v } = /** @type {{type: unknown, value: unknown, isSpec?: unknown}} */ (wire);
  switch (type) {
    case TAG.STRING:
      if (typeof v !== "string") throw new PathError("String value is not text");
      return v;
    case TAG.INT:
      if (typeof v === "number" && Number.isInteger(v)) return v;
      // Beyond 2**53 the kernel sends text; Excel keeps numbers as doubles,
      // so the nearest double is what any cell would hold anyway.
      if (typeof v === "string" && /^[+-]?\d{1,400}$/.test(v)) return Number(v);
      throw new PathError(`Int value ${preview(v)} is not an integer`);
    case TAG.FLOAT:
      if (typeof v === "number") return v;
      if (typeof v === "string" && NON_FINITE.has(v)) return NON_FINITE.get(v);
      throw new PathError(`Float value ${preview(v)} is not a number`);
    case TAG.NULL:
      return null;
    case TAG.BOOL:
      if (typeof v !== "boolean") throw new PathError("Bool value is not true/false");
      return v;
    case TAG.ARRAY: {
      if (v === null || v === undefined) return [];
      if (!Array.isArray(v)) throw new PathError("Array value is not a list");
      if (depth >= MAX_DEPTH) throw new PathError(`nested deeper than ${MAX_DEPTH} levels`);
      const out = new Array(v.length);
      let i = 0;
      try {
        for (; i < v.length; i++) out[i] = decodeValue(v[i], hooks, depth + 1);
      } catch (exc) {
        throw along(exc, `[${i}]`);
      }
      return out;
    }
    case TAG.DATE: {
      const date = typeof v === "string" ? parseIsoDate(v) : null;
      if (date === null) throw new PathError(`Date value ${preview(v)} is not ISO 8601 text`);
      return date;
    }
    case TAG.BYTES:
      if (typeof v !== "string") throw new PathError("Bytes value is not base64 text");
      return base64ToBytes(v);
    case TAG.DICT: {
      if (v === null || v === undefined) return {};
      if (!isPlainObject(v)) throw new PathError("Dict value is not an object");
      if (depth >= MAX_DEPTH) throw new PathError(`nested deeper than ${MAX_DEPTH} levels`);
      // "__proto__" would stay an own data key here, but code that copies the
      // object by assignment (as Office.js's set() may) would swap a prototype.
      if (Object.hasOwn(v, "__proto__")) throw new PathError('the Dict key "__proto__" cannot cross to JavaScript');
      /** @type {Record<string, unknown>} */
      const out = {};
      const source = /** @type {Record<string, unknown>} */ (v);
      for (const key of Object.keys(source)) {
        try {
          out[key] = decodeValue(source[key], hooks, depth + 1);
        } catch (exc) {
          throw along(exc, `.${key}`);
        }
      }
      return out;
    }
    case TAG.PYTHON_FUNCTION:
      if (typeof v !== "string" || v.length === 0 || v.length > 128) throw new PathError("bad Python callable id");
      return hooks.callable(v);
  }
  if (typeof type !== "string") throw new PathError("not a wire value");
  if (/** @type {{isSpec?: unknown}} */ (wire).isSpec === true) {
    if (!Number.isSafeInteger(v)) throw new PathError(`reference id ${preview(v)} is not an integer`);
    return hooks.resolve(/** @type {number} */ (v), type);
  }
  throw new PathError(`unknown wire type ${preview(type)}`);
}

/**
 * toCellValue(fromWire(wire)) in one pass, for a value made of plain wire
 * values only (text, numbers, booleans, nulls, dates and arrays of them: a
 * grid to write). undefined for anything else, and for anything either step
 * would refuse: that takes the general road and gets its message there.
 * @param {unknown} wire
 * @returns {unknown}
 */
export function cellsFromWire(wire) {
  const cells = plainCells(wire, 0);
  return cells === NOT_PLAIN ? undefined : cells;
}

const NOT_PLAIN = Symbol("not plain");

/** @param {any} wire @param {number} depth @returns {unknown} */
function plainCells(wire, depth) {
  if (typeof wire !== "object" || wire === null) return NOT_PLAIN;
  const v = wire.value;
  switch (wire.type) {
    case TAG.STRING:
      return typeof v === "string" ? v : NOT_PLAIN;
    case TAG.INT:
      return typeof v === "number" && Number.isInteger(v) ? v : NOT_PLAIN;
    case TAG.FLOAT:
      return typeof v === "number" && Number.isFinite(v) ? v : NOT_PLAIN;
    case TAG.BOOL:
      return typeof v === "boolean" ? v : NOT_PLAIN;
    case TAG.NULL:
      return null;
    case TAG.DATE: {
      const time = typeof v === "string" ? isoTime(v) : NaN;
      if (Number.isNaN(time)) return NOT_PLAIN;
      const serial = timeToSerial(time);
      return serial === null ? new Date(time).toISOString() : serial;
    }
    case TAG.ARRAY: {
      if (!Array.isArray(v) || depth >= MAX_DEPTH) return NOT_PLAIN;
      const out = new Array(v.length);
      for (let i = 0; i < v.length; i++) {
        const item = plainCells(v[i], depth + 1);
        if (item === NOT_PLAIN) return NOT_PLAIN;
        out[i] = item;
      }
      return out;
    }
  }
  return NOT_PLAIN;
}

// ---------------------------------------------------------------------------
// dates
//
// "Date" wire values carry ISO 8601 text. Text without an offset (a naive
// Python datetime, or a date) is read as UTC wall-clock time, so the same
// text always gives the same instant whatever the machine's time zone.
//
// Excel keeps dates in cells as serial numbers (days since 1899-12-30, the
// fraction being the time of day) and Office.js has no Date type: a Date
// written into a cell becomes its serial number (see toCellValue), and
// reading the cell back gives that number, not a date.

const ISO = /^(\d{4})-(\d{2})-(\d{2})(?:[T ](\d{2}):(\d{2})(?::(\d{2})(?:[.,](\d{1,9}))?)?)?\s*(Z|[+-]\d{2}(?::?\d{2}(?::?\d{2}(?:\.\d+)?)?)?)?$/i;

/** @param {string} text @returns {Date|null} */
export function parseIsoDate(text) {
  const time = isoTime(text);
  return Number.isNaN(time) ? null : new Date(time);
}

/**
 * The instant ISO 8601 text names, in milliseconds since 1970 (UTC), or NaN.
 * @param {string} text
 */
function isoTime(text) {
  const plain = plainIsoTime(text);
  if (plain !== undefined) return plain;
  const m = ISO.exec(text);
  if (m === null) return NaN;
  const [, y, mo, d, h = "0", mi = "0", s = "0", frac = "", zone] = m;
  const ms = Number((frac + "000").slice(0, 3));
  const time = utcTime(Number(y), Number(mo), Number(d), Number(h), Number(mi), Number(s), ms);
  if (Number.isNaN(time) || !zone || zone.toUpperCase() === "Z") return time;
  const digits = zone.slice(1).replace(/:/g, "");
  const offset = Number(digits.slice(0, 2)) * 60 + Number(digits.slice(2, 4) || 0);
  return time - (zone[0] === "-" ? -1 : 1) * offset * 60_000;
}

/**
 * The two shapes naive dates take from the kernel, "YYYY-MM-DD" and
 * "YYYY-MM-DDTHH:MM:SS", read by position: the same time as the pattern
 * gives, or NaN where it refuses; undefined for any other shape.
 * @param {string} text @returns {number|undefined}
 */
function plainIsoTime(text) {
  const n = text.length;
  if ((n !== 10 && n !== 19) || text.charCodeAt(4) !== 45 || text.charCodeAt(7) !== 45) return undefined;
  const y = digitsAt(text, 0, 4), mo = digitsAt(text, 5, 2), d = digitsAt(text, 8, 2);
  if (y < 0 || mo < 0 || d < 0) return undefined;
  if (n === 10) return utcTime(y, mo, d, 0, 0, 0, 0);
  const sep = text.charCodeAt(10);
  if ((sep !== 84 && sep !== 116 && sep !== 32) || text.charCodeAt(13) !== 58 || text.charCodeAt(16) !== 58) return undefined;
  const h = digitsAt(text, 11, 2), mi = digitsAt(text, 14, 2), s = digitsAt(text, 17, 2);
  if (h < 0 || mi < 0 || s < 0) return undefined;
  return utcTime(y, mo, d, h, mi, s, 0);
}

/**
 * The number `count` ASCII digits at `at` spell, or -1.
 * @param {string} text @param {number} at @param {number} count
 */
function digitsAt(text, at, count) {
  let value = 0;
  for (let i = at; i < at + count; i++) {
    const digit = text.charCodeAt(i) - 48;
    if (digit < 0 || digit > 9) return -1;
    value = value * 10 + digit;
  }
  return value;
}

/**
 * A UTC wall-clock time in milliseconds since 1970 (Date.UTC's, years below
 * 100 included), or NaN for a month past 12, a day the month lacks, an hour
 * past 23, or minutes and seconds that run into the next day.
 * @param {number} y @param {number} mo @param {number} d @param {number} h @param {number} mi @param {number} s @param {number} ms
 */
function utcTime(y, mo, d, h, mi, s, ms) {
  if (mo < 1 || mo > 12 || d < 1 || h > 23 || ((h * 60 + mi) * 60 + s) * 1000 + ms >= DAY_MS) return NaN;
  if (d > 28 && Date.UTC(y, mo - 1, d) >= Date.UTC(y, mo, 1)) return NaN;
  return Date.UTC(y, mo - 1, d, h, mi, s, ms);
}

const DAY_MS = 86_400_000;
const SERIAL_OF_1970 = 25569;

/**
 * Excel's serial number of a date (UTC wall-clock), or null before 1900-01-01,
 * which Excel cannot hold. Serials below 61 keep Excel's 1900 leap-year quirk.
 * @param {Date} date
 */
export function dateToSerial(date) {
  return timeToSerial(date.getTime());
}

/**
 * dateToSerial of the Date of `time` (milliseconds since 1970).
 * @param {number} time
 */
function timeToSerial(time) {
  const serial = time / DAY_MS + SERIAL_OF_1970;
  if (serial < 2) return null;
  return serial < 61 ? serial - 1 : serial;
}

/**
 * A decoded value made ready for a cell or an Office.js argument: Dates become
 * serial numbers (or their ISO text before 1900), bytes their base64 text;
 * grids are converted element by element.
 * @param {unknown} value
 * @returns {unknown}
 */
export function toCellValue(value) {
  switch (typeof value) {
    case "string":
    case "boolean":
    case "undefined":
      return value;
    case "number":
      // Office.js sends commands as JSON, where NaN and the infinities become
      // null, and a null cell in a written grid is left as it was: the write
      // would report success and change nothing. Excel cells cannot hold them.
      if (!Number.isFinite(value)) {
        throw new WireError(`Excel cannot hold ${value} in a cell or pass it to Office.js (it would arrive as null)`);
      }
      return value;
  }
  if (value === null) return null;
  if (Array.isArray(value)) {
    const out = new Array(value.length);
    for (let i = 0; i < value.length; i++) out[i] = toCellValue(value[i]);
    return out;
  }
  if (value instanceof Date) {
    const serial = dateToSerial(value);
    return serial === null ? value.toISOString() : serial;
  }
  if (value instanceof Uint8Array) return bytesToBase64(value);
  if (isPlainObject(value)) return Object.fromEntries(Object.entries(/** @type {object} */ (value)).map(([k, v]) => [k, toCellValue(v)]));
  return value;
}

// ---------------------------------------------------------------------------
// bytes

/** @param {Uint8Array} bytes */
export function bytesToBase64(bytes) {
  let text = "";
  for (let i = 0; i < bytes.length; i += 0x8000) text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  return btoa(text);
}

const BASE64 = /^(?:[A-Za-z0-9+/]{4})*(?:[A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?$/;

/** @param {string} text */
function base64ToBytes(text) {
  if (!BASE64.test(text)) throw new PathError("Bytes value is not base64 text");
  const raw = atob(text);
  const bytes = new Uint8Array(raw.length);
  for (let i = 0; i < raw.length; i++) bytes[i] = raw.charCodeAt(i);
  return bytes;
}

// ---------------------------------------------------------------------------
// frames from the kernel

const METHODS = new Set(Object.values(METHOD));
const MAX_ID_CHARS = 128;
const MAX_NAME_CHARS = 256;

/** Limits that every frame from the kernel must respect. */
export const DEFAULT_LIMITS = Object.freeze({
  maxFrameChars: 64 * 2 ** 20, // a 10,000 x 10 grid write is a few MB; Excel itself stops at 5 MB per sync
  maxReleaseIds: 1_000_000,
  maxArgs: 64,
});

/** Why a frame was refused; `requestId` is set when the sender can still be answered. */
export class FrameError extends Error {
  /** @param {string} reason @param {string} message @param {string} [requestId] */
  constructor(reason, message, requestId) {
    super(message);
    this.name = "FrameError";
    this.reason = reason;
    this.requestId = requestId;
  }
}

/**
 * Parse and check one frame from the kernel. Returns the frame object, whose
 * members have the documented types; throws FrameError otherwise.
 * @param {unknown} data  what the socket delivered
 * @param {typeof DEFAULT_LIMITS} [limits]
 * @returns {object}
 */
export function parseFrame(data, limits = DEFAULT_LIMITS) {
  if (typeof data !== "string") throw new FrameError("binary", "binary frames are not part of the protocol");
  if (data.length > limits.maxFrameChars) {
    throw new FrameError("oversized", `frame of ${data.length} characters exceeds the limit of ${limits.maxFrameChars}`);
  }
  let frame;
  try {
    frame = JSON.parse(data);
  } catch (exc) {
    throw new FrameError("malformed_json", `not JSON: ${/** @type {Error} */ (exc).message}`);
  }
  if (!isPlainObject(frame)) throw new FrameError("not_an_object", "a frame must be a JSON object");
  switch (frame.kind) {
    case KIND.REQUEST:
      checkRequest(frame, limits);
      return frame;
    case KIND.RELEASE:
      if (!Array.isArray(frame.ids) || frame.ids.length > limits.maxReleaseIds || !frame.ids.every(Number.isSafeInteger)) {
        throw new FrameError("bad_member", "release needs 'ids', a list of integer ids");
      }
      return frame;
    case KIND.CALLBACK_RESULT:
      if (!isId(frame.callId)) throw new FrameError("bad_member", "callback_result without a text 'callId'");
      if (typeof frame.ok !== "boolean") throw new FrameError("bad_member", "callback_result needs a boolean 'ok'");
      return frame;
    case KIND.DIAG:
      if (!isId(frame.diagId)) throw new FrameError("bad_member", "diag without a text 'diagId'");
      return frame;
    default:
      throw new FrameError("unknown_kind", `unknown frame kind ${preview(frame.kind)}`);
  }
}

/** @param {any} frame @param {typeof DEFAULT_LIMITS} limits */
function checkRequest(frame, limits) {
  if (!isId(frame.requestId)) throw new FrameError("bad_member", "request without a text 'requestId'");
  const bad = (/** @type {string} */ message) => {
    throw new FrameError("bad_member", message, frame.requestId);
  };
  if (!METHODS.has(frame.method)) bad(`unknown request method ${preview(frame.method)}`);
  if (!Number.isSafeInteger(frame.caller)) bad("the request's 'caller' is not an integer id");
  if (frame.method === METHOD.DEL) return;
  if (typeof frame.name !== "string" || frame.name.length > MAX_NAME_CHARS) bad("the request's 'name' is not text of a sensible length");
  if (frame.method === METHOD.SET && !isPlainObject(frame.value)) bad("SET needs a wire 'value'");
  if (frame.method === METHOD.CALL) {
    if (!Array.isArray(frame.args) || frame.args.length > limits.maxArgs) bad(`CALL needs an 'args' list of at most ${limits.maxArgs} entries`);
    for (const arg of frame.args) {
      if (!isPlainObject(arg) || !isPlainObject(arg.value)) bad("every CALL argument needs a wire 'value'");
      if (arg.arg_type === ARG.NAMED) {
        if (typeof arg.name !== "string" || !/^[A-Za-z_$][\w$]{0,127}$/.test(arg.name)) bad("a NAMED argument needs an identifier 'name'");
      } else if (arg.arg_type !== ARG.PLACED) {
        bad(`unknown arg_type ${preview(arg.arg_type)}`);
      }
    }
  }
}

/** @param {unknown} value */
function isId(value) {
  return typeof value === "string" && value.length > 0 && value.length <= MAX_ID_CHARS;
}

/** @param {unknown} value */
export function isPlainObject(value) {
  if (value === null || typeof value !== "object" || Array.isArray(value)) return false;
  const proto = Object.getPrototypeOf(value);
  return proto === Object.prototype || proto === null;
}

/** @param {unknown} value */
function preview(value) {
  const text = typeof value === "string" ? JSON.stringify(value) : String(value);
  return text.length > 60 ? text.slice(0, 60) + "..." : text;
}
