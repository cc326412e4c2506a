// transport.mjs — the add-in's WebSocket connection to the kernel.
//
// Owns the socket, the frame boundary and reconnection. Every frame from the
// kernel is parsed and checked here, once (wire.parseFrame); what passes goes
// to onFrame, what fails is counted by reason and, when it names a request,
// answered with an error so the kernel's caller does not wait for nothing.
// An oversized frame closes the connection with 1009, as the kernel does.
// After a close the transport comes back with exponential back-off (and
// jitter, so several add-ins do not knock in step). It uses the standard
// WebSocket API only: the browser's, or Node 20's behind --experimental-websocket.

import { CLOSE } from "./protocol.mjs";
import { DEFAULT_LIMITS, FrameError, parseFrame } from "./wire.mjs";

/**
 * @typedef {object} TransportOptions
 * @property {string} url                                   ws://127.0.0.1:PORT/TOKEN
 * @property {(frame: object) => void} onFrame              each frame that passed the checks
 * @property {(requestId: string, message: string) => void} [onRefused]  a request refused at the boundary
 * @property {() => void} [onOpen]                          a connection was established
 * @property {(info: {code: number, reason: string}) => void} [onClose]
 * @property {(error: Error) => void} [onGiveUp]            no connection within retryForMs
 * @property {boolean} [reconnect]                          come back after a close (else stop)
 * @property {number} [retryForMs]                          how long to keep trying without a connection
 * @property {number} [initialDelayMs]
 * @property {number} [maxDelayMs]
 * @property {typeof DEFAULT_LIMITS} [limits]
 * @property {typeof WebSocket} [WebSocketImpl]
 */

export class Transport {
  /** @param {TransportOptions} options */
  constructor({ url, onFrame, onRefused = () => {}, onOpen = () => {}, onClose = () => {}, onGiveUp = () => {},
                reconnect = true, retryForMs = 10_000, initialDelayMs = 50, maxDelayMs = 5_000,
                limits = DEFAULT_LIMITS, WebSocketImpl = globalThis.WebSocket }) {
    if (typeof WebSocketImpl !== "function") {
      throw new Error("No WebSocket implementation: run Node 20 with --experimental-websocket, or use a browser");
    }
    this.url = url;
    this.onFrame = onFrame;
    this.onRefused = onRefused;
    this.onOpen = onOpen;
    this.onClose = onClose;
    this.onGiveUp = onGiveUp;
    this.reconnect = reconnect;
    this.retryForMs = retryForMs;
    this.initialDelayMs = initialDelayMs;
    this.maxDelayMs = maxDelayMs;
    this.limits = limits;
    this.WebSocketImpl = WebSocketImpl;
    /** @type {WebSocket|null} */
    this.socket = null;
    this.stopped = true;
    this.attempt = 0;
    /** @type {ReturnType<typeof setTimeout>|null} */
    this.timer = null;
    this.deadline = 0;
    this.counters = {
      connects: 0, attempts: 0, framesIn: 0, framesOut: 0, unsent: 0,
      /** @type {Record<string, number>} */
      dropped: {},
      /** @type {Record<string, number>} */
      closes: {},
    };
    /** @type {string|null} */
    this.lastError = null;
  }

  get connected() {
    return this.socket !== null && this.socket.readyState === 1;
  }

  /** Start connecting (and keep the connection up while `reconnect` says so). */
  start() {
    this.stopped = false;
    this.deadline = Date.now() + this.retryForMs;
    this.open();
  }

  /** Close for good. */
  stop(code = CLOSE.NORMAL, reason = "add-in stopped") {
    this.stopped = true;
    clearTimeout(this.timer ?? undefined);
    this.socket?.close(code, reason);
  }

  /** Drop the connection and come back (when Excel stalled, for one). */
  restart(reason = "Excel stopped answering") {
    this.socket?.close(CLOSE.STALLED, reason);
  }

  /**
   * Send one text frame; frames for a closed connection are counted and dropped.
   * @param {string} text
   */
  send(text) {
    if (!this.connected) {
      this.counters.unsent += 1;
      return;
    }
    /** @type {WebSocket} */ (this.socket).send(text);
    this.counters.framesOut += 1;
  }

  open() {
    this.counters.attempts += 1;
    /** @type {WebSocket} */
    let socket;
    try {
      socket = new this.WebSocketImpl(this.url);
    } catch (exc) {
      this.stopped = true;
      this.onGiveUp(/** @type {Error} */ (exc));
      return;
    }
    this.socket = socket;
    let opened = false;
    socket.onopen = () => {
      opened = true;
      this.attempt = 0;
      this.counters.connects += 1;
      this.onOpen();
    };
    socket.onmessage = (event) => this.receive(socket, event.data);
    socket.onerror = (/** @type {any} */ event) => {
      this.lastError = event?.message ?? event?.error?.message ?? "connection error";
    };
    socket.onclose = (/** @type {any} */ event) => {
      if (this.socket === socket) this.socket = null;
      const code = event?.code ?? 1006;
      this.counters.closes[code] = (this.counters.closes[code] ?? 0) + 1;
      if (opened) {
        this.deadline = Date.now() + this.retryForMs;
        this.onClose({ code, reason: event?.reason ?? "" });
      }
      if (this.stopped) return;
      if (opened && !this.reconnect) {
        this.stopped = true;
        return;
      }
      if (Date.now() > this.deadline) {
        this.stopped = true;
        this.onGiveUp(new Error(`could not connect to ${redact(this.url)}: ${this.lastError ?? `closed with ${code}`}`));
        return;
      }
      this.timer = setTimeout(() => this.open(), this.delay());
    };
  }

  delay() {
    const base = Math.min(this.maxDelayMs, this.initialDelayMs * 2 ** this.attempt);
    this.attempt = Math.min(this.attempt + 1, 30);
    return base / 2 + Math.random() * (base / 2);
  }

  /** @param {WebSocket} socket @param {unknown} data */
  receive(socket, data) {
    this.counters.framesIn += 1;
    let frame;
    try {
      frame = parseFrame(data, this.limits);
    } catch (exc) {
      if (!(exc instanceof FrameError)) throw exc;
      this.counters.dropped[exc.reason] = (this.counters.dropped[exc.reason] ?? 0) + 1;
      this.lastError = exc.message;
      if (exc.reason === "oversized") socket.close(CLOSE.TOO_BIG, "frame too large");
      else if (exc.requestId !== undefined) this.onRefused(exc.requestId, `Malformed request: ${exc.message}`);
      return;
    }
    this.onFrame(frame);
  }
}

/** The URL without its token, for messages and logs. */
export function redact(/** @type {unknown} */ url) {
  return String(url).replace(/^(wss?:\/\/[^/]+)\/.*$/, "$1/…");
}

/**
 * The URL to connect to: URL + "/" + token, or URL as it is when no token is given.
 * @param {string} url @param {string} [token]
 */
export function kernelUrl(url, token) {
  if (token === undefined || token === null || token === "") return url;
  return url.replace(/\/+$/, "") + "/" + encodeURIComponent(token);
}
