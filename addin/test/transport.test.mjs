// The transport over a scripted WebSocket (Node has no WebSocket server of its
// own; the real socket is exercised by the end-to-end suite against the kernel).
import { test } from "node:test";
import assert from "node:assert/strict";
import { CLOSE } from "../src/protocol.mjs";
import { Transport, kernelUrl, redact } from "../src/transport.mjs";
import { startAddin } from "../src/addin.mjs";
import { createOfficeDouble } from "./office-double/index.mjs";

function fakeWebSocket(script) {
  const sockets = [];
  class FakeSocket {
    constructor(url) {
      this.url = url;
      this.readyState = 0;
      this.sent = [];
      sockets.push(this);
      const refuse = script.shift() === "refuse";
      setImmediate(() => {
        if (refuse) {
          this.readyState = 3;
          this.onerror?.({ message: "handshake refused" });
          this.onclose?.({ code: 1006, reason: "" });
        } else {
          this.readyState = 1;
          this.onopen?.();
        }
      });
    }
    send(text) { this.sent.push(text); }
    close(code = 1000, reason = "") {
      if (this.readyState === 3) return;
      this.readyState = 3;
      this.closedWith = code;
      setImmediate(() => this.onclose?.({ code, reason }));
    }
    deliver(data) { this.onmessage?.({ data }); }
  }
  return { FakeSocket, sockets };
}

/** A promise for the next call of a callback, failing after a bound. */
function nextCall(holder, key, ms = 60_000) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`${key} was not called within ${ms} ms`)), ms);
    holder[key] = (...args) => {
      clearTimeout(timer);
      resolve(args);
    };
  });
}

test("frames are checked at the boundary; bad ones are counted, answered or close the socket", async () => {
  const { FakeSocket, sockets } = fakeWebSocket([]);
  const frames = [];
  const refused = [];
  const events = {};
  const transport = new Transport({
    url: "ws://127.0.0.1:1/tok", WebSocketImpl: FakeSocket,
    limits: { maxFrameChars: 200, maxReleaseIds: 10, maxArgs: 4 },
    onFrame: (f) => frames.push(f), onRefused: (id, m) => refused.push([id, m]),
    onOpen: () => events.open?.(), onClose: (info) => events.close?.(info), reconnect: false,
  });
  const opened = nextCall(events, "open");
  transport.start();
  await opened;
  const socket = sockets[0];
  socket.deliver('{"kind":"diag","diagId":"d1"}');
  socket.deliver("{oops");
  socket.deliver('{"kind":"request","requestId":"r9","method":"GET","caller":"x","name":"a"}');
  transport.send("answer");
  assert.deepEqual(frames, [{ kind: "diag", diagId: "d1" }]);
  assert.equal(refused[0][0], "r9");
  assert.match(refused[0][1], /caller/);
  assert.deepEqual(transport.counters.dropped, { malformed_json: 1, bad_member: 1 });
  assert.deepEqual(socket.sent, ["answer"]);
  const closed = nextCall(events, "close");
  socket.deliver("x".repeat(201));
  const [info] = await closed;
  assert.equal(info.code, CLOSE.TOO_BIG);
  transport.send("late");
  assert.equal(transport.counters.unsent, 1);
  assert.equal(sockets.length, 1, "no reconnect without --reconnect");
});

test("reconnects with back-off after a close and after refused handshakes, then gives up", async () => {
  const { FakeSocket, sockets } = fakeWebSocket(["open", "refuse", "refuse", "open"]);
  const events = {};
  let opens = 0;
  const transport = new Transport({
    url: "ws://127.0.0.1:1/tok", WebSocketImpl: FakeSocket, onFrame: () => {},
    onOpen: () => { opens += 1; events.open?.(); }, onGiveUp: (e) => events.giveUp?.(e),
    reconnect: true, initialDelayMs: 1, maxDelayMs: 4, retryForMs: 60_000,
  });
  let opened = nextCall(events, "open");
  transport.start();
  await opened;
  opened = nextCall(events, "open");
  transport.restart();
  await opened;
  assert.equal(opens, 2);
  assert.equal(sockets.length, 4);
  assert.equal(sockets[0].closedWith, CLOSE.STALLED);
  assert.deepEqual(transport.counters.closes, { 1006: 2, [CLOSE.STALLED]: 1 });
  transport.stop();
  // With nothing listening, it stops trying once retryForMs has passed.
  const lonely = fakeWebSocket(Array(1000).fill("refuse"));
  const gaveUp = nextCall(events, "giveUp");
  new Transport({ url: "ws://127.0.0.1:1/secret", WebSocketImpl: lonely.FakeSocket, onFrame: () => {},
    onGiveUp: (e) => events.giveUp(e), initialDelayMs: 1, maxDelayMs: 2, retryForMs: 30 }).start();
  const [error] = await gaveUp;
  assert.match(error.message, /could not connect to ws:\/\/127\.0\.0\.1:1\/…: handshake refused/);
  assert.ok(!error.message.includes("secret"));
});

test("the URL takes the token as its path", () => {
  assert.equal(kernelUrl("ws://127.0.0.1:5/", "a-b_c"), "ws://127.0.0.1:5/a-b_c");
  assert.equal(kernelUrl("ws://127.0.0.1:5/tok"), "ws://127.0.0.1:5/tok");
  assert.equal(redact("ws://127.0.0.1:5/tok"), "ws://127.0.0.1:5/…");
});

test("the assembled add-in answers over its socket and starts a session per connection", async () => {
  const { FakeSocket, sockets } = fakeWebSocket([]);
  const office = createOfficeDouble({ settings: { "doc.only": "from the workbook" } });
  const events = {};
  const opened = nextCall(events, "status");
  const addin = startAddin({ ...office, url: "ws://127.0.0.1:1", token: "tok", config: { "doc.only": "shadowed", own: 1 },
    WebSocketImpl: FakeSocket, onStatus: (e) => events.status?.(e) });
  assert.deepEqual(await opened, [{ state: "connected" }]);
  assert.equal(sockets[0].url, "ws://127.0.0.1:1/tok");
  const answered = new Promise((resolve) => { sockets[0].send = resolve; });
  sockets[0].deliver(JSON.stringify({ kind: "request", requestId: "r1", method: "CALL", caller: 2, name: "__call__",
    args: [{ arg_type: "PLACED", value: { type: "String", value: "doc.only", isSpec: false } }] }));
  const answer = JSON.parse(await answered);
  assert.deepEqual(answer.result, { type: "String", value: "from the workbook", isSpec: false });
  assert.equal(addin.diagnostics().sessions, 1);
  addin.stop();
});
