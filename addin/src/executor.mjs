// executor.mjs — performs the kernel's requests on the Office.js object model.
//
// The facade over the executor-*.mjs modules: it owns the one long-lived RequestContext, the
// object table, sessions and frames, and lends its state to the parts:
//   executor-batching.mjs   requests into syncs; what a failed sync means
//   executor-planning.mjs   one request made into Office.js actions
//   executor-members.mjs    the member allow-list, type names, tracking needs
//   executor-callbacks.mjs  Python callables as JavaScript functions
//   executor-errors.mjs     error texts (the Office.js code first)
// A sync can cost hundreds of milliseconds in Excel on the web, so the count
// of syncs, not of requests, is what the executor keeps low: navigation
// properties, method references and lookups (getItem, getRange...) are answered at
// once; loads, writes and calls share one sync per batch of requests.

import { BoundFunction, ObjectTable } from "./objects.mjs";
import { ID, KIND, METHOD, NULL } from "./protocol.mjs";
import { WireText, toWire, wireJson, wireText } from "./wire.mjs";
import { runRound } from "./executor-batching.mjs";
import { Callbacks } from "./executor-callbacks.mjs";
import { RequestError, errorText } from "./executor-errors.mjs";
import { Members, isLiveObject } from "./executor-members.mjs";
import { decode, prepare } from "./executor-planning.mjs";

/** @typedef {import("./executor-planning.mjs").Req} Req */
/** @typedef {import("./executor-planning.mjs").Plan} Plan */
/** @typedef {import("./executor-batching.mjs").Section} Section */

/** @type {(fn: () => void) => void} */
const nextTick = typeof (/** @type {any} */ (globalThis).setImmediate) === "function"
  ? /** @type {any} */ (globalThis).setImmediate : (fn) => setTimeout(fn, 0);

/**
 * @typedef {object} ExecutorOptions
 * @property {any} Excel                       the Excel namespace (office.js or the double)
 * @property {any} OfficeExtension             the OfficeExtension namespace
 * @property {(name: unknown) => unknown} getSetting
 * @property {(text: string) => void} [send]   sends one frame to the kernel (set by the transport)
 * @property {number} [watchdogMs]             a sync that takes longer fails its requests
 * @property {() => void} [onHang]             asked to reconnect after a hung sync
 * @property {number} [maxResponseChars]       the kernel's frame limit; larger answers become errors
 * @property {number} [callbackTimeoutMs]      how long a JS caller of a Python callback waits
 * @property {number} [cellEditMs]             how long a batch refused for cell-edit mode is tried again
 * @property {() => object} [extraDiagnostics]  more counters for diag_result (the transport's)
 */

/** @typedef {{request: any} | {release: number[]} | {diag: string}} Item */

export class Executor {
  /** @param {ExecutorOptions} options */
  constructor({ Excel, OfficeExtension, getSetting, send = () => {}, watchdogMs = 20_000, onHang = () => {},
                maxResponseChars = 8 * 2 ** 20, callbackTimeoutMs = 60_000, cellEditMs = 15_000,
                extraDiagnostics = () => ({}) }) {
    this.Excel = Excel;
    this.OfficeExtension = OfficeExtension;
    this.send = send;
    this.watchdogMs = watchdogMs;
    this.onHang = onHang;
    this.maxResponseChars = maxResponseChars;
    this.cellEditMs = cellEditMs;
    this.extraDiagnostics = extraDiagnostics;
    this.getSettingFn = getSetting;
    this.members = new Members(Excel, OfficeExtension);
    /** @type {Item[]} requests and releases, in arrival order */
    this.pending = [];
    this.running = false;
    this.scheduled = false;
    this.batchSeq = 0;
    /** @type {Section[]} sections queued on the context by rounds that made no sync */
    this.queued = [];
    /** @type {WeakMap<object, object>} object -> the object it was reached from */
    this.origins = new WeakMap();
    /** @type {WeakMap<object, string>} objects whose lookup failed -> the error of every use */
    this.broken = new WeakMap();
    /** @type {number|null} when Excel first refused the current batch for cell-edit mode */
    this.cellEditSince = null;
    this.cellEditPauses = 0;
    this.stats = {
      /** @type {Record<string, number>} */
      requests: {},
      releaseFrames: 0, released: 0, syncs: 0, batches: 0,
      /** @type {Record<string, number>} */
      batchSizes: {},
      maxBatch: 0, retried: 0, errors: 0, hangs: 0, cellEditRetries: 0, brokenLookups: 0,
      callbacks: { sent: 0, ok: 0, failed: 0, stale: 0 }, sessions: 0,
    };
    /** @type {Callbacks} */
    this.callbacks = new Callbacks({
      data: (value) => this.data(value),
      decode: (wire, where) => decode(this, wire, where),
      sendFrame: (frame) => this.sendFrame(/** @type {{kind: string}} */ (frame)),
      context: () => this.context,
      stats: this.stats.callbacks,
      timeoutMs: callbackTimeoutMs,
    });
    this.table = new ObjectTable();
    /** @type {any} */
    this.context = null;
    this.newContext();
  }

