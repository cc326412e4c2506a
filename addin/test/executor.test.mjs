// The executor over the Office.js double: syncs per request kind, batching,
// error attribution, the allow-list, reference counting, callbacks, faults.
import { test } from "node:test";
import assert from "node:assert/strict";
import { grid, harness, placed, str } from "./harness.mjs";

test("the chained read takes one sync; navigation, method references and lookups take none", async () => {
  const h = harness();
  h.control.reset();
  const book = await h.one(h.get(0, "workbook"));
  const sheets = await h.one(h.get(book.value, "worksheets"));
  const getItem = await h.one(h.get(sheets.value, "getItem"));
  assert.deepEqual([book.type, sheets.type, getItem.type], ["Workbook", "WorksheetCollection", "Function"]);
  assert.equal(h.control.syncs, 0);
  const sheet = await h.one(h.call(getItem.value, placed(str("Sheet1"))));
  const range = await h.invoke(sheet.value, "getRange", str("A1"));
  const values = await h.one(h.get(range.value, "values"));
  assert.deepEqual(values, { type: "Array", isSpec: false, id: -1,
    value: [{ type: "Array", isSpec: false, id: -1, value: [{ type: "String", value: "", isSpec: false }] }] });
  assert.equal(h.control.syncs, 1);
  assert.equal(h.executor.diagnostics().syncs, 1);
});

test("syncs per request kind", async () => {
  const h = harness();
  const sheet = await h.sheet();
  const sheets = (await h.one(h.get((await h.one(h.get(0, "workbook"))).value, "worksheets"))).value;
  const range = (await h.invoke(sheet.value, "getRange", str("A1:B1"))).value;
  const cases = [
    ["SET", () => h.one(h.set(range, "values", grid([[1, "x"]]))), 1, { type: "Null", value: null, isSpec: false }],
    ["scalar GET", () => h.one(h.get(range, "address")), 1, str("Sheet1!A1:B1")],
    ["CALL -> nothing", () => h.invoke(sheet.value, "activate"), 1, { type: "Null", value: null, isSpec: false }],
    ["CALL -> ClientResult", () => h.invoke(sheets, "getCount"), 1, { type: "Int", value: 2, isSpec: false }],
    ["GetSetting", () => h.one(h.call(2, placed(str("user.name")))), 0, str("Ada")],
    ["navigation GET", () => h.one(h.get(range, "worksheet")), 0, undefined],
    ["collection items", async () => (await h.one(h.get(sheets, "items"))).value.map((w) => w.type), 1, ["Worksheet", "Worksheet"]],
    ["GETITEM", async () => (await h.one(h.item(sheets, "-1"))).type, 1, "Worksheet"],
    ["GETITEM slice", async () => (await h.one(h.item(sheets, "::-1"))).value.map((w) => w.type), 1, ["Worksheet", "Worksheet"]],
    ["OrNullObject", async () => (await h.invoke(sheets, "getItemOrNullObject", str("nope"))).type, 0, "Worksheet"],
    ["isNullObject after it", async () => {
      const nothing = await h.invoke(sheets, "getItemOrNullObject", str("nope"));
      return (await h.one(h.get(nothing.value, "isNullObject"))).value;
    }, 1, true],
    ["isNullObject once known", async () => {
      const sheet1 = await h.invoke(sheets, "getItemOrNullObject", str("Sheet1"));
      await h.one(h.get(sheet1.value, "name"));
      return (await h.one(h.get(sheet1.value, "isNullObject"))).value;
    }, 1, false],
  ];
  for (const [what, run, syncs, expected] of cases) {
    const before = h.control.syncs;
    const result = await run();
    assert.equal(h.control.syncs - before, syncs, what);
    if (expected !== undefined) assert.deepEqual(result, expected, what);
  }
});

test("requests that arrive together share one sync", async () => {
  const h = harness();
  const sheet = await h.sheet();
  const ranges = [];
  for (let i = 0; i < 8; i++) ranges.push((await h.invoke(sheet.value, "getRange", str(`A${i + 1}:B${i + 1}`))).value);
  const before = h.control.syncs;
  const writes = await h.batch(...ranges.map((r, i) => h.set(r, "values", grid([[i, `t${i}`]]))));
  assert.ok(writes.every((a) => a.ok));
  const reads = await h.batch(...ranges.map((r) => h.get(r, "values")));
  assert.equal(h.control.syncs - before, 2);
  assert.deepEqual(reads.map((a) => a.result.value[0].value[1].value), ranges.map((_, i) => `t${i}`));
  assert.equal(h.executor.diagnostics().batchSizes[8], 2);
});

