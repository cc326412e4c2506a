// executor-planning.mjs — one request made into Office.js actions.
//
// A plan either answers without a sync ({sync: false, finish}) or queues its
// actions after calling mark() and answers after the sync ({sync: true,
// finish, effectOnly, pure}). Planning checks everything it can before
// queuing, so a refused request leaves nothing behind.
//
// An object-returning lookup (getItem, getRange, getCell...) is answered at
// once, as a reference, without a sync of its own: its lookup rides on the
// next sync, marked, and when it fails there the object is "broken" and every
// later use of it fails with the call named ("getItem('Nope'): ItemNotFound: ...").

import { BoundFunction } from "./objects.mjs";
import { ARG, ID, METHOD, NULL } from "./protocol.mjs";
import { WireError, cellsFromWire, fromWire, toCellValue } from "./wire.mjs";
import { RequestError, callText, quote } from "./executor-errors.mjs";
import { OPTIONS_PARAMETER, findMember, isDenied, isLiveObject } from "./executor-members.mjs";

/**
 * @typedef {object} Plan
 * @property {boolean} sync              whether the answer waits for a sync
 * @property {() => object} finish       the answer (a wire value, or a WireText); may throw
 * @property {boolean} [effectOnly]      its answer needs no data from the sync (a write, a call)
 * @property {boolean} [pure]            it only reads: running it twice changes nothing
 * @property {{obj: object, label: string}} [deferred]  an object whose lookup rides on the next sync
 * @property {object} [tracked]          a result tracked before its sync (forgotten if the request fails)
 */

/**
 * @typedef {object} Req
 * @property {any} frame
 * @property {boolean} alone
 * @property {boolean} [answered]
 * @property {unknown} [error]          a refusal found while preparing
 * @property {any} [target]
 * @property {unknown} [value]
 * @property {unknown[]} [args]
 * @property {object[]} used           live objects the request names
 * @property {boolean} [retriedBlind]
 */

// Range properties written as grids of cells. The bridge's None empties a
// cell; Office.js reads null in a written grid as "leave this cell as it is"
// and "" as "clear it", so a None becomes "": otherwise old contents would
// survive a write that reports success.
const GRID_PROPERTIES = new Set(["values", "formulas", "formulasLocal", "formulasR1C1", "numberFormat", "numberFormatLocal"]);

/**
 * The grid with every null as "", copied only where it holds one.
 * @param {unknown} value
 * @returns {unknown}
 */
function emptyForNull(value) {
  if (value === null) return "";
  if (!Array.isArray(value)) return value;
  let out = value;
  for (let i = 0; i < value.length; i++) {
    const item = value[i];
    const fixed = item === null ? "" : Array.isArray(item) ? emptyForNull(item) : item;
    if (fixed === item) continue;
    if (out === value) out = value.slice();
    out[i] = fixed;
  }
  return out;
}

/** @param {object} result @returns {Plan} */
const now = (result) => ({ sync: false, finish: () => result });

/**
 * Resolve the ids a request names and decode its values.
 * @param {import("./executor.mjs").Executor} ex @param {Req} req
 */
export function prepare(ex, req) {
  const { method, caller, name } = req.frame;
  const target = (req.target = resolveCaller(ex, caller));
  req.used.push(target instanceof BoundFunction ? target.target : target);
  if (method === METHOD.SET) {
    // A grid of plain values (the common write) is made into cells in one pass.
    req.value = cellsFromWire(req.frame.value) ?? toCellValue(decode(ex, req.frame.value, name, req.used));
  } else if (method === METHOD.CALL) {
    if (target === ex.getSettingFn) {
      req.args = callArguments(ex, req.frame.args, "GetSetting", undefined, req.used);
    } else if (target instanceof BoundFunction) {
      const label = `${ex.members.typeName(target.target)}.${target.name}()`;
      req.args = callArguments(ex, req.frame.args, label, OPTIONS_PARAMETER.get(target.name), req.used).map(toCellValue);
      // set() assigns every key it is given: the keys pass the same
      // allow-list as a SET would.
      if (target.name === "set" && ex.members.isClientObject(target.target)) ex.members.checkSettable(target.target, req.args[0], label);
    } else {
      throw new RequestError(`${ex.members.typeName(target)} is not a function`);
    }
  }
}

/**
 * Queue the request's actions (or answer it at once).
 * @param {import("./executor.mjs").Executor} ex @param {Req} req @param {() => void} mark
 * @returns {Plan}
 */
export function plan(ex, req, mark) {
  if (req.error !== undefined) throw req.error;
  // A lookup that failed at a sync since the request was prepared.
  for (const obj of req.used) {
    const broken = ex.brokenMessage(obj);
    if (broken !== undefined) throw new RequestError(broken);
  }
  const { method, name } = req.frame;
  const target = req.target;
  switch (method) {
    case METHOD.GET:
      return planGet(ex, target, name, mark);
    case METHOD.SET:
      return planSet(ex, target, name, req.value, mark);
    case METHOD.GETITEM:
      return planGetItem(ex, target, name, mark);
    case METHOD.CALL:
      return planCall(ex, target, /** @type {unknown[]} */ (req.args), mark);
  }
  throw new RequestError(`Unknown method ${method}`);
}

