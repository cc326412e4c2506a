// executor.mjs — performs the kernel's requests on the Office.js object model.
//
// Owns the one long-lived RequestContext, the object table, the member-name
// allow-list, and the batching of requests into as few context.sync() calls
// as the answers allow. A sync can cost hundreds of milliseconds in Excel on
// the web, so the count of syncs, not of requests, is what this module keeps
// low:
//   - a navigation property (workbook, worksheets, range.format) or a method
//     reference is answered at once, without a sync;
//   - a scalar property is loaded, a method is called, a value is assigned,
//     and all requests that arrived together share one sync;
//   - an object returned by a method is answered after that sync, so an
//     invalid getItem("no such sheet") fails on its own request.
// Each request's actions are preceded by a trace marker; when a shared sync
// fails, the markers that ran name the request that caused it. That request
// gets the error, the ones after it never ran and are planned again, and the
// reads before it (whose data a failed sync does not deliver) are repeated.

import { BoundFunction, ObjectTable, ROOT_CONTEXT, ROOT_EXCEL, ROOT_GET_SETTING } from "./objects.mjs";
import { SNAPSHOT_ID, WireError, fromWire, isPlainObject, toCellValue, toWire } from "./wire.mjs";

const NULL = Object.freeze({ type: "Null", value: null, isSpec: false });

// Members the kernel may never name: internals of Office.js objects, the way
// out of the object model into JavaScript, and what this executor manages
// itself (tracking, syncing, the request context).
const DENIED = new Set([
  "constructor", "context", "prototype", "__proto__", "trackedObjects",
  "track", "untrack", "sync", "trace", "requestHeaders",
  "__defineGetter__", "__defineSetter__", "__lookupGetter__", "__lookupSetter__",
]);

// Methods whose last parameter is an options object: keyword arguments from
// Python become that object's properties. Any other method refuses keywords,
// since JavaScript has no parameter names to match them against.
const OPTIONS_PARAMETER = new Map([
  ["set", 0], ["load", 0],
  ["find", 1], ["findOrNullObject", 1], ["findAll", 1], ["findAllOrNullObject", 1],
  ["replaceAll", 2], ["insertWorksheetsFromBase64", 1], ["getSpecialCells", 1],
]);

// Range properties written as grids of cells. The bridge's None empties a
// cell (as the simulated add-in does); Office.js reads null in a written grid
// as "leave this cell as it is" and "" as "clear it", so a None becomes "":
// otherwise old contents would survive a write that reports success.
const GRID_PROPERTIES = new Set(["values", "formulas", "formulasLocal", "formulasR1C1", "numberFormat", "numberFormatLocal"]);

function emptyForNull(value) {
  if (value === null) return "";
  return Array.isArray(value) ? value.map(emptyForNull) : value;
}

const PAYLOAD_CODES = new Set(["RequestPayloadSizeLimitExceeded", "ResponsePayloadSizeLimitExceeded"]);

/** A refusal or failure answered to the kernel as the request's error. */
export class RequestError extends Error {
  constructor(message) {
    super(message);
    this.name = "RequestError";
  }
}

class HangError extends Error {}

const nextTick = typeof setImmediate === "function" ? setImmediate : (fn) => setTimeout(fn, 0);

/**
 * @typedef {object} ExecutorOptions
 * @property {any} Excel                       the Excel namespace (office.js or the double)
 * @property {any} OfficeExtension             the OfficeExtension namespace
 * @property {(name: string) => unknown} getSetting
 * @property {(text: string) => void} [send]   sends one frame to the kernel (set by the transport)
 * @property {number} [watchdogMs]             a sync that takes longer fails its requests
 * @property {() => void} [onHang]             asked to reconnect after a hung sync
 * @property {number} [maxResponseChars]       the kernel's frame limit; larger answers become errors
 * @property {number} [callbackTimeoutMs]      how long a JS caller of a Python callback waits
 * @property {() => object} [extraDiagnostics]  more counters for diag_result (the transport's)
 */

