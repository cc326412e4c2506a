// The request machinery of the Office.js double: proxies (ClientObject), the
// command queue, context.sync(), load, trace, trackedObjects, ClientResult and
// Excel.run. The Excel object model on top of it lives in excel.mjs.
//
// The rules, with the pages they come from:
// - Proxies and the queue. Property writes, method calls and load() only queue
//   commands; context.sync() sends the queue as one batch and runs it in order.
//   https://learn.microsoft.com/office/dev/add-ins/develop/application-specific-api-model
//   https://learn.microsoft.com/office/dev/add-ins/excel/excel-add-ins-core-concepts
// - Reading a scalar property that was neither loaded (and synced) nor set
//   locally throws PropertyNotLoaded at once; a ClientResult's value throws
//   ValueNotLoaded before the sync that fills it.
//   https://learn.microsoft.com/office/dev/add-ins/develop/application-specific-api-model#load
//   https://learn.microsoft.com/javascript/api/office/officeextension.clientresult
// - load() takes "a, b", ["a", "b"], {select, expand}, or nothing (every scalar);
//   "nav/prop" loads through a navigation property, "nav" alone all of its scalars;
//   on a collection, "items/prop" or "prop" loads the items' properties.
//   https://learn.microsoft.com/javascript/api/office/officeextension.clientobject (load)
//   https://learn.microsoft.com/office/dev/add-ins/develop/application-specific-api-model#load-the-properties-of-a-collection
// - A sync with nothing queued has no batch to send; the double resolves it at
//   once and counts it apart (emptySyncs), so that only syncs that did work count.
//   https://learn.microsoft.com/office/dev/add-ins/develop/application-specific-api-model#sync
// - A failing command stops the batch: commands before it stay applied (Excel
//   does not roll back), commands after it never run, and nothing the batch
//   loaded reaches the proxies. The error is an OfficeExtension.Error with code,
//   message, debugInfo.errorLocation/statement and traceMessages: the
//   context.trace() markers that ran before the failure.
//   https://learn.microsoft.com/office/dev/add-ins/testing/application-specific-api-error-handling
//   https://learn.microsoft.com/javascript/api/office/officeextension.error (traceMessages)
//   https://learn.microsoft.com/javascript/api/excel/excel.requestcontext#excel-excel-requestcontext-trace-member(1)
// - Objects used across syncs outside the sequential run of an Excel.run batch
//   must be in context.trackedObjects; a Range (whose identity is its address,
//   not a persistent id) that is not tracked is unusable after the sync that sent
//   it, and after its Excel.run ends: InvalidObjectPath, raised when the next
//   command on it is queued. trackedObjects.remove() takes effect at the next sync.
//   https://learn.microsoft.com/javascript/api/office/officeextension.trackedobjects
//   https://learn.microsoft.com/office/dev/add-ins/excel/excel-add-ins-advanced-concepts (tracked objects)
//   https://learn.microsoft.com/office/dev/add-ins/excel/performance#untrack-unneeded-ranges
// - *OrNullObject methods give proxies whose isNullObject is known after a sync.
//   https://learn.microsoft.com/office/dev/add-ins/develop/application-specific-api-model#ornullobject-methods-and-properties
// - Excel.run(batch), Excel.run(object|objects, batch), Excel.run({previousObjects}, batch);
//   the batch must return a promise (RunMustReturnPromise otherwise).
//   https://learn.microsoft.com/javascript/api/excel#excel-excel-run-function(1)
//   https://learn.microsoft.com/javascript/api/excel/excel.runoptions
// - Excel on the web caps request and response payloads at 5 MB
//   (RequestPayloadSizeLimitExceeded / ResponsePayloadSizeLimitExceeded).
//   https://learn.microsoft.com/office/dev/add-ins/concepts/resource-limits-and-performance-optimization#excel-add-ins
// Commands travel as JSON, so what a command carries is what JSON.stringify
// makes of it: a Date becomes its ISO text, NaN and Infinity become null.

import { HostError, OfficeExtensionError, clientError, localize } from "./errors.mjs";

/** The resolved target of a null object (from an *OrNullObject method). */
export const NULL_TARGET = Symbol("null object");

