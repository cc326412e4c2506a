// executor-batching.mjs — requests into syncs, and what a failed sync means.
//
// Frames that arrive within one turn of the event loop are planned together
// and share one sync. Every piece of work queued on the context follows a
// context.trace() marker of its own "section": a request's actions, a
// deferred lookup (an object-returning call answered at once), tracking.
// When a sync fails, the last marker in the error's traceMessages names the
// section that failed:
//   - the sections before it ran: writes are answered, reads (whose data a
//     failed sync does not deliver) are planned again;
//   - the failing section's request gets the error; a failing lookup breaks
//     its object, so every later use of it fails with the call named;
//   - the sections after it never ran and are planned again.
// When no marker ran, Excel did not say what ran: reads are planned again,
// anything that may have had an effect fails rather than run twice.
// While the user edits a cell Excel refuses whole batches (nothing ran): the
// batch is tried again with back-off for up to cellEditMs, then it fails with
// a message that says so.

import { HangError, RequestError, CELL_EDIT_CODE, errorText } from "./executor-errors.mjs";
import { plan } from "./executor-planning.mjs";

/** @typedef {import("./executor-planning.mjs").Req} Req */
/** @typedef {import("./executor-planning.mjs").Plan} Plan */
/**
 * @typedef {object} Section
 * @property {string} marker
 * @property {Req|null} req                         a request that waits for the sync
 * @property {Plan} [plan]
 * @property {{obj: object, label: string}} [deferred]
 * @property {object[]} [tracks]
 */

const PAYLOAD_CODES = new Set(["RequestPayloadSizeLimitExceeded", "ResponsePayloadSizeLimitExceeded"]);

/**
 * Plan `work`, sync once if needed, answer; returns the requests to try again.
 * @param {import("./executor.mjs").Executor} ex @param {Req[]} work
 * @returns {Promise<Req[]>}
 */
export async function runRound(ex, work) {
  const ctx = ex.context;
  const prefix = `velmara:${++ex.batchSeq}:`;
  /** @type {Req[]} */
  let waiting = [];
  // A request that must run on its own (see the payload rule) goes first,
  // alone; the rest wait for the next round.
  const soloAt = work.findIndex((r) => r.alone);
  if (soloAt >= 0) {
    waiting = work.filter((_, i) => i !== soloAt);
    work = [work[soloAt]];
  }
  /** @type {Section[]} */
  const sections = [];
  for (const req of work) {
    const marker = prefix + sections.length;
    let planned;
    let marked = false;
    try {
      planned = plan(ex, req, () => {
        ctx.trace(marker);
        marked = true;
      });
    } catch (exc) {
      if (marked) sections.push({ marker, req: null });
      ex.fail(req, exc);
      continue;
    }
    if (planned.sync) {
      sections.push({ marker, req, plan: planned });
    } else {
      if (marked) sections.push({ marker, req: null, deferred: planned.deferred });
      ex.finish(req, planned);
    }
  }
  // Sections queued by earlier rounds that made no sync come first.
  const all = ex.queued.concat(sections);
  ex.queued = [];
  if (!sections.some((s) => s.req !== null)) {
    ex.queued = all;
    flushTracks(ex, ex.queued); // rides on whichever sync comes next
    return waiting;
  }
  const planned = /** @type {(Section & {req: Req, plan: Plan})[]} */ (all.filter((s) => s.req !== null));
  ex.recordBatch(planned.length);
  flushTracks(ex, all);
  ctx.trace(prefix + "end");
  const untrack = ex.table.takeUntracks();
  for (const obj of untrack) {
    try {
      ctx.trackedObjects.remove(obj);
    } catch {
      // An object Office.js no longer accepts is gone anyway.
    }
  }
  try {
    ex.stats.syncs += 1;
    await syncWithWatchdog(ex, ctx);
  } catch (exc) {
    const again = await afterFailedSync(ex, exc, all, planned, untrack, prefix);
    flushTracks(ex, ex.queued);
    return again.concat(waiting);
  }
  ex.cellEditSince = null;
  ex.cellEditPauses = 0;
  for (const { req, plan: p } of planned) ex.finish(req, p);
  flushTracks(ex, ex.queued);
  return waiting;
}