export class Executor {
  /** @param {ExecutorOptions} options */
  constructor({ Excel, OfficeExtension, getSetting, send = () => {}, watchdogMs = 20_000, onHang = () => {},
                maxResponseChars = 8 * 2 ** 20, callbackTimeoutMs = 60_000, extraDiagnostics = () => ({}) }) {
    this.Excel = Excel;
    this.OfficeExtension = OfficeExtension;
    this.send = send;
    this.watchdogMs = watchdogMs;
    this.onHang = onHang;
    this.maxResponseChars = maxResponseChars;
    this.callbackTimeoutMs = callbackTimeoutMs;
    this.extraDiagnostics = extraDiagnostics;
    this.getSettingFn = getSetting;
    this.classes = new Map(); // prototype -> Map(name -> "object" | "function" | "scalar" | "items")
    this.pending = [];        // requests and releases, in arrival order
    this.running = false;
    this.scheduled = false;
    this.batchSeq = 0;
    this.callSeq = 0;
    this.callbacks = new Map(); // callId -> {resolve, timer}
    this.callbackLog = [];
    this.stats = {
      requests: {}, releaseFrames: 0, released: 0, syncs: 0, batches: 0, batchSizes: {}, maxBatch: 0, retried: 0, errors: 0, hangs: 0,
      callbacks: { sent: 0, ok: 0, failed: 0 }, handlers: 0, sessions: 0,
    };
    this.table = new ObjectTable((obj) => this.isClientObject(obj));
    this.newContext();
  }

  // -------------------------------------------------------------------------
  // sessions and frames

  newContext() {
    this.context = new this.Excel.RequestContext();
    this.table.forgetTracking();
    this.table.pin(ROOT_CONTEXT, this.context);
    this.table.pin(ROOT_EXCEL, this.Excel);
    this.table.pin(ROOT_GET_SETTING, this.getSettingFn);
  }

  /** A new connection: the kernel's proxies of the last one are stale, so their objects go. */
  newSession() {
    this.stats.sessions += 1;
    this.pending.length = 0;
    this.table.newSession();
    for (const { resolve, timer } of this.callbacks.values()) {
      clearTimeout(timer);
      resolve(undefined);
    }
    this.callbacks.clear();
  }

  /**
   * Handle one frame that passed the transport's checks (wire.parseFrame).
   * @param {object} frame
   */
  handleFrame(frame) {
    switch (frame.kind) {
      case "request":
        this.count(frame.method);
        if (frame.method === "DEL") {
          // An older kernel still sends DEL as a request: one release, answered.
          this.enqueue({ release: [frame.caller] });
          this.respond(frame.requestId, { ok: true, result: NULL });
        } else {
          this.enqueue({ request: frame });
        }
        return;
      case "release":
        this.stats.releaseFrames += 1;
        this.stats.released += frame.ids.length;
        this.enqueue({ release: frame.ids });
        return;
      case "callback_result":
        this.callbackResult(frame);
        return;
      case "diag":
        // In the queue, so that releases sent before it are counted in.
        this.enqueue({ diag: frame.diagId });
        return;
    }
  }

  /** Answer a request refused at the frame boundary. */
  refuse(requestId, message) {
    this.stats.errors += 1;
    this.respond(requestId, { ok: false, error: { message } });
  }

  diagnostics() {
    return {
      objects: this.table.size,
      staleDels: this.table.staleDels,
      ...structuredClone(this.stats),
      releases: this.stats.releaseFrames, // the name docs/protocol.md gives the count of release frames
      callbackLog: this.callbackLog.slice(),
      pendingCallbacks: this.callbacks.size,
      ...this.extraDiagnostics(),
    };
  }

  count(method) {
    this.stats.requests[method] = (this.stats.requests[method] ?? 0) + 1;
  }

