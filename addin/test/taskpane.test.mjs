// The task pane's start-up rules: where the token comes from and where it goes.
import { test } from "node:test";
import assert from "node:assert/strict";
import { kernelAddress, reconnectNow, takeToken } from "../src/taskpane.mjs";

function memoryStorage(initial = {}) {
  const items = new Map(Object.entries(initial));
  return { getItem: (k) => items.get(k) ?? null, setItem: (k, v) => items.set(k, String(v)), items };
}

test("the token comes from the fragment, is kept for a reload and leaves the address bar", () => {
  const storage = memoryStorage();
  const replaced = [];
  const history = { replaceState: (_state, _title, url) => replaced.push(url) };
  const location = { hash: "#token=abc-DEF_12", pathname: "/taskpane.html", search: "?_host_Info=Excel" };
  assert.equal(takeToken(location, storage, history), "abc-DEF_12");
  assert.deepEqual(replaced, ["/taskpane.html?_host_Info=Excel"]);
  // A reload without the fragment finds it again; a tab that never had one does not.
  assert.equal(takeToken({ hash: "", pathname: "/taskpane.html", search: "" }, storage, history), "abc-DEF_12");
  assert.equal(takeToken({ hash: "", pathname: "/", search: "" }, memoryStorage(), null), null);
  // Office.js may have removed replaceState; storage may throw: the token still arrives.
  const throwing = { getItem() { throw new Error("denied"); }, setItem() { throw new Error("denied"); } };
  assert.equal(takeToken({ hash: "#token=t", pathname: "/", search: "" }, throwing, {}), "t");
});

test("the socket goes to the page's own origin, wss beside https", () => {
  assert.equal(kernelAddress({ protocol: "http:", host: "127.0.0.1:8765" }), "ws://127.0.0.1:8765");
  assert.equal(kernelAddress({ protocol: "https:", host: "localhost:8443" }), "wss://localhost:8443");
});

test("reconnect now cuts a back-off wait short and restarts a live connection", () => {
  const calls = [];
  const waiting = { connected: false, stopped: false, socket: null, timer: setTimeout(() => calls.push("late"), 60_000),
                    attempt: 5, open: () => calls.push("open"), start: () => calls.push("start") };
  reconnectNow(waiting);
  assert.deepEqual(calls, ["open"]);
  assert.equal(waiting.attempt, 0);
  const live = { connected: true, restart: (why) => calls.push(`restart: ${why}`) };
  reconnectNow(live);
  assert.match(calls.at(-1), /^restart: /);
  const gaveUp = { connected: false, stopped: true, socket: null, timer: null, open: () => calls.push("open"), start: () => calls.push("start") };
  reconnectNow(gaveUp);
  assert.equal(calls.at(-1), "start");
});