/**
 * Track what was handed out since the last call, as a section of its own.
 * @param {import("./executor.mjs").Executor} ex @param {Section[]} into
 */
function flushTracks(ex, into) {
  const objects = ex.table.takeTracks();
  if (objects.length === 0) return;
  const marker = `velmara:${++ex.batchSeq}:track`;
  ex.context.trace(marker);
  const tracks = [];
  for (const obj of objects) {
    try {
      ex.context.trackedObjects.add(obj);
      tracks.push(obj);
    } catch {
      // Not trackable any more (an expired path): its next use fails on
      // the request that uses it, with Office.js's own error.
      ex.table.forgetTracked(obj);
    }
  }
  into.push({ marker, req: null, tracks });
}

/**
 * @param {import("./executor.mjs").Executor} ex @param {unknown} exc @param {Section[]} all
 * @param {(Section & {req: Req, plan: Plan})[]} planned  the sections of `all` that wait for the sync
 * @param {object[]} untrack @param {string} prefix
 * @returns {Promise<Req[]>} the requests to plan again
 */
async function afterFailedSync(ex, exc, all, planned, untrack, prefix) {
  const retrackAll = () => all.forEach((s) => s.tracks && restoreTracks(ex, s.tracks));
  if (exc instanceof HangError) {
    ex.stats.hangs += 1;
    failAll(ex, planned, exc);
    // The context may never answer again: start over with a new one and
    // let the transport reconnect (the kernel's proxies become stale).
    ex.newContext();
    ex.onHang();
    return [];
  }
  const error = /** @type {any} */ (exc);
  if (!(exc instanceof ex.OfficeExtension.Error)) {
    // Not Excel's own failure, so the markers cannot be trusted to say
    // what ran: fail every request rather than risk running one twice.
    ex.table.restoreUntracks(untrack);
    retrackAll();
    failAll(ex, planned, exc);
    return [];
  }
  if (error.code === CELL_EDIT_CODE) {
    ex.table.restoreUntracks(untrack);
    retrackAll();
    return afterCellEdit(ex, planned, exc);
  }
  if (PAYLOAD_CODES.has(error.code)) return afterPayloadLimit(ex, exc, planned, untrack, retrackAll);
  const ran = new Set(Array.isArray(error.traceMessages) ? error.traceMessages : []);
  if (ran.has(prefix + "end")) {
    // Only the untracking failed; every request's actions ran.
    for (const { req, plan: p } of planned) ex.finish(req, p);
    return [];
  }
  ex.table.restoreUntracks(untrack);
  let failing = -1;
  all.forEach(({ marker }, i) => {
    if (ran.has(marker)) failing = i;
  });
  /** @type {Req[]} */
  const again = [];
  if (failing < 0) {
    retrackAll();
    for (const { req, plan: p } of planned) {
      dropTracked(ex, p);
      if (p.pure && !req.retriedBlind) {
        req.retriedBlind = true;
        again.push(req);
      } else {
        ex.fail(req, new RequestError(`${errorText(exc)} [Excel did not say which command failed; this request may or may not have taken effect]`));
      }
    }
    ex.stats.retried += again.length;
    return again;
  }
  all.forEach((s, i) => {
    const { req, plan: p } = s;
    if (i < failing) {
      // It ran. A read's data came with the failed answer only.
      if (req === null || p === undefined) return;
      if (p.effectOnly) ex.finish(req, p);
      else if (p.pure) again.push(req);
      else ex.fail(req, new RequestError(`${errorText(exc)} [raised by a request sent with this one; this call ran, but its result was lost]`));
    } else if (i === failing) {
      dropTracked(ex, p);
      if (req !== null) ex.fail(req, exc);
      else if (s.deferred !== undefined) ex.breakObject(s.deferred.obj, `${s.deferred.label}: ${errorText(exc)}`);
      else s.tracks?.forEach((obj) => ex.table.forgetTracked(obj));
    } else if (req !== null) {
      dropTracked(ex, p);
      again.push(req);
    } else if (s.tracks !== undefined) {
      restoreTracks(ex, s.tracks);
    }
  });
  ex.stats.retried += again.length;
  return again;
}