  // Releases travel in the same queue as requests: a request sent before a
  // release of its caller must still find the caller.
  enqueue(item) {
    this.pending.push(item);
    if (this.running || this.scheduled) return;
    this.scheduled = true;
    // Wait one turn of the event loop so that frames delivered together
    // (requests from several kernel threads) form one batch.
    nextTick(() => {
      this.scheduled = false;
      this.drain();
    });
  }

  /** Resolves once every queued item has been handled. */
  async drain() {
    if (this.running) return;
    this.running = true;
    try {
      while (this.pending.length > 0) {
        const items = this.pending.splice(0);
        const requests = [];
        try {
          await this.runBatch(items, requests);
        } catch (exc) {
          // A request never goes unanswered, whatever broke inside.
          for (const req of requests) {
            if (!req.answered) this.fail(req, new RequestError(`Internal error in the add-in: ${errorText(exc)}`));
          }
        }
      }
    } finally {
      this.running = false;
    }
  }

  respond(requestId, body) {
    this.sendFrame({ kind: "excel_response", requestId, ...body });
  }

  sendFrame(frame) {
    let text = JSON.stringify(frame);
    if (text.length > this.maxResponseChars && frame.kind === "excel_response") {
      this.stats.errors += 1;
      text = JSON.stringify({
        kind: "excel_response", requestId: frame.requestId, ok: false,
        error: { message: `The answer is too large to send (${text.length} characters; the limit is ${this.maxResponseChars}): read a smaller range` },
      });
    }
    this.send(text);
  }

  // -------------------------------------------------------------------------
  // batches

  async runBatch(items, requests) {
    for (const item of items) {
      if (item.release) {
        for (const id of item.release) this.table.release(id);
        continue;
      }
      if (item.diag !== undefined) {
        this.sendFrame({ kind: "diag_result", diagId: item.diag, ...this.diagnostics() });
        continue;
      }
      // Ids are looked up in arrival order: a release that came after a
      // request must not take the objects that request names.
      const req = { frame: item.request, alone: false };
      try {
        this.prepare(req);
      } catch (exc) {
        req.error = exc;
      }
      requests.push(req);
    }
    let work = requests;
    while (work.length > 0) work = await this.runRound(work);
  }

  /** Plan `work`, sync once if needed, answer; returns the requests to try again. */
  async runRound(work) {
    const ctx = this.context;
    const prefix = `velmara:${++this.batchSeq}:`;
    let waiting = [];
    // A request that must run on its own (see the payload rule) goes first,
    // alone; the rest wait for the next round.
    const soloAt = work.findIndex((r) => r.alone);
    if (soloAt >= 0) {
      waiting = work.filter((_, i) => i !== soloAt);
      work = [work[soloAt]];
    }
    // sections: one per request that queued actions, in queue order.
    const sections = [];
    for (const req of work) {
      const marker = prefix + sections.length;
      let plan;
      let marked = false;
      try {
        plan = this.plan(req, () => {
          ctx.trace(marker);
          marked = true;
        });
      } catch (exc) {
        if (marked) sections.push({ marker, req: null });
        this.fail(req, exc);
        continue;
      }
      if (plan.sync) {
        sections.push({ marker, req, plan });
      } else {
        if (marked) sections.push({ marker, req: null });
        this.finish(req, plan);
      }
    }
    const planned = sections.filter((s) => s.req !== null);
    if (planned.length === 0) {
      this.flushTracks(); // rides on whichever sync comes next
      return waiting;
    }

    this.recordBatch(planned.length);
    sections.push({ marker: prefix + "track", req: null });
    ctx.trace(prefix + "track");
    this.flushTracks();
    ctx.trace(prefix + "end");
    const untrack = this.table.takeUntracks();
    for (const obj of untrack) {
      try {
        ctx.trackedObjects.remove(obj);
      } catch {
        // An object Office.js no longer accepts is gone anyway.
      }
    }
    try {
      this.stats.syncs += 1;
      await this.syncWithWatchdog(ctx);
    } catch (exc) {
      const again = this.afterFailedSync(exc, sections, untrack, prefix);
      this.flushTracks();
      return again.concat(waiting);
    }
    for (const { req, plan } of planned) this.finish(req, plan);
    this.flushTracks();
    return waiting;
  }