const jsonCopy = (value) => (value === undefined ? undefined : JSON.parse(JSON.stringify(value)));
const jsonSize = (value) => (value === undefined ? 0 : JSON.stringify(value).length);

/**
 * What a command carries of `value`: jsonCopy(value), made without the JSON
 * text where JSON would give the value back as it is. Grids of text,
 * booleans and finite numbers (the bulk of what add-ins write) are copied
 * row by row; NaN and the infinities become null, -0 becomes 0, as JSON
 * makes them; anything else takes the JSON road.
 */
function commandCopy(value) {
  if (!Array.isArray(value)) return typeof value === "object" && value !== null ? jsonCopy(value) : jsonScalar(value);
  const out = new Array(value.length);
  for (let i = 0; i < value.length; i++) {
    const item = value[i];
    out[i] = typeof item === "object" && item !== null ? commandCopy(item) : jsonScalar(item, true);
  }
  return out;
}

/** A primitive as JSON gives it back (inside an array, what JSON drops becomes null). */
function jsonScalar(value, inArray = false) {
  switch (typeof value) {
    case "string":
    case "boolean":
      return value;
    case "number":
      return Number.isFinite(value) ? value + 0 : null;
    case "undefined":
    case "function":
    case "symbol":
      return inArray ? null : undefined;
    default:
      return jsonCopy(value); // a bigint: JSON refuses it, as Office.js would
  }
}

// The longest JSON text of a finite number ("-0.0000012345678901234567").
const NUMBER_CHARS = 25;

/**
 * A bound on the JSON text length of `value`, no smaller than jsonSize(value):
 * numbers at their longest, every character of text escaped (\uXXXX).
 * Objects other than arrays are measured.
 */
function sizeBound(value) {
  switch (typeof value) {
    case "string": return 6 * value.length + 2;
    case "number": return NUMBER_CHARS;
    case "boolean": return 5;
    case "undefined": return 4; // 0 alone, "null" in an array
  }
  if (value === null) return 4;
  if (!Array.isArray(value)) return jsonSize(value);
  let n = 2 + value.length;
  for (let i = 0; i < value.length; i++) {
    const item = value[i];
    n += typeof item === "string" ? 6 * item.length + 2 : typeof item === "number" ? NUMBER_CHARS : sizeBound(item);
  }
  return n;
}

/**
 * Whether payloads (each taking `overhead` more) exceed `limit` once written
 * as JSON. The bound settles it for everything well below the limit; only
 * what may come near it is written out and measured.
 */
function exceeds(payloads, overhead, limit) {
  let bound = 0;
  for (const p of payloads) bound += sizeBound(p) + overhead;
  if (bound <= limit) return false;
  let size = 0;
  for (const p of payloads) size += jsonSize(p) + overhead;
  return size > limit;
}

/**
 * A primitive result of a method, readable after the sync that ran the method.
 * https://learn.microsoft.com/javascript/api/office/officeextension.clientresult
 */
export class ClientResult {
  constructor(language = "en-US") { this._loaded = false; this._value = undefined; this._language = language; }
  get value() {
    if (!this._loaded) throw clientError("ValueNotLoaded", localize(this._language, "ValueNotLoaded"));
    return this._value;
  }
}

/** Splits a load() argument into property paths ("a", "items/b", "nav/c"). */
function loadPaths(spec, language) {
  if (spec === undefined || spec === null) return [];
  if (typeof spec === "string") return spec.split(",").map((s) => s.trim()).filter(Boolean);
  if (Array.isArray(spec)) return spec.flatMap((s) => loadPaths(s, language));
  if (typeof spec === "object") {
    const select = loadPaths(spec.select, language);
    const expand = loadPaths(spec.expand, language);
    return [...select, ...expand];
  }
  throw clientError("InvalidArgument", localize(language, "InvalidArgument"), "ClientObject.load");
}

/**
 * Base of every proxy. Subclasses declare `static _props` (scalar properties:
 * name -> {get(target, host), set?(target, value, host)}) and define their
 * navigation properties and methods with the helpers below.
 * https://learn.microsoft.com/javascript/api/office/officeextension.clientobject
 */
