// executor-callbacks.mjs — Python callables as JavaScript functions.
//
// One JavaScript function per callable id and connection: Office.js removes an
// event handler by function identity, so the same Python function arriving
// again (the kernel sends the id of its first registration) must be the same
// function. Handlers registered through the executor are remembered; when the
// connection ends their functions are disarmed (they never send a callback
// frame with an id of the old connection) and their registrations removed.

import { KIND } from "./protocol.mjs";
import { isPlainObject, toCellValue } from "./wire.mjs";

/**
 * @typedef {object} CallbackHost  what the executor lends this module
 * @property {(value: unknown) => object} data                   a JS value as a wire value
 * @property {(wire: unknown, where: string) => unknown} decode  a wire value from the kernel
 * @property {(frame: object) => void} sendFrame
 * @property {() => any} context                                 the current request context
 * @property {{sent: number, ok: number, failed: number, stale: number}} stats
 * @property {number} timeoutMs                                  how long a JS caller waits for a result
 */

/** @typedef {{result: any, source: object, handler: unknown}} Registration */

export class Callbacks {
  /** @param {CallbackHost} host */
  constructor(host) {
    this.host = host;
    /** @type {Map<string, Function>} callable id -> its one function in this connection */
    this.functions = new Map();
    /** @type {Map<string, {resolve: (value: unknown) => void, timer: ReturnType<typeof setTimeout>}>} */
    this.waiting = new Map();
    /** @type {Set<Registration>} event handlers registered in this connection */
    this.registrations = new Set();
    /** @type {object[]} */
    this.log = [];
    this.seq = 0;
    this.session = 0;
  }

  /**
   * The JS function of a registered Python callable.
   * @param {string} callableId
   * @returns {Function}
   */
  function(callableId) {
    let fn = this.functions.get(callableId);
    if (fn === undefined) {
      fn = this.make(callableId, this.session);
      this.functions.set(callableId, fn);
    }
    return fn;
  }

  /** @param {string} callableId @param {number} session */
  make(callableId, session) {
    const { host } = this;
    return (/** @type {unknown[]} */ ...args) => {
      if (session !== this.session) {
        // A handler of an ended connection: its id means nothing to the kernel now.
        host.stats.stale += 1;
        return Promise.resolve(undefined);
      }
      const callId = `cb-${++this.seq}`;
      let wires;
      try {
        wires = args.map((a) => host.data(a));
      } catch {
        host.stats.failed += 1;
        return Promise.resolve(undefined);
      }
      host.stats.sent += 1;
      // Office.js awaits a promise returned by an event handler; it settles
      // with the callable's result, or undefined when none arrives in time.
      const done = new Promise((resolve) => {
        const timer = setTimeout(() => {
          this.waiting.delete(callId);
          resolve(undefined);
        }, host.timeoutMs);
        /** @type {any} */ (timer).unref?.(); // in Node: a handler's wait alone keeps no process alive
        this.waiting.set(callId, { resolve, timer });
      });
      host.sendFrame({ kind: KIND.CALLBACK, callId, callableId, args: wires });
      return done;
    };
  }

  /**
   * A callback_result frame.
   * @param {{callId: string, ok: boolean, result?: unknown, error?: {message?: unknown}}} frame
   */
  result(frame) {
    const ok = frame.ok === true;
    this.host.stats[ok ? "ok" : "failed"] += 1;
    /** @type {{callId: string, ok: boolean, result?: unknown, error?: unknown}} */
    const entry = { callId: frame.callId, ok };
    if (ok) entry.result = frame.result;
    else entry.error = typeof frame.error?.message === "string" ? frame.error.message : null;
    this.log.push(entry);
    if (this.log.length > 50) this.log.shift();
    const waiter = this.waiting.get(frame.callId);
    if (waiter === undefined) return;
    this.waiting.delete(frame.callId);
    clearTimeout(waiter.timer);
    let value;
    try {
      value = ok && isPlainObject(frame.result) ? toCellValue(this.host.decode(frame.result, "callback result")) : undefined;
    } catch {
      value = undefined;
    }
    waiter.resolve(value);
  }

  /**
   * handlers.add(handler) went through.
   * @param {any} result @param {object} source @param {unknown} handler
   */
  registered(result, source, handler) {
    this.registrations.add({ result, source, handler });
  }

  /**
   * result.remove() or handlers.remove(handler) went through.
   * @param {object} obj @param {unknown} [handler]
   */
  removed(obj, handler) {
    for (const reg of this.registrations) {
      if (reg.result === obj || (reg.source === obj && reg.handler === handler)) this.registrations.delete(reg);
    }
  }

  get handlers() {
    return this.registrations.size;
  }

  /**
   * The connection ended: disarm its functions, answer its waiters, and
   * remove its registrations (queued on their context; on the current one
   * they ride on the next sync, on an abandoned one they are sent at once).
   * @param {(remove: () => void) => void} queueOnCurrent  queues work on the current context, marked
   */
  endSession(queueOnCurrent) {
    this.session += 1;
    this.functions.clear();
    for (const { resolve, timer } of this.waiting.values()) {
      clearTimeout(timer);
      resolve(undefined);
    }
    this.waiting.clear();
    const current = this.host.context();
    /** @type {Map<any, any[]>} context -> the registrations' results on it */
    const byContext = new Map();
    for (const reg of this.registrations) {
      const ctx = reg.result?.context ?? current;
      const results = byContext.get(ctx);
      if (results === undefined) byContext.set(ctx, [reg.result]);
      else results.push(reg.result);
    }
    this.registrations.clear();
    for (const [ctx, results] of byContext) {
      if (ctx === current) {
        queueOnCurrent(() => results.forEach(removeQuietly));
      } else {
        // One sync sends every removal queued on an abandoned context.
        results.forEach(removeQuietly);
        Promise.resolve().then(() => ctx.sync()).catch(() => {});
      }
    }
  }
}

/** @param {any} result */
function removeQuietly(result) {
  try {
    result.remove();
  } catch {
    // Its context is gone: the disarmed function is all that is left.
  }
}
