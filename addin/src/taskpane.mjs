// taskpane.mjs — the task pane page: connects the executor to the kernel that
// served this page and shows how the connection is doing.
//
// Owns the page's start-up (Office.onReady, the token from the URL fragment,
// the kernel's address from the page's own origin) and its small UI: the
// connection state, the kernel's address, counters (requests, syncs,
// callbacks, errors), the last error and a reconnect button. The add-in
// itself (executor, settings, transport) is addin.mjs's; reconnection with
// back-off is the transport's: the page only shows it and can cut a wait short.
//
// The page is served by the kernel itself, so the WebSocket goes to the
// page's own origin (ws: beside http:, wss: beside https:): no mixed content,
// no local-network permission prompt, and the kernel's Origin check admits it.

import { startAddin } from "./addin.mjs";
import { CLOSE } from "./protocol.mjs";

/** @typedef {import("./executor.mjs").Executor} Executor */
/** @typedef {import("./transport.mjs").Transport} Transport */

const TOKEN_KEY = "velmara.kernel.token";

// What a close code means to the person looking at the pane.
/** @type {Record<string, string>} */
const CLOSE_TEXT = {
  [CLOSE.NORMAL]: "closed",
  1001: "the kernel went away",
  1006: "connection lost",
  [CLOSE.TOO_BIG]: "a message was too large",
  1012: "the kernel dropped the connection",
  [CLOSE.STALLED]: "Excel stopped answering",
};
const RENDER_MS = 250;

/**
 * The kernel's token: from the URL fragment the kernel printed (browsers never
 * send fragments to a server), else from this tab's session storage, so a
 * reload of the pane still finds it. The fragment is then taken out of the
 * address bar so that it does not show on a shared screen.
 * @param {Location} location @param {Storage|null} storage @param {History|null} history
 * @returns {string|null}
 */