  /** Track what was handed out since the last call; queued for the next sync. */
  flushTracks() {
    for (const obj of this.table.takeTracks()) {
      try {
        this.context.trackedObjects.add(obj);
      } catch {
        // Not trackable any more (an expired path): its next use fails on
        // the request that uses it, with Office.js's own error.
      }
    }
  }

  afterFailedSync(exc, sections, untrack, prefix) {
    const planned = sections.filter((s) => s.req !== null);
    if (exc instanceof HangError) {
      this.stats.hangs += 1;
      this.failAll(planned, exc);
      // The context may never answer again: start over with a new one and
      // let the transport reconnect (the kernel's proxies become stale).
      this.newContext();
      this.onHang();
      return [];
    }
    if (!(exc instanceof this.OfficeExtension.Error)) {
      // Not Excel's own failure, so the markers cannot be trusted to say
      // what ran: fail every request rather than risk running one twice.
      this.table.restoreUntracks(untrack);
      this.failAll(planned, exc);
      return [];
    }
    if (PAYLOAD_CODES.has(exc.code)) return this.afterPayloadLimit(exc, planned, untrack);
    const ran = new Set(Array.isArray(exc.traceMessages) ? exc.traceMessages : []);
    if (ran.has(prefix + "end")) {
      // Only the untracking failed; every request's actions ran.
      for (const { req, plan } of planned) this.finish(req, plan);
      return [];
    }
    this.table.restoreUntracks(untrack);
    let failing = -1;
    sections.forEach(({ marker }, i) => {
      if (ran.has(marker)) failing = i;
    });
    if (failing < 0) {
      // Nothing of the requests ran: the failure came before their actions
      // (tracking left from an earlier round). Plan them again, once.
      if (planned.some(({ req }) => req.retriedPrologue)) {
        this.failAll(planned, exc);
        return [];
      }
      for (const { req, plan } of planned) {
        req.retriedPrologue = true;
        this.dropTracked(plan);
      }
      this.stats.retried += planned.length;
      return planned.map(({ req }) => req);
    }
    const again = [];
    sections.forEach(({ req, plan }, i) => {
      if (req === null) return;
      if (i < failing) {
        // Its actions ran; a read's data came with the failed answer only.
        if (plan.effectOnly) this.finish(req, plan);
        else again.push(req);
        return;
      }
      this.dropTracked(plan);
      if (i > failing) again.push(req);
      else this.fail(req, exc);
    });
    this.stats.retried += again.length;
    return again;
  }

  // Excel's payload limit applies to a sync as a whole, so requests that fit
  // one by one may fail together: each is tried again in a sync of its own,
  // and only one that fails alone gets the error. A request payload too large
  // ran nothing; a response too large ran everything but delivered no data.
  afterPayloadLimit(exc, planned, untrack) {
    const nothingRan = exc.code === "RequestPayloadSizeLimitExceeded";
    if (nothingRan) this.table.restoreUntracks(untrack);
    if (planned.length === 1) {
      this.failAll(planned, exc);
      return [];
    }
    const again = [];
    for (const { req, plan } of planned) {
      if (!nothingRan && plan.effectOnly) {
        this.finish(req, plan);
        continue;
      }
      if (nothingRan) this.dropTracked(plan);
      req.alone = true;
      again.push(req);
    }
    this.stats.retried += again.length;
    return again;
  }

  failAll(planned, exc) {
    for (const { req, plan } of planned) {
      this.dropTracked(plan);
      this.fail(req, exc);
    }
  }