export class ClientObject {
  constructor(context, parent, resolver, path, { volatile = false } = {}) {
    this._context = context;
    this._parent = parent;
    this._resolver = resolver;
    this._path = path;
    this._volatile = volatile;
    this._target = undefined;
    this._isNull = undefined;
    this._values = Object.create(null);
    this._tracked = false;
    this._invalid = false;
    this._scope = context._scopes.at(-1) ?? null;
    this._scope?.objects.add(this);
    this._navigations = Object.create(null);
  }

  get _className() { return this.constructor._className; }

  /** The request context this proxy belongs to. */
  get context() { return this._context; }

  /** True when an *OrNullObject method found nothing; known after a sync. */
  get isNullObject() {
    if (this._isNull === undefined) {
      throw clientError("PropertyNotLoaded", this._text("PropertyNotLoaded", "isNullObject"), `${this._className}.isNullObject`);
    }
    return this._isNull;
  }

  /**
   * Queues loading of the named properties; returns the object itself.
   * @param {string|string[]|{select?: string|string[], expand?: string|string[]}} [spec]
   */
  load(spec) {
    const paths = loadPaths(spec, this._context._language);
    const own = [];
    for (const path of paths) {
      const slash = path.indexOf("/");
      const head = slash < 0 ? path : path.slice(0, slash);
      if (slash >= 0 && head !== "items" && this._hasNavigation(head)) {
        this[head].load(path.slice(slash + 1));
      } else if (slash < 0 && this._hasNavigation(path)) {
        // A navigation property alone loads that object's scalar properties.
        this[path].load();
      } else {
        own.push(path);
      }
    }
    if (paths.length === 0 || own.length > 0) {
      this._queue({ kind: "load", paths: own, location: `${this._className}.load` });
    }
    return this;
  }

  /** Assigns several properties at once (each queues like a single assignment). */
  set(properties) {
    for (const [name, value] of Object.entries(properties ?? {})) this[name] = value;
  }

  /** The loaded properties as plain data. */
  toJSON() {
    const out = {};
    for (const [k, v] of Object.entries(this._values)) {
      out[k] = k === "items" ? v.map((item) => item.toJSON()) : v;
    }
    return out;
  }

  /** Same as context.trackedObjects.add(this). */
  track() { this._context.trackedObjects.add(this); return this; }

  /** Same as context.trackedObjects.remove(this). */
  untrack() { this._context.trackedObjects.remove(this); return this; }

  // --- helpers for subclasses ---

  _hasNavigation(name) {
    for (let proto = Object.getPrototypeOf(this); proto; proto = Object.getPrototypeOf(proto)) {
      const desc = Object.getOwnPropertyDescriptor(proto, name);
      if (desc) return Boolean(desc.get?._navigation);
    }
    return false;
  }

  /** Throws InvalidObjectPath when this proxy (or the path it hangs on) expired. */
  _assertUsable(location) {
    for (let obj = this; obj; obj = obj._parent) {
      if (obj._tracked) return;
      if (obj._invalid) throw clientError("InvalidObjectPath", this._text("InvalidObjectPath", obj._path), location);
    }
  }

  /** A message in the display language of this proxy's double. */
  _text(key, ...args) { return localize(this._context._language, key, ...args); }

  _queue(action) {
    this._assertUsable(action.location);
    this._context._enqueue({ object: this, ...action });
  }

  /** A navigation child, made once per proxy, no round trip. */
  _navigation(name, make) {
    return (this._navigations[name] ??= make());
  }

  /** An object-returning method: a proxy now, the lookup (and its errors) at the next sync. */
  _method(Class, name, args, resolver, options) {
    this._assertUsable(`${this._className}.${name}`);
    const child = new Class(this._context, this, resolver, `${this._path}.${name}(${args.map((a) => JSON.stringify(a)).join(", ")})`, options);
    this._context._enqueue({ object: child, kind: "instantiate", location: `${this._className}.${name}`, payload: args });
    return child;
  }

  /** A method returning a primitive: a ClientResult filled by the next sync. */
  _result(name, args, run) {
    const result = new ClientResult(this._context._language);
    this._queue({ kind: "call", location: `${this._className}.${name}`, payload: args, run, result });
    return result;
  }

  /** A method returning nothing: queued. */
  _void(name, args, run) {
    this._queue({ kind: "call", location: `${this._className}.${name}`, payload: args, run });
  }
}

