// node-host.mjs — the add-in as a Node process: the executor over the Office.js
// double, connected to a kernel the way the task pane connects.
//
//   VELMARA_TOKEN=TOKEN node addin/node-host.mjs --url ws://127.0.0.1:PORT
//        [--reconnect] [--retry-for SECONDS] [--watchdog SECONDS]
//        [--settings JSON] [--document-settings JSON] [--display-language TAG]
//
// The token comes from the environment only: a process's arguments are
// readable by every local user, its environment by its owner alone, so a
// --token option (or a token in the URL's path) is refused rather than
// taken. velmara-run starts this far end that way (kernel/farend.py).
//
// --settings is the add-in's own configuration and --document-settings the
// workbook's settings store; GetSetting reads the workbook's first.
// --display-language is Office's UI language (Office.context.displayLanguage),
// the language of the double's error messages.

import { parseArgs } from "node:util";
import { startAddin } from "./src/addin.mjs";
import { kernelUrl, redact } from "./src/transport.mjs";
import { createOfficeDouble } from "./test/office-double/index.mjs";

const TOKEN_VARIABLE = "VELMARA_TOKEN";

// The add-in's configuration when --settings gives none (the README's
// GetSetting examples read it).
const DEFAULT_SETTINGS = Object.freeze({
  "user.name": "Ada Lovelace",
  "user.locale": "en-GB",
  "workbook.currency": "GBP",
  "calc.iterations": 100,
  "calc.precision": 1e-6,
  "feature.preview": false,
});

function jsonOption(text, what) {
  if (text === undefined) return undefined;
  let value;
  try {
    value = JSON.parse(text);
  } catch (exc) {
    throw new Error(`${what} is not JSON: ${exc.message}`);
  }
  if (value === null || typeof value !== "object" || Array.isArray(value)) throw new Error(`${what} must be a JSON object`);
  return value;
}

function main(argv) {
  const { values } = parseArgs({
    args: argv,
    options: {
      url: { type: "string" },
      reconnect: { type: "boolean", default: false },
      "retry-for": { type: "string", default: "10" },
      // Below the kernel's 30 s request time-out, so the error reaches the caller.
      watchdog: { type: "string", default: "20" },
      settings: { type: "string" },
      "document-settings": { type: "string" },
      "display-language": { type: "string", default: "en-US" },
      token: { type: "string" }, // known only to be refused with the reason
    },
  });
  if (values.token !== undefined || /^wss?:\/\/[^/]+\/./.test(values.url ?? "")) {
    throw new Error(`the token is not taken from the command line (any local user can read it there): ` +
                    `set ${TOKEN_VARIABLE} and give --url without a path`);
  }
  if (values.url === undefined) throw new Error("--url is required (ws://127.0.0.1:PORT)");
  const token = process.env[TOKEN_VARIABLE];
  if (!token) throw new Error(`${TOKEN_VARIABLE} is not set: the far end needs the kernel's token in its environment`);
  if (typeof WebSocket !== "function") throw new Error("Node has no WebSocket here: run Node 22 or later, or Node 20 with --experimental-websocket");
  const retryFor = Number(values["retry-for"]);
  const watchdog = Number(values.watchdog);
  if (!(retryFor >= 0) || !(watchdog > 0)) throw new Error("--retry-for and --watchdog take a number of seconds");

  const office = createOfficeDouble({
    settings: jsonOption(values["document-settings"], "--document-settings") ?? {},
    displayLanguage: values["display-language"],
  });
  const log = (text) => process.stderr.write(`node-host: ${text}\n`);
  const url = kernelUrl(values.url, token);
  const addin = startAddin({
    Excel: office.Excel,
    OfficeExtension: office.OfficeExtension,
    Office: office.Office,
    url,
    config: jsonOption(values.settings, "--settings") ?? DEFAULT_SETTINGS,
    reconnect: values.reconnect,
    retryForMs: retryFor * 1000,
    watchdogMs: watchdog * 1000,
    onStatus: ({ state, detail }) => {
      if (state === "gave-up") process.exitCode = 1;
      log(state === "connected" ? `connected to ${redact(url)}` : `${state}${detail ? ` (${detail})` : ""}`);
    },
  });
  for (const signal of ["SIGTERM", "SIGINT"]) {
    process.on(signal, () => {
      addin.stop();
      process.exit(0);
    });
  }
}

try {
  main(process.argv.slice(2));
} catch (exc) {
  process.stderr.write(`node-host: ${exc.message}\n`);
  process.exit(2);
}