  // -------------------------------------------------------------------------
  // sessions and frames

  newContext() {
    this.context = new this.Excel.RequestContext();
    this.queued = [];
    this.table.forgetTracking();
    this.table.pin(ID.CONTEXT, this.context);
    this.table.pin(ID.EXCEL, this.Excel);
    this.table.pin(ID.GET_SETTING, this.getSettingFn);
  }

  /** A new connection: the kernel's proxies of the last one are stale, so their objects and handlers go. */
  newSession() {
    this.stats.sessions += 1;
    this.pending.length = 0;
    this.table.newSession();
    this.callbacks.endSession((/** @type {() => void} */ work) => {
      const marker = `velmara:${++this.batchSeq}:unregister`;
      this.context.trace(marker);
      work();
      this.queued.push({ marker, req: null });
    });
  }

  /**
   * Handle one frame that passed the transport's checks (wire.parseFrame).
   * @param {any} frame
   */
  handleFrame(frame) {
    switch (frame.kind) {
      case KIND.REQUEST:
        this.count(frame.method);
        if (frame.method === METHOD.DEL) {
          // An older kernel still sends DEL as a request: one release, answered.
          this.enqueue({ release: [frame.caller] });
          this.respond(frame.requestId, { ok: true, result: NULL });
        } else {
          this.enqueue({ request: frame });
        }
        return;
      case KIND.RELEASE:
        this.stats.releaseFrames += 1;
        this.stats.released += frame.ids.length;
        this.enqueue({ release: frame.ids });
        return;
      case KIND.CALLBACK_RESULT:
        this.callbacks.result(frame);
        return;
      case KIND.DIAG:
        // In the queue, so that releases sent before it are counted in.
        this.enqueue({ diag: frame.diagId });
        return;
    }
  }

  /**
   * Answer a request refused at the frame boundary.
   * @param {string} requestId @param {string} message
   */
  refuse(requestId, message) {
    this.stats.errors += 1;
    this.respond(requestId, { ok: false, error: { message } });
  }

  diagnostics() {
    return {
      objects: this.table.size,
      staleDels: this.table.staleDels,
      tracked: this.table.tracked.size,
      ...structuredClone(this.stats),
      handlers: this.callbacks.handlers,
      callbackLog: this.callbacks.log.slice(),
      pendingCallbacks: this.callbacks.waiting.size,
      ...this.extraDiagnostics(),
    };
  }

  /** @param {string} method */
  count(method) {
    this.stats.requests[method] = (this.stats.requests[method] ?? 0) + 1;
  }

  // Releases travel in the same queue as requests: a request sent before a
  // release of its caller must still find the caller.
  /** @param {Item} item */
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
        /** @type {Req[]} */
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

  /** @param {Item[]} items @param {Req[]} requests */
  async runBatch(items, requests) {
    for (const item of items) {
      if ("release" in item) {
        for (const id of item.release) this.table.release(id);
        continue;
      }
      if ("diag" in item) {
        this.sendFrame({ kind: KIND.DIAG_RESULT, diagId: item.diag, ...this.diagnostics() });
        continue;
      }
      // Ids are looked up in arrival order: a release that came after a
      // request must not take the objects that request names.
      /** @type {Req} */
      const req = { frame: item.request, alone: false, used: [] };
      try {
        prepare(this, req);
      } catch (exc) {
        req.error = exc;
      }
      requests.push(req);
    }
    let work = requests;
    while (work.length > 0) work = await runRound(this, work);
  }

