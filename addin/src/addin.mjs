// addin.mjs — the add-in assembled: executor, settings and transport wired
// together the one way both hosts use (the task pane in Excel and the Node
// far end over the Office.js double).

import { Executor } from "./executor.mjs";
import { makeGetSetting } from "./settings.mjs";
import { Transport, kernelUrl } from "./transport.mjs";

/**
 * @typedef {object} AddinOptions
 * @property {any} Excel                        office.js's Excel namespace (or the double's)
 * @property {any} OfficeExtension
 * @property {any} [Office]                     for the document's settings
 * @property {string} url                       ws://127.0.0.1:PORT, or the full URL with its token
 * @property {string} [token]
 * @property {Record<string, unknown>} [config] the add-in's own settings for GetSetting
 * @property {boolean} [reconnect]
 * @property {number} [retryForMs]
 * @property {number} [watchdogMs]
 * @property {(event: {state: string, detail?: string}) => void} [onStatus]
 *           "connected", "disconnected" (detail: the close code), "gave-up" (detail: why)
 * @property {typeof WebSocket} [WebSocketImpl]
 */

/**
 * Start the add-in: connects, serves the kernel's requests, reconnects.
 * @param {AddinOptions} options
 * @returns {{executor: Executor, transport: Transport, diagnostics: () => object, stop: () => void}}
 */
export function startAddin({ Excel, OfficeExtension, Office, url, token, config = {}, reconnect = true,
                             retryForMs = 10_000, watchdogMs, onStatus = () => {}, WebSocketImpl }) {
  const getSetting = makeGetSetting({ documentSettings: Office?.context?.document?.settings ?? null, config });
  /** @type {Transport} */
  let transport;
  const executor = new Executor({
    Excel,
    OfficeExtension,
    getSetting,
    send: (text) => transport.send(text),
    watchdogMs,
    onHang: () => transport.restart(),
    extraDiagnostics: () => ({
      transport: structuredClone(transport.counters),
      dropped: Object.values(transport.counters.dropped).reduce((a, b) => a + b, 0),
    }),
  });
  transport = new Transport({
    url: kernelUrl(url, token),
    reconnect,
    retryForMs,
    WebSocketImpl,
    onFrame: (frame) => executor.handleFrame(frame),
    onRefused: (requestId, message) => executor.refuse(requestId, message),
    onOpen: () => {
      // The kernel resets its proxies on every connection: start a new session.
      executor.newSession();
      onStatus({ state: "connected" });
    },
    onClose: ({ code }) => onStatus({ state: "disconnected", detail: String(code) }),
    onGiveUp: (error) => onStatus({ state: "gave-up", detail: error.message }),
  });
  transport.start();
  return { executor, transport, diagnostics: () => executor.diagnostics(), stop: () => transport.stop() };
}