export function takeToken(location, storage, history) {
  const fields = new URLSearchParams(String(location.hash || "").replace(/^#/, ""));
  const token = fields.get("token");
  if (token) {
    try {
      storage?.setItem(TOKEN_KEY, token);
    } catch { /* storage may be disabled; the fragment still worked this time */ }
    try {
      // Office.js removes history.replaceState in some hosts.
      if (typeof history?.replaceState === "function") history.replaceState(null, "", location.pathname + location.search);
    } catch { /* keeping the fragment is harmless */ }
    return token;
  }
  try {
    return storage?.getItem(TOKEN_KEY) ?? null;
  } catch {
    return null;
  }
}

/**
 * The kernel's WebSocket address: the origin this page came from.
 * @param {Location} location
 */
export function kernelAddress(location) {
  return `${location.protocol === "https:" ? "wss:" : "ws:"}//${location.host}`;
}

/**
 * The counters the pane shows, from the executor's diagnostics.
 * @param {import("./executor.mjs").Executor} executor @param {import("./transport.mjs").Transport} transport
 */
export function counters(executor, transport) {
  const { requests, syncs, callbacks, errors } = executor.stats;
  const dropped = Object.values(transport.counters.dropped).reduce((a, b) => a + b, 0);
  return {
    requests: Object.values(requests).reduce((a, b) => a + b, 0),
    syncs,
    callbacks: callbacks.sent,
    errors: errors + dropped,
  };
}

/**
 * Start the pane: wait for Office, connect, keep the view current.
 * @param {{window: any, document: Document}} env
 */
export async function startTaskPane({ window, document }) {
  const element = (/** @type {string} */ id) => /** @type {HTMLElement} */ (document.getElementById(id));
  const view = {
    state: element("state"),
    address: element("address"),
    lastError: element("last-error"),
    retry: element("retry"),
    button: element("reconnect"),
    counts: Object.fromEntries(["requests", "syncs", "callbacks", "errors"].map((id) => [id, element(id)])),
  };
  /** @type {{state: string, detail: string, lastError: string|null}} */
  const ui = { state: "starting", detail: "", lastError: null };

  const show = () => {
    document.body.dataset.state = ui.state;
    document.body.dataset.error = ui.lastError ? "yes" : "no";
    view.state.textContent = ui.state;
    view.retry.textContent = ui.detail;
    view.lastError.textContent = ui.lastError ?? "none";
    if (pane.executor) {
      for (const [name, value] of Object.entries(counters(pane.executor, /** @type {Transport} */ (pane.transport)))) {
        view.counts[name].textContent = String(value);
      }
    }
  };
  /** @type {{executor: Executor|null, transport: Transport|null, ui: typeof ui, show: () => void}} */
  const pane = { executor: null, transport: null, ui, show };
  window.velmaraTaskPane = pane;

  const address = kernelAddress(window.location);
  view.address.textContent = address;
  const token = takeToken(window.location, window.sessionStorage ?? null, window.history ?? null);
  if (!token) {
    ui.state = "failed";
    ui.lastError = "No kernel token: open the address the kernel printed, or load the manifest it wrote.";
    show();
    return pane;
  }

  await window.Office.onReady();
  const addin = startAddin({
    Excel: window.Excel,
    OfficeExtension: window.OfficeExtension,
    Office: window.Office,
    url: address,
    token,
    retryForMs: Infinity, // a task pane waits for its kernel as long as it is open
    onStatus: ({ state, detail }) => {
      if (state === "connected") {
        ui.state = "connected";
        ui.detail = "";
      } else if (state === "disconnected") {
        ui.state = "waiting";
        ui.lastError = `${CLOSE_TEXT[detail ?? ""] ?? "connection closed"} (code ${detail})`;
      } else {
        ui.state = "failed";
        ui.lastError = detail ?? null;
      }
      show();
    },
  });
  const { executor, transport } = addin;
  // The last error the add-in answered a request with, for the view.
  const respond = executor.respond.bind(executor);
  executor.respond = (requestId, /** @type {any} */ body) => {
    if (!body.ok) ui.lastError = body.error?.message ?? "request failed";
    respond(requestId, body);
  };
  pane.executor = executor;
  pane.transport = transport;

  // Attempts that never opened (a kernel not yet up, a refused token) show
  // here too: the transport reports only connections that opened.
  const watch = () => {
    if (transport.connected) ui.state = "connected";
    else if (!transport.stopped) {
      ui.state = transport.socket !== null ? "connecting" : "waiting";
      ui.detail = `attempt ${transport.counters.attempts}`;
    }
    if (transport.lastError) {
      // Browsers hide why a handshake failed (a 403 and a closed port look alike).
      ui.lastError = transport.lastError === "connection error"
        ? `cannot connect to ${address}: the kernel is not running, or it refused this page (an old token?)`
        : transport.lastError;
      transport.lastError = null;
    }
    show();
  };
  view.button.addEventListener("click", () => reconnectNow(transport));
  window.setInterval(watch, RENDER_MS);
  if (!transport.connected) ui.state = "connecting";
  show();
  return pane;
}

/**
 * Cut a back-off wait short, or drop a live connection and come back.
 * @param {import("./transport.mjs").Transport} transport
 */
export function reconnectNow(transport) {
  if (transport.connected) {
    transport.restart("reconnect asked from the task pane");
    return;
  }
  clearTimeout(transport.timer ?? undefined);
  transport.attempt = 0;
  if (transport.stopped) transport.start();
  else if (transport.socket === null) transport.open();
}

if (typeof window !== "undefined" && typeof document !== "undefined" && document.getElementById("state")) {
  startTaskPane({ window, document }).catch((exc) => {
    document.body.dataset.state = "failed";
    /** @type {HTMLElement} */ (document.getElementById("state")).textContent = "failed";
    /** @type {HTMLElement} */ (document.getElementById("last-error")).textContent = String(exc?.message ?? exc);
  });
}