/**
 * Nothing of the batch ran: try it again after a pause, for a bounded time.
 * @param {import("./executor.mjs").Executor} ex @param {(Section & {req: Req, plan: Plan})[]} planned @param {unknown} exc
 */
async function afterCellEdit(ex, planned, exc) {
  const startedAt = (ex.cellEditSince ??= Date.now());
  const waited = Date.now() - startedAt;
  if (waited >= ex.cellEditMs) {
    ex.cellEditSince = null;
    ex.cellEditPauses = 0;
    const message = `${CELL_EDIT_CODE}: Excel is editing a cell and refuses every request until the edit ends; ` +
      `finish editing the cell (press Enter or Esc) and run it again. (Tried for ${Math.round(waited / 1000)} s; Excel said: ${/** @type {any} */ (exc).message})`;
    failAll(ex, planned, new RequestError(message));
    return [];
  }
  for (const { plan: p } of planned) dropTracked(ex, p);
  ex.stats.cellEditRetries += 1;
  const pause = Math.min(1000, 50 * 2 ** Math.min(ex.cellEditPauses++, 5), ex.cellEditMs - waited);
  await new Promise((resolve) => setTimeout(resolve, pause));
  ex.stats.retried += planned.length;
  return planned.map(({ req }) => req);
}

// Excel's payload limit applies to a sync as a whole, so requests that fit
// one by one may fail together: each is tried again in a sync of its own,
// and only one that fails alone gets the error. A request payload too large
// ran nothing; a response too large ran everything but delivered no data.
/**
 * @param {import("./executor.mjs").Executor} ex @param {any} exc @param {(Section & {req: Req, plan: Plan})[]} planned
 * @param {object[]} untrack @param {() => void} retrackAll
 */
function afterPayloadLimit(ex, exc, planned, untrack, retrackAll) {
  const nothingRan = exc.code === "RequestPayloadSizeLimitExceeded";
  if (nothingRan) {
    ex.table.restoreUntracks(untrack);
    retrackAll();
  }
  if (planned.length === 1) {
    failAll(ex, planned, exc);
    return [];
  }
  const again = [];
  for (const { req, plan: p } of planned) {
    if (!nothingRan && p.effectOnly) {
      ex.finish(req, p);
      continue;
    }
    if (nothingRan) dropTracked(ex, p);
    req.alone = true;
    again.push(req);
  }
  ex.stats.retried += again.length;
  return again;
}

/** @param {import("./executor.mjs").Executor} ex @param {{req: Req, plan?: Plan}[]} planned @param {unknown} exc */
function failAll(ex, planned, exc) {
  for (const { req, plan: p } of planned) {
    dropTracked(ex, p);
    ex.fail(req, exc);
  }
}

/**
 * Track work whose sync failed before it ran goes back, but for objects broken since.
 * @param {import("./executor.mjs").Executor} ex @param {object[]} tracks
 */
function restoreTracks(ex, tracks) {
  ex.table.restoreTracks(tracks.filter((obj) => ex.brokenMessage(obj) === undefined));
}

/**
 * A result tracked for a request that did not succeed.
 * @param {import("./executor.mjs").Executor} ex @param {Plan} [p]
 */
function dropTracked(ex, p) {
  if (p?.tracked !== undefined) ex.table.forgetTracked(p.tracked);
}

/** @param {import("./executor.mjs").Executor} ex @param {any} ctx */
async function syncWithWatchdog(ex, ctx) {
  /** @type {ReturnType<typeof setTimeout>|undefined} */
  let timer;
  const watchdog = new Promise((_, reject) => {
    timer = setTimeout(
      () => reject(new HangError(`Excel did not finish the request within ${ex.watchdogMs / 1000} s; reconnecting`)),
      ex.watchdogMs);
  });
  try {
    await Promise.race([ctx.sync(), watchdog]);
  } finally {
    clearTimeout(timer);
  }
}