/**
 * Defines scalar property accessors on a proxy class from its `static _props`;
 * a collection (`static _collection = {list(target, host), Item}`) also gets
 * `items`, readable after load() and a sync.
 */
export function defineScalars(Class) {
  if (Class._collection) {
    Object.defineProperty(Class.prototype, "items", {
      configurable: true,
      enumerable: true,
      get() {
        if ("items" in this._values) return this._values.items;
        throw clientError("PropertyNotLoaded", this._text("PropertyNotLoaded", "items"), `${Class._className}.items`);
      },
    });
  }
  for (const [name, spec] of Object.entries(Class._props)) {
    const desc = {
      configurable: true,
      enumerable: true,
      get() {
        if (name in this._values) return this._values[name];
        if (this._isNull === true) return null;
        throw clientError("PropertyNotLoaded", this._text("PropertyNotLoaded", name), `${Class._className}.${name}`);
      },
    };
    if (spec.set) {
      desc.set = function set(value) {
        this._queue({ kind: "set", name, value: commandCopy(value), location: `${Class._className}.${name}`, payload: value });
        // The proxy keeps what was assigned, as Office.js does: reading it back
        // before a load gives the assigned value, not Excel's.
        this._values[name] = value;
      };
    }
    Object.defineProperty(Class.prototype, name, desc);
  }
}

/** Defines a navigation property: a child proxy at once, cached per proxy. */
export function defineNavigation(Class, name, make) {
  const get = function get() { return this._navigation(name, () => make(this)); };
  get._navigation = true;
  Object.defineProperty(Class.prototype, name, { configurable: true, enumerable: true, get });
}

/**
 * context.trackedObjects.
 * https://learn.microsoft.com/javascript/api/office/officeextension.trackedobjects
 */
export class TrackedObjects {
  constructor(context) { this._context = context; }

  /** Tracks an object (or an array of them) across syncs. */
  add(objects) {
    for (const obj of [objects].flat()) {
      checkObject(obj, this._context, "TrackedObjects.add");
      obj._assertUsable("TrackedObjects.add");
      obj._tracked = true;
      this._context._enqueue({ object: obj, kind: "track", location: "TrackedObjects.add" });
    }
  }

  /** Releases tracked objects at the next sync. */
  remove(objects) {
    for (const obj of [objects].flat()) {
      checkObject(obj, this._context, "TrackedObjects.remove");
      this._context._enqueue({ object: obj, kind: "untrack", location: "TrackedObjects.remove" });
    }
  }
}

function checkObject(obj, context, location) {
  if (!(obj instanceof ClientObject)) throw clientError("InvalidArgument", localize(context._language, "InvalidArgument"), location);
  if (obj._context !== context) throw clientError("InvalidRequestContext", localize(context._language, "InvalidRequestContext"), location);
}

/**
 * The request context of one double. `env` carries the workbook model, the
 * counters, the faults and the event registrations shared by every context.
 * https://learn.microsoft.com/javascript/api/excel/excel.requestcontext
 */
export class RequestContextBase {
  constructor(env) {
    this._env = env;
    this._pending = [];
    this._scopes = [];
    this._chain = Promise.resolve();
    this.trackedObjects = new TrackedObjects(this);
  }

  get _language() { return this._env.language ?? "en-US"; }

  /** Same as object.load(spec). */
  load(object, spec) {
    checkObject(object, this, "RequestContext.load");
    return object.load(spec);
  }

  /** Queues a marker that a failing batch reports in traceMessages when it ran. */
  trace(message) {
    this._enqueue({ object: null, kind: "trace", message: String(message), location: "RequestContext.trace", payload: String(message) });
  }

  /**
   * Sends the queued commands as one batch; resolves with passThroughValue.
   * @template T @param {T} [passThroughValue] @returns {Promise<T>}
   */
  sync(passThroughValue) {
    const env = this._env;
    const actions = this._pending;
    this._pending = [];
    if (actions.length === 0) {
      env.counters.emptySyncs += 1;
      return Promise.resolve(passThroughValue);
    }
    env.counters.syncs += 1;
    env.counters.commands += actions.length;
    if (env.faults.hangSync) {
      // The batch never comes back: the promise stays pending and nothing runs.
      env.counters.hungSyncs += 1;
      return new Promise(() => {});
    }
    const latency = Number(env.faults.latencyMs) || 0;
    const done = this._chain.then(async () => {
      await (latency > 0 ? new Promise((r) => setTimeout(r, latency)) : null);
      if (env.faults.cellEditMode) throw cellEditRejection(env, actions);
      runBatch(this, actions);
      return passThroughValue;
    });
    this._chain = done.catch(() => {});
    return done;
  }