/**
 * @param {import("./executor.mjs").Executor} ex @param {number} id
 * @returns {any}
 */
function resolveCaller(ex, id) {
  if (id === ID.SNAPSHOT) {
    throw new RequestError("Arrays and dicts from the add-in are copies; index them in Python (they have no remote object)");
  }
  const target = /** @type {any} */ (ex.table.get(id));
  if (target === undefined) throw new RequestError(`Unknown object id ${id} (released, or never sent)`);
  const broken = ex.brokenMessage(target instanceof BoundFunction ? target.target : target);
  if (broken !== undefined) throw new RequestError(broken);
  return target;
}

/**
 * @param {import("./executor.mjs").Executor} ex @param {any} target @param {string} name @param {() => void} mark
 * @returns {Plan}
 */
function planGet(ex, target, name, mark) {
  if (target === ex.Excel) return now(ex.members.excelMember(name));
  if (target instanceof BoundFunction || target === ex.getSettingFn) {
    throw new RequestError(`A function has no property ${quote(name)}`);
  }
  if (name === "isNullObject" && ex.members.isClientObject(target)) return planIsNull(ex, target, mark);
  const kind = ex.members.classify(target, name);
  switch (kind.kind) {
    case "object":
      return now(ex.reference(kind.value ?? target[name], target));
    case "function":
      return now(ex.reference(new BoundFunction(target, name), target));
    case "plain":
      return now(ex.answer(target[name]));
    case "items":
      mark();
      target.load("items");
      return { sync: true, pure: true, finish: () => ex.answer(target.items, target) };
    case "scalar":
      mark();
      target.load(name);
      return { sync: true, pure: true, finish: () => ex.answer(target[name]) };
  }
  throw new RequestError(`${ex.members.typeName(target)} has no property ${quote(name)}`);
}

// isNullObject is known after any sync that looked the object up (it cannot
// be loaded). One that no sync has reached yet is named by a track and an
// untrack in one batch, which leaves its tracking as it was.
/**
 * @param {import("./executor.mjs").Executor} ex @param {any} target @param {() => void} mark
 * @returns {Plan}
 */
function planIsNull(ex, target, mark) {
  try {
    return now(ex.answer(target.isNullObject));
  } catch {
    mark();
    if (!ex.table.tracked.has(target)) {
      ex.context.trackedObjects.add(target);
      ex.context.trackedObjects.remove(target);
    }
    return { sync: true, pure: true, finish: () => ex.answer(target.isNullObject) };
  }
}

/**
 * @param {import("./executor.mjs").Executor} ex @param {any} target @param {string} name @param {unknown} value
 * @param {() => void} mark
 * @returns {Plan}
 */
function planSet(ex, target, name, value, mark) {
  const typeName = ex.members.typeName(target);
  if (!ex.members.isClientObject(target)) throw new RequestError(`${typeName}.${name} cannot be set`);
  const member = ex.members.member(target, name);
  if (typeof member.set !== "function") throw new RequestError(`${typeName}.${name} is read-only and cannot be set`);
  mark();
  target[name] = GRID_PROPERTIES.has(name) ? emptyForNull(value) : value;
  return { sync: true, effectOnly: true, finish: () => NULL };
}

/**
 * @param {import("./executor.mjs").Executor} ex @param {any} target @param {string} index @param {() => void} mark
 * @returns {Plan}
 */
function planGetItem(ex, target, index, mark) {
  const pick = parseIndex(index);
  if (Array.isArray(target)) return now(ex.answer(pick(target), null));
  if (!ex.members.isClientObject(target) || findMember(target, "items") === undefined) {
    throw new RequestError(`${ex.members.typeName(target)} cannot be indexed`);
  }
  mark();
  target.load("items");
  return { sync: true, pure: true, finish: () => ex.answer(pick(target.items), target) };
}

/**
 * @param {import("./executor.mjs").Executor} ex @param {any} target @param {unknown[]} args @param {() => void} mark
 * @returns {Plan}
 */
function planCall(ex, target, args, mark) {
  if (target === ex.getSettingFn) {
    if (args.length !== 1) throw new RequestError("GetSetting takes one argument, the setting's name");
    return now(ex.answer(ex.getSettingFn(args[0])));
  }
  const { target: obj, name } = /** @type {BoundFunction} */ (target);
  const members = ex.members;
  mark();
  const result = /** @type {any} */ (obj)[name](...args);
  if (result === undefined) {
    const removes = name === "remove";
    return { sync: true, effectOnly: true, finish: () => {
      if (removes) ex.callbacks.removed(obj, args[0]);
      return NULL;
    } };
  }
  if (result !== null && typeof result.then === "function") {
    throw new RequestError(`${members.typeName(obj)}.${name}() is asynchronous, which the add-in does not support`);
  }
  if (members.isClientResult(result)) {
    return { sync: true, finish: () => ex.answer(result.value) };
  }
  if (members.isClientObject(result)) {
    ex.origins.set(result, obj);
    if (name.startsWith("get")) {
      // A lookup: answered now, it runs at the next sync (see the top of this file).
      return { sync: false, deferred: { obj: result, label: callText(name, args) }, finish: () => ex.reference(result, obj) };
    }
    // Anything else (add, insert, copy...) acts on the workbook: its request
    // waits for the sync, so that its failure is its own. A range made here
    // is tracked before that sync, or it would expire with it.
    const tracked = members.needsTracking(result) && !ex.table.tracked.has(result) ? result : undefined;
    if (tracked !== undefined) {
      ex.context.trackedObjects.add(tracked);
      ex.table.markTracked(tracked);
    }
    return { sync: true, effectOnly: true, tracked, finish: () => ex.reference(result, obj) };
  }
  if (isLiveObject(result)) {
    const registers = name === "add" && members.typeName(result) === "EventHandlerResult";
    return { sync: true, effectOnly: true, finish: () => {
      if (registers) ex.callbacks.registered(result, obj, args[0]);
      return ex.reference(result, obj);
    } };
  }
  return now(ex.answer(result));
}