  recordBatch(size) {
    this.stats.batches += 1;
    this.stats.batchSizes[size] = (this.stats.batchSizes[size] ?? 0) + 1;
    this.stats.maxBatch = Math.max(this.stats.maxBatch, size);
  }

  async syncWithWatchdog(ctx) {
    let timer;
    const watchdog = new Promise((_, reject) => {
      timer = setTimeout(
        () => reject(new HangError(`Excel did not finish the request within ${this.watchdogMs / 1000} s; reconnecting`)),
        this.watchdogMs);
    });
    try {
      await Promise.race([ctx.sync(), watchdog]);
    } finally {
      clearTimeout(timer);
    }
  }

  finish(req, plan) {
    let result;
    try {
      result = plan.finish();
    } catch (exc) {
      this.fail(req, exc);
      return;
    }
    this.succeed(req, result);
  }

  dropTracked(plan) {
    if (plan.tracked !== undefined) this.table.forgetTracked(plan.tracked);
  }

  succeed(req, result) {
    req.answered = true;
    this.respond(req.frame.requestId, { ok: true, result });
  }

  fail(req, exc) {
    req.answered = true;
    this.stats.errors += 1;
    this.respond(req.frame.requestId, { ok: false, error: { message: errorText(exc) } });
  }

  // -------------------------------------------------------------------------
  // planning one request
  //
  // A plan either answers without a sync ({sync: false, finish}) or queues
  // its actions after calling mark() and answers after the sync
  // ({sync: true, finish, effectOnly}). Planning checks everything it can
  // before queuing, so a refused request leaves nothing behind.

  /** Resolve the ids a request names and decode its values. */
  prepare(req) {
    const { method, caller, name } = req.frame;
    const target = (req.target = this.resolveCaller(caller));
    if (method === "SET") {
      req.value = toCellValue(this.decode(req.frame.value, name));
    } else if (method === "CALL") {
      if (target === this.getSettingFn) {
        req.args = this.arguments(req.frame.args, "GetSetting", undefined);
      } else if (target instanceof BoundFunction) {
        const label = `${typeName(target.target)}.${target.name}()`;
        req.args = this.arguments(req.frame.args, label, OPTIONS_PARAMETER.get(target.name)).map(toCellValue);
        // set() assigns every key it is given: the keys pass the same
        // allow-list as a SET would.
        if (target.name === "set" && this.isClientObject(target.target)) this.checkSettable(target.target, req.args[0], label);
      } else {
        throw new RequestError(`${typeName(target)} is not a function`);
      }
    }
  }

  plan(req, mark) {
    if (req.error !== undefined) throw req.error;
    const { method, name } = req.frame;
    const target = req.target;
    switch (method) {
      case "GET":
        return this.planGet(target, name, mark);
      case "SET":
        return this.planSet(target, name, req.value, mark);
      case "GETITEM":
        return this.planGetItem(target, name, mark);
      case "CALL":
        return this.planCall(target, req.args, mark);
    }
    throw new RequestError(`Unknown method ${method}`);
  }

  resolveCaller(id) {
    if (id === SNAPSHOT_ID) {
      throw new RequestError("Arrays and dicts from the add-in are copies; index them in Python (they have no remote object)");
    }
    const target = this.table.get(id);
    if (target === undefined) throw new RequestError(`Unknown object id ${id} (released, or never sent)`);
    return target;
  }