  _enqueue(action) { this._pending.push(action); }
}

/**
 * While the user edits a cell, Excel refuses every batch (RunOptions.delayForCellEdit
 * is false by default): nothing of it runs, and the sync fails with
 * InvalidOperationInCellEditMode.
 * https://learn.microsoft.com/javascript/api/excel/excel.runoptions#excel-excel-runoptions-delayforcelledit-member
 * https://learn.microsoft.com/office/dev/add-ins/reference/javascript-api-for-office-error-codes (Excel-specific error codes)
 */
function cellEditRejection(env, actions) {
  env.counters.cellEditRejections += 1;
  const code = "InvalidOperationInCellEditMode";
  return new OfficeExtensionError(code, localize(env.language, code),
  { errorLocation: "", statement: "", surroundingStatements: [], fullStatements: actions.map(statement) }, []);
}

// --------------------------------------------------------------------------
// Running one batch on the "host".

function statement(action) {
  const where = action.object ? action.object._path : "context";
  switch (action.kind) {
    case "set": return `${where}.${action.name} = ...;`;
    case "load": return `${where}.load(${JSON.stringify(action.paths.join(","))});`;
    case "trace": return `context.trace(${JSON.stringify(action.message)});`;
    case "track": return `context.trackedObjects.add(${where});`;
    case "untrack": return `context.trackedObjects.remove(${where});`;
    default: return `${where};`;
  }
}

/** Resolves a proxy's target (and its parents') on the host; caches it. */
function resolve(obj, host) {
  if (obj._target !== undefined) return obj._target;
  const parentTarget = obj._parent ? resolve(obj._parent, host) : host.root;
  const target = parentTarget === NULL_TARGET ? NULL_TARGET : obj._resolver(parentTarget, host);
  obj._target = target;
  // Whether the lookup found something is part of the object's identity from
  // now on (a later batch re-using the proxy does not look it up again).
  obj._isNull = target === NULL_TARGET;
  return target;
}

function runBatch(context, actions) {
  const env = context._env;
  const limit = env.faults.payloadLimitBytes;
  const fullStatements = actions.map(statement);
  const fail = (code, message, index, location, traces) => {
    const error = new OfficeExtensionError(code, message, {
      errorLocation: location,
      statement: fullStatements[index],
      surroundingStatements: fullStatements.slice(Math.max(0, index - 2), index + 3),
      fullStatements,
    }, traces);
    return error;
  };

  if (limit && exceeds(actions.map((a) => a.payload), 64, limit)) {
    throw fail("RequestPayloadSizeLimitExceeded", localize(env.language, "RequestPayloadSizeLimitExceeded"), 0, "", []);
  }

  // What the batch answers with, for the response's size.
  const host = { root: env.model, env, changes: [], touched: new Set(), untracked: new Set(), responses: [] };
  host.resolve = (obj) => resolve(obj, host);
  const apply = [];
  const traces = [];
  let failure = null;
  for (let i = 0; i < actions.length && !failure; i++) {
    const action = actions[i];
    try {
      runAction(action, host, apply, traces);
    } catch (err) {
      if (!(err instanceof HostError)) throw err;
      failure = fail(err.code, err.text(env.language), i, action.location, [...traces]);
    }
  }
  if (!failure && limit && exceeds(host.responses, 0, limit)) {
    failure = fail("ResponsePayloadSizeLimitExceeded", localize(env.language, "ResponsePayloadSizeLimitExceeded"), actions.length - 1, "", [...traces]);
  }
  if (!failure) for (const fn of apply) fn();
  expire(context, host);
  env.dispatch(host.changes);
  if (failure) throw failure;
}