/**
 * CALL arguments: PLACED in order; NAMED ones become the options object of
 * the methods that take one.
 * @param {import("./executor.mjs").Executor} ex @param {any[]} rawArgs @param {string} label
 * @param {number|undefined} optionsAt @param {object[]} used
 */
function callArguments(ex, rawArgs, label, optionsAt, used) {
  /** @type {unknown[]} */
  const placed = [];
  /** @type {Record<string, unknown>|null} */
  let named = null;
  rawArgs.forEach((arg, i) => {
    const value = decode(ex, arg.value, `argument ${i + 1}`, used);
    if (arg.arg_type === ARG.PLACED) {
      if (named !== null) throw new RequestError(`${label}: positional argument after a keyword argument`);
      placed.push(value);
    } else {
      if (isDenied(arg.name)) throw new RequestError(`${label}: refused keyword ${quote(arg.name)}`);
      named ??= {};
      Object.defineProperty(named, arg.name, { value, enumerable: true, writable: true, configurable: true });
    }
  });
  if (named === null) return placed;
  if (optionsAt === undefined) {
    throw new RequestError(`${label} takes no keyword arguments: JavaScript methods have no parameter names; pass the arguments by position`);
  }
  if (placed.length > optionsAt) {
    throw new RequestError(`${label}: the options object is given both by position and by keyword`);
  }
  while (placed.length < optionsAt) placed.push(undefined);
  placed.push(named);
  return placed;
}

/**
 * A wire value from the kernel; references resolve from the table.
 * @param {import("./executor.mjs").Executor} ex @param {unknown} wire @param {string} where @param {object[]} [used]
 * @returns {unknown}
 */
export function decode(ex, wire, where, used) {
  return fromWire(wire, {
    resolve: (id, type) => {
      const value = id === ID.SNAPSHOT ? undefined : ex.table.get(id);
      if (value === undefined) throw new WireError(`${where}: unknown object id ${id} (${type})`);
      if (value === ex.Excel || value === ex.getSettingFn || value instanceof BoundFunction) {
        throw new WireError(`${where}: a ${type} reference cannot be passed to Office.js`);
      }
      const broken = ex.brokenMessage(/** @type {object} */ (value));
      if (broken !== undefined) throw new RequestError(`${where}: ${broken}`);
      used?.push(/** @type {object} */ (value));
      return value;
    },
    callable: (callableId) => ex.callbacks.function(callableId),
  }, where);
}

/**
 * Python-style index text ("3", "-1", "1:3:", "::2") -> a picker over a list.
 * @param {string} text @returns {(list: any[]) => any}
 */
export function parseIndex(text) {
  if (/^-?\d{1,15}$/.test(text)) {
    const i = Number(text);
    return (list) => {
      const at = i < 0 ? list.length + i : i;
      if (at < 0 || at >= list.length) throw new RequestError(`Index ${i} out of range (length ${list.length})`);
      return list[at];
    };
  }
  const m = /^(-?\d{0,15}):(-?\d{0,15}):(-?\d{0,15})$/.exec(text);
  if (m === null) throw new RequestError(`Invalid index ${JSON.stringify(text)}`);
  const [start, stop, step] = m.slice(1).map((p) => (p === "" ? null : Number(p)));
  if (step === 0) throw new RequestError("slice step cannot be zero");
  return (list) => slice(list, start, stop, step ?? 1);
}

/** @param {any[]} list @param {number|null} start @param {number|null} stop @param {number} step */
function slice(list, start, stop, step) {
  const n = list.length;
  /** @param {number|null} v @param {number} dflt @param {number} lo @param {number} hi */
  const clamp = (v, dflt, lo, hi) => (v === null ? dflt : Math.min(Math.max(v < 0 ? v + n : v, lo), hi));
  const out = [];
  if (step > 0) {
    for (let i = clamp(start, 0, 0, n), end = clamp(stop, n, 0, n); i < end; i += step) out.push(list[i]);
  } else {
    for (let i = clamp(start, n - 1, -1, n - 1), end = clamp(stop, -1, -1, n - 1); i > end; i += step) out.push(list[i]);
  }
  return out;
}
