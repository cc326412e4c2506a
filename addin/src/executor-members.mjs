// executor-members.mjs — what the kernel may reach, and what an object is.
//
// Owns the member allow-list (members are looked up on an object's class
// prototypes only, never on the instance or Object.prototype), the
// classification of obj[name] cached per (prototype, name), the type names
// answered to the kernel, and which objects need context.trackedObjects.

import { BoundFunction } from "./objects.mjs";
import { isPlainObject, toWire } from "./wire.mjs";
import { RequestError, quote } from "./executor-errors.mjs";

// Members the kernel may never name: internals of Office.js objects, the way
// out of the object model into JavaScript, and what the executor manages
// itself (tracking, syncing, the request context).
const DENIED = new Set([
  "constructor", "context", "prototype", "__proto__", "trackedObjects",
  "track", "untrack", "sync", "trace", "requestHeaders",
  "__defineGetter__", "__defineSetter__", "__lookupGetter__", "__lookupSetter__",
]);

/** @param {string} name */
export function isDenied(name) {
  return name === "" || name.startsWith("_") || name.startsWith("m_") || DENIED.has(name);
}

// Methods whose last parameter is an options object: keyword arguments from
// Python become that object's properties. Any other method refuses keywords,
// since JavaScript has no parameter names to match them against.
export const OPTIONS_PARAMETER = new Map([
  ["set", 0], ["load", 0],
  ["find", 1], ["findOrNullObject", 1], ["findAll", 1], ["findAllOrNullObject", 1],
  ["replaceAll", 2], ["insertWorksheetsFromBase64", 1], ["getSpecialCells", 1],
]);

// A Range's identity is its address, not a persistent id: outside the
// sequential run of one Excel.run batch it must be in context.trackedObjects
// to outlive the sync that sent it, and every tracked range slows Excel down.
// Worksheets, the workbook and collections keep their identity; objects that
// hang on a range (its format, font) live as long as the range is tracked.
//   https://learn.microsoft.com/javascript/api/office/officeextension.trackedobjects
//   https://learn.microsoft.com/office/dev/add-ins/excel/performance#untrack-unneeded-ranges
const TRACKED_CLASSES = ["Range", "RangeAreas"];

// Classes whose instances are handed out although they are not client
// objects: their names come from OfficeExtension, not from Excel.
const EXTENSION_CLASSES = ["EventHandlers", "EventHandlerResult", "ClientResult"];

/**
 * An object with behaviour of its own (a class instance), not plain data.
 * @param {unknown} value
 */
export function isLiveObject(value) {
  if (value === null || typeof value !== "object" || Array.isArray(value) || value instanceof Date || value instanceof Uint8Array) return false;
  const proto = Object.getPrototypeOf(value);
  return proto !== null && proto !== Object.prototype;
}

/**
 * @param {object} target @param {string} name
 * @returns {PropertyDescriptor|undefined} the member's descriptor on the object's class prototypes
 */
export function findMember(target, name) {
  for (let proto = Object.getPrototypeOf(target); proto !== null && proto !== Object.prototype && proto !== Function.prototype;
    proto = Object.getPrototypeOf(proto)) {
    const desc = Object.getOwnPropertyDescriptor(proto, name);
    if (desc !== undefined) return desc;
  }
  return undefined;
}

/** @typedef {"object" | "function" | "scalar" | "items" | "plain"} MemberKind */

export class Members {
  /** @param {any} Excel @param {any} OfficeExtension */
  constructor(Excel, OfficeExtension) {
    this.Excel = Excel;
    this.ClientObject = typeof OfficeExtension?.ClientObject === "function" ? OfficeExtension.ClientObject : null;
    this.ClientResult = typeof OfficeExtension?.ClientResult === "function" ? OfficeExtension.ClientResult : null;
    /** @type {Map<object, Map<string, MemberKind>>} prototype -> name -> kind */
    this.classes = new Map();
    // Type names by prototype, from the namespaces' own keys: minified
    // office.js mangles constructor names but not the namespace's members.
    /** @type {Map<object, string>} */
    this.names = new Map();
    for (const [space, keys] of [[Excel, Object.keys(Excel ?? {})], [OfficeExtension, EXTENSION_CLASSES]]) {
      for (const key of keys) {
        const value = space?.[key];
        if (typeof value === "function" && typeof value.prototype === "object" && value.prototype !== null) this.names.set(value.prototype, key);
      }
    }
    /** @type {Function[]} */
    this.tracked = TRACKED_CLASSES.map((name) => Excel?.[name]).filter((c) => typeof c === "function");
  }

