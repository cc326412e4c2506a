// executor-errors.mjs — how a failed request is told to the kernel.
//
// An Office.js failure is answered as "Code: message (location)": the code
// first, because only codes are stable (Excel localizes its messages). The
// add-in's own refusals are RequestErrors and read as plain sentences.

import { WireError } from "./wire.mjs";

/** A refusal or failure answered to the kernel as the request's error. */
export class RequestError extends Error {
  /** @param {string} message */
  constructor(message) {
    super(message);
    this.name = "RequestError";
  }
}

/** A sync that never came back; the context is given up. */
export class HangError extends Error {}

/** Excel refuses every batch while the user edits a cell. */
export const CELL_EDIT_CODE = "InvalidOperationInCellEditMode";

/**
 * The text the kernel shows for a failed request.
 * @param {unknown} exc
 * @returns {string}
 */
export function errorText(exc) {
  if (exc instanceof RequestError || exc instanceof WireError || exc instanceof HangError) return exc.message;
  if (exc !== null && typeof exc === "object") {
    const { code, message, debugInfo } = /** @type {{code?: unknown, message?: unknown, debugInfo?: {errorLocation?: string}}} */ (exc);
    if (typeof code === "string") {
      const where = debugInfo?.errorLocation;
      return `${code}: ${message}${where ? ` (${where})` : ""}`;
    }
  }
  if (exc instanceof Error) return exc.constructor === Error ? exc.message : `${exc.name}: ${exc.message}`;
  return String(exc);
}

/**
 * A name as Python would show it in a message.
 * @param {unknown} name
 */
export function quote(name) {
  return `'${String(name).replace(/\\/g, "\\\\").replace(/'/g, "\\'")}'`;
}

/**
 * A call as a reader would write it: getItem('Nope'), getCell(0, 1).
 * @param {string} name @param {unknown[]} args
 */
export function callText(name, args) {
  const shown = args.map((a) => {
    if (typeof a === "string") return quote(a);
    if (typeof a === "number" || typeof a === "boolean" || a === null || a === undefined) return String(a);
    try {
      const text = JSON.stringify(a) ?? String(a);
      return text.length > 60 ? text.slice(0, 60) + "..." : text;
    } catch {
      return "...";
    }
  });
  return `${name}(${shown.join(", ")})`;
}