  planGet(target, name, mark) {
    if (target === this.Excel) return this.now(this.excelMember(name));
    if (target instanceof BoundFunction || target === this.getSettingFn) {
      throw new RequestError(`A function has no property ${quote(name)}`);
    }
    if (name === "isNullObject" && this.isClientObject(target)) return this.planIsNull(target, mark);
    const kind = this.classify(target, name);
    switch (kind.kind) {
      case "object":
        return this.now(this.reference(kind.value ?? target[name]));
      case "function":
        return this.now(this.reference(new BoundFunction(target, name)));
      case "plain":
        return this.now(this.data(target[name]));
      case "items":
        mark();
        target.load("items");
        return { sync: true, effectOnly: false, finish: () => this.data(target.items, true) };
      case "scalar":
        mark();
        target.load(name);
        return { sync: true, effectOnly: false, finish: () => this.data(target[name]) };
    }
    throw new RequestError(`${typeName(target)} has no property ${quote(name)}`);
  }

  // isNullObject is known after any sync that reached the object (it cannot
  // be loaded); an object no sync has reached yet gets one through tracking.
  planIsNull(target, mark) {
    try {
      return this.now(this.data(target.isNullObject));
    } catch {
      mark();
      this.context.trackedObjects.add(target);
      return { sync: true, effectOnly: false, finish: () => this.data(target.isNullObject) };
    }
  }

  planSet(target, name, value, mark) {
    if (!this.isClientObject(target)) throw new RequestError(`${typeName(target)}.${name} cannot be set`);
    const member = this.member(target, name);
    if (typeof member.set !== "function") {
      throw new RequestError(`${typeName(target)}.${name} is read-only and cannot be set`);
    }
    mark();
    target[name] = GRID_PROPERTIES.has(name) ? emptyForNull(value) : value;
    return { sync: true, effectOnly: true, finish: () => NULL };
  }

  planGetItem(target, index, mark) {
    const pick = parseIndex(index);
    if (Array.isArray(target)) return this.now(this.data(pick(target), true));
    if (!this.isClientObject(target) || this.findMember(target, "items") === undefined) {
      throw new RequestError(`${typeName(target)} cannot be indexed`);
    }
    mark();
    target.load("items");
    return { sync: true, effectOnly: false, finish: () => this.data(pick(target.items), true) };
  }

  planCall(target, args, mark) {
    if (target === this.getSettingFn) {
      if (args.length !== 1) throw new RequestError("GetSetting takes one argument, the setting's name");
      return this.now(this.data(this.getSettingFn(args[0])));
    }
    const { target: obj, name } = target;
    const label = `${typeName(obj)}.${name}()`;
    mark();
    const result = obj[name](...args);
    if (result === undefined) {
      const unregisters = name === "remove" && typeName(obj) === "EventHandlerResult";
      return { sync: true, effectOnly: true, finish: () => {
        if (unregisters) this.stats.handlers -= 1;
        return NULL;
      } };
    }
    if (result !== null && typeof result.then === "function") {
      throw new RequestError(`${label} is asynchronous, which the add-in does not support`);
    }
    if (this.isClientResult(result)) {
      return { sync: true, effectOnly: false, finish: () => this.data(result.value) };
    }
    if (this.isClientObject(result)) {
      // Tracked before the sync: a range that is not would expire with it.
      this.context.trackedObjects.add(result);
      this.table.markTracked(result);
      return { sync: true, effectOnly: true, tracked: result, finish: () => this.reference(result) };
    }
    if (isLiveObject(result)) {
      const registers = typeName(result) === "EventHandlerResult";
      return { sync: true, effectOnly: true, finish: () => {
        if (registers) this.stats.handlers += 1;
        return this.reference(result);
      } };
    }
    return { sync: false, finish: () => this.data(result) };
  }

  now(result) {
    return { sync: false, finish: () => result };
  }