  /** @param {unknown} obj @returns {boolean} */
  isClientObject(obj) {
    if (obj === null || typeof obj !== "object") return false;
    if (this.ClientObject !== null) return obj instanceof this.ClientObject;
    return typeof (/** @type {any} */ (obj).load) === "function" && "isNullObject" in obj && "context" in obj;
  }

  /** @param {unknown} obj */
  isClientResult(obj) {
    return this.ClientResult !== null && obj instanceof this.ClientResult;
  }

  /**
   * Whether the object must be in context.trackedObjects to outlive a sync.
   * @param {unknown} obj
   */
  needsTracking(obj) {
    return obj !== null && typeof obj === "object" && this.tracked.some((Class) => obj instanceof Class);
  }

  /**
   * The type name the kernel sees: the namespace's name of the object's class,
   * else Office.js's own _className, else the nearest named ancestor class.
   * @param {unknown} obj
   * @returns {string}
   */
  typeName(obj) {
    if (obj instanceof BoundFunction || typeof obj === "function") return "Function";
    if (obj === null || typeof obj !== "object") return "Object";
    let proto = Object.getPrototypeOf(obj);
    const exact = this.names.get(proto);
    if (exact !== undefined) return exact;
    let own;
    try {
      own = /** @type {any} */ (obj)._className;
    } catch {
      own = undefined;
    }
    if (typeof own === "string" && own !== "") return own;
    for (proto = proto && Object.getPrototypeOf(proto); proto !== null && proto !== Object.prototype; proto = Object.getPrototypeOf(proto)) {
      const name = this.names.get(proto);
      if (name !== undefined) return name;
    }
    return "Object";
  }

  /**
   * The property descriptor of an allowed member.
   * @param {object} target @param {string} name
   * @returns {PropertyDescriptor}
   */
  member(target, name) {
    if (isDenied(name)) throw new RequestError(`Refused: ${quote(name)} is not reachable from the kernel`);
    const found = findMember(target, name);
    if (found === undefined) throw new RequestError(`${this.typeName(target)} has no property ${quote(name)}`);
    return found;
  }

  /**
   * How obj[name] is answered; cached per (prototype, name) once settled.
   * @param {any} target @param {string} name
   * @returns {{kind: MemberKind, value?: unknown}}
   */
  classify(target, name) {
    const proto = Object.getPrototypeOf(target);
    let names = this.classes.get(proto);
    const cached = names?.get(name);
    if (cached !== undefined) return { kind: cached };
    const desc = this.member(target, name);
    const client = this.isClientObject(target);
    /** @type {MemberKind} */
    let kind;
    let value;
    if (client && name === "items") {
      kind = "items";
    } else if (typeof desc.value === "function") {
      kind = "function";
    } else {
      try {
        value = desc.get !== undefined ? desc.get.call(target) : desc.value;
      } catch (exc) {
        // An Office.js scalar throws PropertyNotLoaded until loaded; any
        // other failure surfaces again, attributed, at the sync.
        if (!client) throw exc;
        if (/** @type {any} */ (exc)?.code !== "PropertyNotLoaded") return { kind: "scalar" };
        value = undefined;
      }
      if (typeof value === "function") kind = "function";
      else if (this.isClientObject(value) || isLiveObject(value)) kind = "object";
      else kind = client ? "scalar" : "plain";
    }
    if (names === undefined) this.classes.set(proto, (names = new Map()));
    names.set(name, kind);
    return { kind, value };
  }

  /**
   * Every key of a set() properties object names a writable member (or a navigation, recursively).
   * @param {object} target @param {unknown} properties @param {string} label
   */
  checkSettable(target, properties, label, depth = 0) {
    if (!isPlainObject(properties)) return;
    for (const [key, value] of Object.entries(/** @type {object} */ (properties))) {
      const member = this.member(target, key);
      if (typeof member.set === "function") continue;
      const child = isPlainObject(value) && depth < 8 && typeof member.get === "function" ? member.get.call(target) : undefined;
      if (!this.isClientObject(child)) throw new RequestError(`${label}: ${this.typeName(target)}.${key} is read-only and cannot be set`);
      this.checkSettable(child, value, label, depth + 1);
    }
  }

  /**
   * Members of the Excel namespace: only its enumerations, as data.
   * @param {string} name
   */
  excelMember(name) {
    const value = !name.startsWith("_") && Object.hasOwn(this.Excel, name) ? this.Excel[name] : undefined;
    if (isPlainObject(value) && Object.values(value).every((v) => typeof v === "string" || typeof v === "number")) {
      return toWire(value);
    }
    throw new RequestError(`Refused: Excel.${name} is not reachable from the kernel (only enumerations such as Excel.ErrorCodes are)`);
  }
}