function runAction(action, host, apply, traces) {
  const obj = action.object;
  if (action.kind === "trace") { traces.push(action.message); return; }
  if (action.kind === "host") { action.run(host); return; }
  const target = resolve(obj, host);
  host.touched.add(obj);
  switch (action.kind) {
    case "instantiate":
      return;
    // Tracking changes on the host in batch order: a remove followed by an
    // add of the same object in one batch leaves it tracked.
    case "track":
      obj._tracked = true;
      host.env.tracked.add(obj);
      return;
    case "untrack":
      obj._tracked = false;
      host.untracked.add(obj);
      host.env.tracked.delete(obj);
      return;
    case "set": {
      if (target === NULL_TARGET) throw new HostError("ItemNotFound");
      obj.constructor._props[action.name].set(target, action.value, host);
      return;
    }
    case "call": {
      if (target === NULL_TARGET) throw new HostError("ItemNotFound");
      const value = action.run(target, host);
      if (action.result) {
        host.responses.push(value);
        apply.push(() => { action.result._value = value; action.result._loaded = true; });
      }
      return;
    }
    case "load":
      return load(obj, target, action.paths, host, apply);
    default:
      throw new Error(`unknown action ${action.kind}`);
  }
}

function load(obj, target, paths, host, apply) {
  const Class = obj.constructor;
  if (Class._collection) {
    // A collection loads its items: "items", "items/prop", or "prop" alone,
    // which names a property of every item (collection.load("name")).
    // https://learn.microsoft.com/office/dev/add-ins/develop/application-specific-api-model#load-the-properties-of-a-collection
    const sub = [];
    for (const path of paths) {
      if (path === "items") continue;
      sub.push(path.startsWith("items/") ? path.slice(6) : path);
    }
    if (target === NULL_TARGET) return;
    const { list, Item } = Class._collection;
    const items = list(target, host).map((entry, i) => {
      // An item is known by its place in the loaded collection, already resolved.
      const item = new Item(obj._context, obj, () => entry, `${obj._path}.items[${i}]`);
      item._target = entry;
      item._isNull = false;
      return item;
    });
    for (const item of items) load(item, item._target, sub, host, apply);
    apply.push(() => { obj._values.items = items; });
    return;
  }
  const names = paths.length ? paths : Object.keys(Class._props);
  const loaded = {};
  for (const name of names) {
    const prop = Class._props[name];
    if (!prop) throw new HostError("InvalidArgument", "NoSuchProperty", [name, Class._className]);
    loaded[name] = target === NULL_TARGET ? null : prop.get(target, host);
    host.responses.push(loaded[name]);
  }
  apply.push(() => Object.assign(obj._values, loaded));
}

/** Ranges nobody tracks expire after the sync that sent them (outside Excel.run). */
function expire(context, host) {
  for (const obj of new Set([...host.touched, ...host.untracked])) {
    if (obj._volatile && !obj._tracked && obj._scope === null) obj._invalid = true;
  }
}

/**
 * Excel.run in its documented forms.
 * @param {Function} RequestContext the double's RequestContext class
 * @param {any[]} args (batch) | (object|objects|context|{previousObjects}, batch)
 */
export async function run(RequestContext, args) {
  const batch = args.at(-1);
  const context = contextOf(args.length > 1 ? args[0] : undefined) ?? new RequestContext();
  if (typeof batch !== "function") throw clientError("InvalidArgument", localize(context._language, "InvalidArgument"), "Excel.run");
  const scope = { objects: new Set() };
  context._scopes.push(scope);
  try {
    const out = batch(context);
    if (!out || typeof out.then !== "function") {
      throw clientError("RunMustReturnPromise", localize(context._language, "RunMustReturnPromise"), "Excel.run");
    }
    const value = await out;
    // Whatever the batch left queued goes out before the run ends.
    await context.sync();
    return value;
  } finally {
    context._scopes.splice(context._scopes.indexOf(scope), 1);
    const outer = context._scopes.at(-1) ?? null;
    for (const obj of scope.objects) {
      if (obj._volatile && !obj._tracked) obj._invalid = true;
      obj._scope = outer;
      outer?.objects.add(obj);
    }
  }
}

function contextOf(first) {
  if (first === undefined || first === null) return null;
  if (first instanceof RequestContextBase) return first;
  if (first instanceof ClientObject) return first._context;
  if (Array.isArray(first)) return first.length ? contextOf(first[0]) : null;
  if (typeof first === "object" && "previousObjects" in first) return contextOf(first.previousObjects);
  return null;
}
