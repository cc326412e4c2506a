// objects.mjs — the object table: which id names which live object.
//
// Owns ids and reference counts. The kernel makes one proxy per reference it
// receives and releases each one, so every reference sent counts once and
// every released id once; at zero the id is forgotten. Ids 0, 1, 2 are the
// pinned roots; -1 names data snapshots, which are never stored. Other ids
// start at a random base and are never handed out twice in a process, across
// connections included (a release carries no epoch).
//
// The table also decides when an Office.js object stops being tracked by the
// request context. Only objects whose identity does not survive a sync need
// tracking (ranges: see executor-members.mjs); every other object given an id may hang
// on one (a range's format, its worksheet), its "anchor", and keeps that one
// tracked. An anchor stays tracked while any id or bound function holds it.
// Tracking changes are only recorded here (`takeTracks`, `takeUntracks`); the
// executor queues them so that they ride on the next sync.

import { ID } from "./protocol.mjs";

/** A method of a live object, answered as a "Function" reference. */
export class BoundFunction {
  /** @param {object} target @param {string} name */
  constructor(target, name) {
    this.target = target;
    this.name = name;
  }
}

// One id counter per process: a reconnected add-in must not hand out an id
// that a proxy of its previous connection still holds. The base stays far
// below 2**53 so ids are exact JSON numbers for a very long time.
let nextId = 3 + Math.floor(Math.random() * 2 ** 20) * 2 ** 24;

export class ObjectTable {
  constructor() {
    /** @type {Map<number, {value: unknown, count: number, anchor: object|null}>} */
    this.entries = new Map();
    /** @type {Map<unknown, number>} the current id of each live object */
    this.byValue = new Map();
    /** @type {Map<object, number>} how many entries keep an anchor */
    this.keeps = new Map();
    /** @type {Set<object>} objects tracked by the context */
    this.tracked = new Set();
    /** @type {Set<object>} objects to track at the next sync */
    this.toTrack = new Set();
    /** @type {Set<object>} objects to untrack at the next sync */
    this.toUntrack = new Set();
    this.staleDels = 0;
  }

  /**
   * Pin a root object under its fixed id.
   * @param {number} id @param {unknown} value
   */
  pin(id, value) {
    this.entries.set(id, { value, count: Infinity, anchor: null });
  }

  /** Number of ids that name something, the pinned roots included. */
  get size() {
    return this.entries.size;
  }

  /**
   * Count one more reference to a live object and return its id. The same
   * object sent twice keeps its id while the kernel holds it.
   * @param {unknown} value
   * @param {object|null} anchor  the object to keep tracked while the id lives, if any
   * @returns {number}
   */
  ref(value, anchor) {
    let id = this.byValue.get(value);
    if (id !== undefined) {
      const entry = /** @type {{count: number}} */ (this.entries.get(id));
      entry.count += 1;
      return id;
    }
    id = nextId++;
    this.entries.set(id, { value, count: 1, anchor });
    this.byValue.set(value, id);
    if (anchor !== null) this.keep(anchor);
    return id;
  }

  /** @param {number} id @returns {unknown} the object, or undefined for an unknown id */
  get(id) {
    return this.entries.get(id)?.value;
  }

  /**
   * Release one reference. Unknown ids (released already, of an earlier
   * connection, or never sent) are counted and ignored; roots and the
   * snapshot id are never counted down.
   * @param {number} id
   */
  release(id) {
    const entry = this.entries.get(id);
    if (entry === undefined) {
      if (id !== ID.SNAPSHOT) this.staleDels += 1;
      return;
    }
    if (entry.count === Infinity) return;
    entry.count -= 1;
    if (entry.count > 0) return;
    this.entries.delete(id);
    this.byValue.delete(entry.value);
    if (entry.anchor !== null) this.unkeep(entry.anchor);
  }

  /** Forget every object of a previous connection; ids keep counting. */
  newSession() {
    for (const [id, entry] of [...this.entries]) {
      if (entry.count === Infinity) continue;
      entry.count = 1;
      this.release(id);
    }
  }

  /** @returns {object[]} objects to track now; the caller queues trackedObjects.add for each */
  takeTracks() {
    const objects = [...this.toTrack];
    this.toTrack.clear();
    for (const obj of objects) this.tracked.add(obj);
    return objects;
  }

  /** @returns {object[]} objects to untrack; the caller queues them on a sync it makes anyway */
  takeUntracks() {
    const objects = [...this.toUntrack];
    this.toUntrack.clear();
    for (const obj of objects) this.tracked.delete(obj);
    return objects;
  }

  /**
   * Put back untrack work whose sync failed before it ran.
   * @param {object[]} objects
   */
  restoreUntracks(objects) {
    for (const obj of objects) {
      if (!this.keeps.has(obj)) {
        this.tracked.add(obj);
        this.toUntrack.add(obj);
      }
    }
  }

  /**
   * Put back track work whose sync failed before it ran.
   * @param {object[]} objects
   */
  restoreTracks(objects) {
    for (const obj of objects) {
      this.tracked.delete(obj);
      if (this.keeps.has(obj)) this.toTrack.add(obj);
    }
  }

  /**
   * An object the caller tracked itself (a method's result, before its sync).
   * @param {object} obj
   */
  markTracked(obj) {
    this.tracked.add(obj);
  }

  /**
   * An object Office.js cannot track (its lookup failed): never tracked, never untracked.
   * @param {object} obj
   */
  forgetTracked(obj) {
    this.tracked.delete(obj);
    this.toTrack.delete(obj);
    this.toUntrack.delete(obj);
  }

  /** Drop all tracking state (a new request context knows none of it). */
  forgetTracking() {
    this.tracked.clear();
    this.toTrack.clear();
    this.toUntrack.clear();
  }

  /** @param {object} obj */
  keep(obj) {
    const n = this.keeps.get(obj) ?? 0;
    this.keeps.set(obj, n + 1);
    if (n > 0) return;
    if (this.toUntrack.delete(obj)) return; // still tracked: the untrack never went out
    if (!this.tracked.has(obj)) this.toTrack.add(obj);
  }

  /** @param {object} obj */
  unkeep(obj) {
    const n = (this.keeps.get(obj) ?? 1) - 1;
    if (n > 0) {
      this.keeps.set(obj, n);
      return;
    }
    this.keeps.delete(obj);
    if (this.toTrack.delete(obj)) return; // never tracked: nothing to undo
    if (this.tracked.has(obj)) this.toUntrack.add(obj);
  }
}