test("an error in a shared sync goes to the section that caused it; the rest are retried", async () => {
  const h = harness();
  const sheets = (await h.one(h.get((await h.one(h.get(0, "workbook"))).value, "worksheets"))).value;
  const sheet = (await h.sheet()).value;
  const a1 = (await h.invoke(sheet, "getRange", str("A1"))).value;
  const [add, getItem] = [(await h.one(h.get(sheets, "add"))).value, (await h.one(h.get(sheets, "getItem"))).value];
  const b1 = (await h.invoke(sheet, "getRange", str("B1"))).value;
  const before = h.control.syncs;
  const answers = await h.batch(
    h.set(a1, "values", grid([[7]])),
    h.call(add, placed(str("Added"))),
    h.get(a1, "values"),
    h.call(add, placed(str("Sheet2"))),
    h.set(b1, "values", grid([[8]])),
    h.get(a1, "address"),
  );
  assert.deepEqual(answers.map((a) => a.ok), [true, true, true, false, true, true]);
  assert.match(answers[3].error.message, /^ItemAlreadyExists: .*add/);
  assert.equal(answers[1].result.type, "Worksheet");
  assert.equal(answers[2].result.value[0].value[0].value, 7);
  // The sheet was added once: actions before the failure are not repeated.
  assert.deepEqual(h.control.workbook.sheets.map((s) => s.name), ["Sheet1", "Sheet2", "Added"]);
  assert.equal(h.control.syncs - before, 2);
  assert.equal((await h.one(h.get(b1, "values"))).value[0].value[0].value, 8);
  // A lookup is answered at once; its failure goes to each request that uses it.
  const nope = await h.one(h.call(getItem, placed(str("Nope"))));
  assert.equal(nope.type, "Worksheet");
  const uses = await h.batch(h.get(a1, "address"), h.get(nope.value, "name"));
  assert.equal(uses[0].ok, true);
  assert.match(uses[1].error.message, /^getItem\('Nope'\): ItemNotFound: /);
});

test("members outside Office.js prototypes are refused", async () => {
  const h = harness();
  const sheet = (await h.sheet()).value;
  const range = (await h.invoke(sheet, "getRange", str("A1"))).value;
  for (const name of ["_values", "m_x", "constructor", "context", "__proto__", "prototype", "trackedObjects",
    "track", "untrack", "hasOwnProperty", "toString", "valueOf", "nonexistent"]) {
    const [answer] = await h.batch(h.get(range, name));
    assert.equal(answer.ok, false, name);
    assert.match(answer.error.message, /Refused|no property/, name);
  }
  for (const [caller, name] of [[0, "trackedObjects"], [0, "_env"], [0, "sync"], [1, "run"], [1, "RequestContext"]]) {
    const [answer] = await h.batch(h.get(caller, name));
    assert.match(answer.error.message, /Refused|no property/, name);
  }
  assert.equal((await h.one(h.get(1, "ErrorCodes"))).value.itemNotFound.value, "ItemNotFound");
  const [readOnly] = await h.batch(h.set(range, "address", str("B2")));
  assert.match(readOnly.error.message, /read-only/);
  // Keywords only where the method takes an options object.
  const getRange = (await h.one(h.get(sheet, "getRange"))).value;
  const [named] = await h.batch(h.call(getRange, [{ arg_type: "NAMED", name: "address", value: str("A1") }]));
  assert.match(named.error.message, /keyword/);
  const setFn = (await h.one(h.get(range, "set"))).value;
  const [proto] = await h.batch(h.call(setFn, [{ arg_type: "NAMED", name: "__proto__", value: grid([[5]]) }]));
  assert.match(proto.error.message, /refused keyword/);
  const dict = (entries) => ({ type: "Dict", isSpec: false, value: Object.fromEntries(entries) });
  for (const [props, error] of [[[["_values", grid([[1]])]], /Refused/], [[["address", str("B2")]], /read-only/],
    [[["format", dict([["font", dict([["m_bold", { type: "Bool", value: true }]])]])]], /Refused/]]) {
    const [answer] = await h.batch(h.call(setFn, placed(dict(props))));
    assert.match(answer.error.message, error);
  }
  await h.one(h.call(setFn, [{ arg_type: "NAMED", name: "values", value: grid([[5]]) }]));
  assert.equal((await h.one(h.get(range, "values"))).value[0].value[0].value, 5);
});

