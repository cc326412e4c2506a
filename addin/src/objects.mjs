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
// request context: an object stays tracked while any id names it or any bound
// function holds it. Untracking is only recorded here (`takeUntracks`); the
// executor queues it so that it rides on the next sync.

export const ROOT_CONTEXT = 0;
export const ROOT_EXCEL = 1;
export const ROOT_GET_SETTING = 2;
export const ROOTS = Object.freeze([ROOT_CONTEXT, ROOT_EXCEL, ROOT_GET_SETTING]);

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
  /**
   * @param {(obj: object) => boolean} trackable  whether the request context tracks this object
   */
  constructor(trackable) {
    this.trackable = trackable;
    /** @type {Map<number, {value: unknown, count: number}>} */
    this.entries = new Map();
    /** @type {Map<unknown, number>} the current id of each live object */
    this.byValue = new Map();
    /** @type {Map<object, number>} how many entries keep a trackable object */
    this.keeps = new Map();
    /** @type {Set<object>} objects tracked by the context */
    this.tracked = new Set();
    /** @type {Set<object>} objects to track at the next sync */
    this.toTrack = new Set();
    /** @type {Set<object>} objects to untrack at the next sync */
    this.toUntrack = new Set();
    this.staleDels = 0;
  }

  /** Pin a root object under its fixed id. */
  pin(id, value) {
    this.entries.set(id, { value, count: Infinity });
  }

  /** Number of ids that name something, the pinned roots included. */
  get size() {
    return this.entries.size;
  }

  /**
   * Count one more reference to a live object and return its id. The same
   * object sent twice keeps its id while the kernel holds it.
   * @param {unknown} value
   */
  ref(value) {
    let id = this.byValue.get(value);
    if (id !== undefined) {
      this.entries.get(id).count += 1;
      return id;
    }
    id = nextId++;
    this.entries.set(id, { value, count: 1 });
    this.byValue.set(value, id);
    this.keep(value instanceof BoundFunction ? value.target : value);
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
      if (id !== -1) this.staleDels += 1;
      return;
    }
    if (entry.count === Infinity) return;
    entry.count -= 1;
    if (entry.count > 0) return;
    this.entries.delete(id);
    this.byValue.delete(entry.value);
    this.unkeep(entry.value instanceof BoundFunction ? entry.value.target : entry.value);
  }

  /** Forget every object of a previous connection; ids keep counting. */
  newSession() {
    for (const [id, entry] of [...this.entries]) {
      if (entry.count === Infinity) continue;
      entry.count = 1;
      this.release(id);
    }
  }

  /** Objects to track now; the caller queues trackedObjects.add for each. */
  takeTracks() {
    const objects = [...this.toTrack];
    this.toTrack.clear();
    for (const obj of objects) this.tracked.add(obj);
    return objects;
  }

  /** Objects to untrack; the caller queues them on a sync it makes anyway. */
  takeUntracks() {
    const objects = [...this.toUntrack];
    this.toUntrack.clear();
    for (const obj of objects) this.tracked.delete(obj);
    return objects;
  }

  /** Put back untrack work whose sync failed before it ran. */
  restoreUntracks(objects) {
    for (const obj of objects) {
      if (!this.keeps.has(obj)) {
        this.tracked.add(obj);
        this.toUntrack.add(obj);
      }
    }
  }

  /** An object tracked by the caller directly (a method's result, before its sync). */
  markTracked(obj) {
    this.tracked.add(obj);
  }

  /** A directly tracked object that never got an id (its request failed). */
  forgetTracked(obj) {
    if (!this.keeps.has(obj)) this.tracked.delete(obj);
  }

  /** Drop all tracking state (a new request context knows none of it). */
  forgetTracking() {
    this.tracked.clear();
    this.toTrack.clear();
    this.toUntrack.clear();
  }

  keep(obj) {
    if (!this.trackable(obj)) return;
    const n = this.keeps.get(obj) ?? 0;
    this.keeps.set(obj, n + 1);
    if (n > 0) return;
    if (this.toUntrack.delete(obj)) return; // still tracked: the untrack never went out
    if (!this.tracked.has(obj)) this.toTrack.add(obj);
  }

  unkeep(obj) {
    if (!this.trackable(obj)) return;
    const n = this.keeps.get(obj) - 1;
    if (n > 0) {
      this.keeps.set(obj, n);
      return;
    }
    this.keeps.delete(obj);
    if (this.toTrack.delete(obj)) return; // never tracked: nothing to undo
    if (this.tracked.has(obj)) this.toUntrack.add(obj);
  }
}