  /** @param {string} requestId @param {object} body */
  respond(requestId, body) {
    this.sendFrame({ kind: KIND.RESPONSE, requestId, ...body });
  }

  /** @param {{kind: string, requestId?: string, result?: object}} frame */
  sendFrame(frame) {
    let text;
    if (frame.result === undefined) {
      text = JSON.stringify(frame);
    } else {
      // The result, last in an answer, is mostly text wireText wrote already (a grid read): it goes in as it is.
      const { result, ...head } = frame;
      text = `${JSON.stringify(head).slice(0, -1)},"result":${wireJson(result)}}`;
    }
    if (text.length > this.maxResponseChars && frame.kind === KIND.RESPONSE) {
      this.stats.errors += 1;
      text = JSON.stringify({
        kind: KIND.RESPONSE, requestId: frame.requestId, ok: false,
        error: { message: `The answer is too large to send (${text.length} characters; the limit is ${this.maxResponseChars}): read a smaller range` },
      });
    }
    this.send(text);
  }

  recordBatch(/** @type {number} */ size) {
    this.stats.batches += 1;
    this.stats.batchSizes[size] = (this.stats.batchSizes[size] ?? 0) + 1;
    this.stats.maxBatch = Math.max(this.stats.maxBatch, size);
  }

  // -------------------------------------------------------------------------
  // answers

  /** @param {Req} req @param {Plan} plan */
  finish(req, plan) {
    let result;
    try {
      result = plan.finish();
    } catch (exc) {
      this.fail(req, exc);
      return;
    }
    req.answered = true;
    this.respond(req.frame.requestId, { ok: true, result });
  }

  /** @param {Req} req @param {unknown} exc */
  fail(req, exc) {
    req.answered = true;
    this.stats.errors += 1;
    this.respond(req.frame.requestId, { ok: false, error: { message: errorText(exc) } });
  }

  /**
   * A reference to a live object, counted once. `from` is the object it was
   * reached from: what must stay tracked for it is found through it.
   * @param {object} obj @param {object|null} from
   */
  reference(obj, from) {
    if (from !== null && !this.origins.has(obj)) this.origins.set(obj, from);
    const anchor = this.anchor(obj instanceof BoundFunction ? obj.target : obj);
    return { type: this.members.typeName(obj), value: this.table.ref(obj, anchor), isSpec: true };
  }

  /**
   * Data as wire values (a callback's arguments): client objects inside become references.
   * @param {unknown} value
   */
  data(value) {
    return toWire(value, this.referencer());
  }

  /**
   * An answer's data, written straight to its wire text: a grid read from
   * Excel would otherwise be a hundred thousand small objects. Client objects
   * inside become references; other live objects too when `from` (the
   * collection they came from, or null) is given.
   * @param {unknown} value @param {object|null} [from]
   */
  answer(value, from) {
    return new WireText(wireText(value, this.referencer(from)));
  }

  /**
   * How data() and answer() make references of live objects.
   * @param {object|null} [from]
   * @returns {(obj: object) => (object|undefined)}
   */
  referencer(from) {
    return (obj) => (this.members.isClientObject(obj) || (from !== undefined && isLiveObject(obj))
      ? this.reference(obj, from ?? null) : undefined);
  }

  /**
   * The nearest object on the way to `obj` that needs tracking, if any.
   * @param {object} obj
   */
  anchor(obj) {
    /** @type {object|undefined} */
    let at = obj;
    for (let depth = 0; at !== undefined && depth < 64; depth++, at = this.origins.get(at)) {
      if (this.members.needsTracking(at)) return at;
    }
    return null;
  }

  /**
   * An object whose lookup failed at a sync: every later use fails with `message`.
   * @param {object} obj @param {string} message
   */
  breakObject(obj, message) {
    this.stats.brokenLookups += 1;
    this.broken.set(obj, message);
    this.table.forgetTracked(obj);
  }

  /**
   * The error of using `obj`, if it or an object it was reached from is broken.
   * @param {object} obj
   */
  brokenMessage(obj) {
    /** @type {object|undefined} */
    let at = obj;
    for (let depth = 0; at !== undefined && depth < 64; depth++, at = this.origins.get(at)) {
      const message = this.broken.get(at);
      if (message !== undefined) return message;
    }
    return undefined;
  }
}