test("references are counted; untracking rides on the next sync", async () => {
  const h = harness();
  const base = h.executor.diagnostics().objects;
  assert.equal(base, 3);
  const sheet = (await h.sheet()).value;
  const book1 = await h.one(h.get(0, "workbook"));
  const book2 = await h.one(h.get(0, "workbook"));
  assert.equal(book1.value, book2.value);
  const count = (id) => h.executor.table.entries.get(id)?.count ?? 0;
  assert.equal(count(book1.value), 3); // h.sheet() read it too
  const range = await h.invoke(sheet, "getRange", str("A1"));
  const rangeObj = h.executor.table.get(range.value);
  assert.equal(rangeObj._tracked, true);
  const syncs = h.control.syncs;
  h.release(range.value, book1.value, -1, 0, 1, 2, 123);
  await h.executor.drain();
  assert.equal(h.control.syncs, syncs, "a release makes no sync of its own");
  assert.equal(count(book1.value), 2);
  assert.equal(count(range.value), 0);
  assert.equal(rangeObj._tracked, true, "still tracked until the next sync");
  await h.one(h.get(sheet, "name"));
  assert.equal(rangeObj._tracked, false);
  // A release that arrives after a request does not take that request's objects.
  const b1 = (await h.invoke(sheet, "getRange", str("B1"))).value;
  h.executor.handleFrame({ kind: "request", requestId: "before-release", method: "GET", caller: b1, name: "address" });
  h.release(b1);
  await h.executor.drain();
  assert.equal(h.sent.find((f) => f.requestId === "before-release").result.value, "Sheet1!B1");
  assert.equal(count(b1), 0);
  const size = h.executor.table.size;
  h.release(sheet);
  h.executor.handleFrame({ kind: "diag", diagId: "d" });
  await h.executor.drain();
  const diag = h.sent.find((f) => f.kind === "diag_result");
  assert.equal(diag.staleDels, 1);
  assert.deepEqual([diag.releaseFrames, diag.released], [3, 9]);
  assert.equal(diag.objects, size - 1, "the release sent before the diag counts");
  // A legacy DEL request releases one reference and is answered.
  const [del] = await h.batch({ method: "DEL", caller: book1.value, name: "__del__" });
  assert.equal(del.ok, true);
  assert.equal(count(book1.value), 1);
  // A new connection forgets the rest; ids are never handed out again.
  h.executor.newSession();
  assert.equal(h.executor.diagnostics().objects, 3);
  const again = await h.one(h.get(0, "workbook"));
  assert.ok(again.value > range.value);
});

test("Python callables become event handlers that call back", async () => {
  const h = harness();
  const sheet = (await h.sheet()).value;
  const onChanged = await h.one(h.get(sheet, "onChanged"));
  const registration = await h.invoke(onChanged.value, "add", { type: "Python_Function", value: "pyfunc_1234abcd_1", isSpec: true });
  assert.equal(registration.type, "EventHandlerResult");
  const range = (await h.invoke(sheet, "getRange", str("B2"))).value;
  await h.one(h.set(range, "values", grid([[1]])));
  let frame;
  for (let i = 0; i < 50 && !frame; i++) {
    await new Promise((resolve) => setImmediate(resolve));
    frame = h.sent.find((f) => f.kind === "callback");
  }
  assert.equal(frame.callableId, "pyfunc_1234abcd_1");
  const args = frame.args[0];
  assert.equal(args.type, "Dict");
  assert.equal(args.id, -1);
  assert.equal(args.value.address.value, "B2");
  h.executor.handleFrame({ kind: "callback_result", callId: frame.callId, ok: false, error: { message: "ValueError: no" } });
  const diag = h.executor.diagnostics();
  assert.deepEqual(diag.callbacks, { sent: 1, ok: 0, failed: 1, stale: 0 });
  assert.deepEqual(diag.callbackLog.at(-1), { callId: frame.callId, ok: false, error: "ValueError: no" });
  assert.equal(diag.pendingCallbacks, 0);
  assert.equal(diag.handlers, 1);
  await h.invoke(registration.value, "remove");
  assert.equal(h.executor.diagnostics().handlers, 0);
  assert.equal(h.control.handlers, 0);
});

test("a hung sync fails its requests at the watchdog and asks to reconnect", async () => {
  const h = harness({ watchdogMs: 50 });
  const sheet = (await h.sheet()).value;
  h.control.faults.hangSync = true;
  const [answer] = await h.batch(h.get(sheet, "name"));
  assert.match(answer.error.message, /did not finish/);
  assert.equal(h.hung, 1);
  h.control.faults.hangSync = false;
  h.executor.newSession();
  assert.equal((await h.sheet()).type, "Worksheet");
});

test("reads too large together are retried alone; one too large alone fails", async () => {
  const h = harness({ double: { payloadLimitBytes: 3000 } });
  const sheet = (await h.sheet()).value;
  const big = [];
  for (const address of ["A1:J20", "A21:J40"]) {
    const range = (await h.invoke(sheet, "getRange", str(address))).value;
    await h.one(h.set(range, "values", { type: "String", value: "abcdef", isSpec: false }));
    big.push(range);
  }
  const answers = await h.batch(...big.map((r) => h.get(r, "values")));
  assert.deepEqual(answers.map((a) => a.ok), [true, true]);
  const huge = (await h.invoke(sheet, "getRange", str("A1:J40"))).value;
  const [tooBig] = await h.batch(h.get(huge, "values"));
  assert.match(tooBig.error.message, /ResponsePayloadSizeLimitExceeded/);
  // An answer beyond the kernel's frame limit is refused by the add-in itself.
  h.executor.maxResponseChars = 2000;
  const [tooLong] = await h.batch(h.get(big[0], "values"));
  assert.match(tooLong.error.message, /too large to send/);
});