  arguments(rawArgs, label, optionsAt) {
    const placed = [];
    let named = null;
    rawArgs.forEach((arg, i) => {
      const value = this.decode(arg.value, `argument ${i + 1}`);
      if (arg.arg_type === "PLACED") {
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

  decode(wire, where) {
    return fromWire(wire, {
      resolve: (id, type) => {
        const value = id === SNAPSHOT_ID ? undefined : this.table.get(id);
        if (value === undefined) throw new WireError(`${where}: unknown object id ${id} (${type})`);
        if (value === this.Excel || value === this.getSettingFn || value instanceof BoundFunction) {
          throw new WireError(`${where}: a ${type} reference cannot be passed to Office.js`);
        }
        return value;
      },
      callable: (callableId) => this.pythonFunction(callableId),
    }, where);
  }

  // -------------------------------------------------------------------------
  // members: the allow-list and the classification cache

  /**
   * The property descriptor of an allowed member, from the object's own
   * class prototypes (never Object.prototype, never the instance itself).
   */
  member(target, name) {
    if (isDenied(name)) {
      throw new RequestError(`Refused: ${quote(name)} is not reachable from the kernel`);
    }
    const found = this.findMember(target, name);
    if (found === undefined) throw new RequestError(`${typeName(target)} has no property ${quote(name)}`);
    return found;
  }

  findMember(target, name) {
    for (let proto = Object.getPrototypeOf(target); proto !== null && proto !== Object.prototype && proto !== Function.prototype;
      proto = Object.getPrototypeOf(proto)) {
      const desc = Object.getOwnPropertyDescriptor(proto, name);
      if (desc !== undefined) return desc;
    }
    return undefined;
  }

  /** How obj[name] is answered; cached per (prototype, name) once settled. */
  classify(target, name) {
    const proto = Object.getPrototypeOf(target);
    let names = this.classes.get(proto);
    const cached = names?.get(name);
    if (cached !== undefined) return { kind: cached };
    const desc = this.member(target, name);
    const client = this.isClientObject(target);
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
        if (exc?.code !== "PropertyNotLoaded") return { kind: "scalar" };
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

  /** Every key of a set() properties object names a writable member (or a navigation, recursively). */
  checkSettable(target, properties, label, depth = 0) {
    if (!isPlainObject(properties)) return;
    for (const [key, value] of Object.entries(properties)) {
      const member = this.member(target, key);
      if (typeof member.set === "function") continue;
      const child = isPlainObject(value) && depth < 8 && typeof member.get === "function" ? member.get.call(target) : undefined;
      if (!this.isClientObject(child)) throw new RequestError(`${label}: ${typeName(target)}.${key} is read-only and cannot be set`);
      this.checkSettable(child, value, label, depth + 1);
    }
  }

  /** Members of the Excel namespace: only its enumerations, as data. */
  excelMember(name) {
    const value = typeof name === "string" && !name.startsWith("_") && Object.hasOwn(this.Excel, name) ? this.Excel[name] : undefined;
    if (isPlainObject(value) && Object.values(value).every((v) => typeof v === "string" || typeof v === "number")) {
      return toWire(value);
    }
    throw new RequestError(`Refused: Excel.${name} is not reachable from the kernel (only enumerations such as Excel.ErrorCodes are)`);
  }

  // -------------------------------------------------------------------------
  // answers

  /** A reference to a live object, counted once. */
  reference(obj) {
    return { type: typeName(obj), value: this.table.ref(obj), isSpec: true };
  }

  /** Data as wire values; live objects inside become references. */
  data(value, liveElements = false) {
    return toWire(value, (obj) => (this.isClientObject(obj) || (liveElements && isLiveObject(obj)) ? this.reference(obj) : undefined));
  }

  isClientObject(obj) {
    if (obj === null || typeof obj !== "object") return false;
    const ClientObject = this.OfficeExtension?.ClientObject;
    if (typeof ClientObject === "function") return obj instanceof ClientObject;
    return typeof obj.load === "function" && "isNullObject" in obj && "context" in obj;
  }

  isClientResult(obj) {
    const ClientResult = this.OfficeExtension?.ClientResult;
    return typeof ClientResult === "function" && obj instanceof ClientResult;
  }

  // -------------------------------------------------------------------------
  // Python callables

  /** A JS function that runs a registered Python callable through the kernel. */
  pythonFunction(callableId) {
    return (...args) => {
      const callId = `cb-${++this.callSeq}`;
      let wires;
      try {
        wires = args.map((a) => this.data(a));
      } catch (exc) {
        this.stats.callbacks.failed += 1;
        return Promise.resolve(undefined);
      }
      this.stats.callbacks.sent += 1;
      // Office.js awaits a promise returned by an event handler; it settles
      // with the callable's result, or undefined when none arrives in time.
      const done = new Promise((resolve) => {
        const timer = setTimeout(() => {
          this.callbacks.delete(callId);
          resolve(undefined);
        }, this.callbackTimeoutMs);
        timer.unref?.(); // in Node: a handler's wait alone keeps no process alive
        this.callbacks.set(callId, { resolve, timer });
      });
      this.sendFrame({ kind: "callback", callId, callableId, args: wires });
      return done;
    };
  }

  callbackResult(frame) {
    const ok = frame.ok === true;
    this.stats.callbacks[ok ? "ok" : "failed"] += 1;
    const entry = { callId: frame.callId, ok };
    if (ok) entry.result = frame.result;
    else entry.error = typeof frame.error?.message === "string" ? frame.error.message : null;
    this.callbackLog.push(entry);
    if (this.callbackLog.length > 50) this.callbackLog.shift();
    const waiter = this.callbacks.get(frame.callId);
    if (waiter === undefined) return;
    this.callbacks.delete(frame.callId);
    clearTimeout(waiter.timer);
    let value;
    try {
      value = ok && isPlainObject(frame.result) ? toCellValue(this.decode(frame.result, "callback result")) : undefined;
    } catch {
      value = undefined;
    }
    waiter.resolve(value);
  }
}

// ---------------------------------------------------------------------------
// helpers

/** An object with behaviour of its own (a class instance), not plain data. */
function isLiveObject(value) {
  if (value === null || typeof value !== "object" || Array.isArray(value) || value instanceof Date || value instanceof Uint8Array) return false;
  const proto = Object.getPrototypeOf(value);
  return proto !== null && proto !== Object.prototype;
}

function typeName(obj) {
  if (obj instanceof BoundFunction || typeof obj === "function") return "Function";
  const name = obj?._className ?? obj?.constructor?.name;
  return typeof name === "string" && name !== "" && name !== "Object" ? name : "Object";
}

/** Python-style index text ("3", "-1", "1:3:", "::2") -> a picker over a list. */
function parseIndex(text) {
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

function slice(list, start, stop, step) {
  const n = list.length;
  const clamp = (v, dflt, lo, hi) => (v === null ? dflt : Math.min(Math.max(v < 0 ? v + n : v, lo), hi));
  const out = [];
  if (step > 0) {
    for (let i = clamp(start, 0, 0, n), end = clamp(stop, n, 0, n); i < end; i += step) out.push(list[i]);
  } else {
    for (let i = clamp(start, n - 1, -1, n - 1), end = clamp(stop, -1, -1, n - 1); i > end; i += step) out.push(list[i]);
  }
  return out;
}

function isDenied(name) {
  return name === "" || name.startsWith("_") || name.startsWith("m_") || DENIED.has(name);
}

/** A name as Python would show it in a message. */
function quote(name) {
  return `'${String(name).replace(/\\/g, "\\\\").replace(/'/g, "\\'")}'`;
}

/** The text the kernel shows for a failed request. */
export function errorText(exc) {
  if (exc instanceof RequestError || exc instanceof WireError || exc instanceof HangError) return exc.message;
  if (exc !== null && typeof exc === "object" && typeof exc.code === "string") {
    const where = exc.debugInfo?.errorLocation;
    return `${exc.code}: ${exc.message}${where ? ` (${where})` : ""}`;
  }
  if (exc instanceof Error) return exc.constructor === Error ? exc.message : `${exc.name}: ${exc.message}`;
  return String(exc);
}
