// The executor's sync recovery over the Office.js double: sync counts of
// lookups, failed lookups attributed to their call, cell-edit mode, a failed
// sync that names no marker, tracking, and handlers across connections.
import { test } from "node:test";
import assert from "node:assert/strict";
import { grid, harness, placed, pyfunc, str, until } from "./harness.mjs";

async function worksheets(h) {
  return (await h.one(h.get((await h.one(h.get(0, "workbook"))).value, "worksheets"))).value;
}

test("a chained write costs one sync, a hundred of them a hundred", async () => {
  const h = harness();
  h.control.reset();
  const sheet = (await h.sheet()).value;
  for (let i = 1; i <= 100; i++) {
    const range = (await h.invoke(sheet, "getRange", str(`A${i}`))).value;
    await h.one(h.set(range, "values", grid([[i]])));
    h.release(range);
  }
  assert.equal(h.control.syncs, 100);
  assert.equal(h.control.workbook.get("Sheet1").cell(99, 0).value, 100);
  assert.ok(h.control.tracked <= 1, "released ranges are untracked on the next sync");
});

const write = (h, id) => h.set(id, "values", grid([[1]]));
const lookups = [
  ["getItem('Nope')", async (h, sheets) => h.invoke(sheets, "getItem", str("Nope")), /^getItem\('Nope'\): ItemNotFound: /,
    (h, id) => h.set(id, "name", str("Renamed"))],
  ["getItem('Nope').getRange('A1')", async (h, sheets) => {
    const nope = (await h.invoke(sheets, "getItem", str("Nope"))).value;
    return h.invoke(nope, "getRange", str("A1"));
  }, /^getItem\('Nope'\): ItemNotFound: /, write],
  ["getRange('no such address')", async (h, sheets) => {
    const sheet = (await h.invoke(sheets, "getItem", str("Sheet1"))).value;
    return h.invoke(sheet, "getRange", str("no such address"));
  }, /^getRange\('no such address'\): [A-Za-z]+: /, write],
];

for (const [what, lookup, error, use] of lookups) {
  test(`a failed lookup is answered at once and fails every use, naming the call: ${what}`, async () => {
    const h = harness();
    const sheets = await worksheets(h);
    const good = (await h.invoke((await h.invoke(sheets, "getItem", str("Sheet1"))).value, "getRange", str("C3"))).value;
    const before = h.control.syncs;
    const obj = await lookup(h, sheets);
    assert.equal(h.control.syncs, before, "no sync of its own");
    const first = await h.batch(use(h, obj.value), h.set(good, "values", grid([[2]])));
    assert.equal(first[0].ok, false, "never a success");
    assert.match(first[0].error.message, error);
    assert.equal(first[1].ok, true, "an unrelated request of the same batch runs");
    const [later] = await h.batch(use(h, obj.value));
    assert.match(later.error.message, error);
    assert.equal(h.control.workbook.get("Sheet1").cell(2, 2).value, 2);
  });
}

test("cell-edit mode: the batch is tried again until the edit ends, and runs once", async () => {
  const h = harness();
  const add = (await h.one(h.get(await worksheets(h), "add"))).value;
  h.control.faults.cellEditMode = true;
  const answers = h.batch(h.call(add, placed(str("New"))));
  await until(() => h.control.cellEditRejections >= 2, "two refused syncs");
  h.control.faults.cellEditMode = false;
  const [answer] = await answers;
  assert.equal(answer.ok, true);
  assert.deepEqual(h.control.workbook.sheets.map((s) => s.name), ["Sheet1", "Sheet2", "New"]);
  assert.ok(h.executor.diagnostics().cellEditRetries >= 2);
});

test("cell-edit mode that outlasts the retries fails with the code and what to do", async () => {
  const h = harness({ cellEditMs: 100 });
  const range = (await h.invoke((await h.sheet()).value, "getRange", str("A1"))).value;
  h.control.faults.cellEditMode = true;
  const [answer] = await h.batch(h.set(range, "values", grid([[5]])));
  assert.match(answer.error.message, /^InvalidOperationInCellEditMode: .*finish editing the cell/);
  h.control.faults.cellEditMode = false;
  assert.equal((await h.one(h.get(range, "values"))).value[0].value[0].value, "");
});

test("a failed shared sync that names no marker never runs an effect twice", async () => {
  const h = harness();
  const add = (await h.one(h.get(await worksheets(h), "add"))).value;
  const range = (await h.invoke((await h.sheet()).value, "getRange", str("A1"))).value;
  const ctx = h.executor.context;
  const sync = ctx.sync.bind(ctx);
  ctx.sync = async () => {
    ctx.sync = sync;
    await sync();
    throw new h.office.OfficeExtension.Error("GeneralException", "lost", {}, []);
  };
  const answers = await h.batch(h.call(add, placed(str("Once"))), h.get(range, "address"));
  assert.match(answers[0].error.message, /^GeneralException: .*may or may not have taken effect/);
  assert.equal(answers[1].result.value, "Sheet1!A1", "a read is planned again");
  assert.equal(h.control.workbook.sheets.filter((s) => s.name === "Once").length, 1);
});

test("only ranges are tracked; what hangs on a range keeps it tracked", async () => {
  const h = harness();
  const sheet = (await h.sheet()).value;
  const range = (await h.invoke(sheet, "getRange", str("A1"))).value;
  const format = (await h.one(h.get(range, "format"))).value;
  const font = (await h.one(h.get(format, "font"))).value;
  await h.one(h.get(font, "bold"));
  assert.equal(h.control.tracked, 1);
  h.release(range);
  await h.one(h.get(sheet, "name"));
  assert.equal(h.control.tracked, 1, "the font keeps its range tracked");
  assert.equal((await h.one(h.get(font, "bold"))).value, false);
  h.release(font, format);
  await h.one(h.get(sheet, "name"));
  assert.equal(h.control.tracked, 0);
});

test("one function per callable id: a handler is removed by the function that added it", async () => {
  const h = harness();
  const onChanged = (await h.one(h.get((await h.sheet()).value, "onChanged"))).value;
  await h.invoke(onChanged, "add", pyfunc("pyfunc_a_1"));
  assert.equal(h.control.handlers, 1);
  await h.invoke(onChanged, "remove", pyfunc("pyfunc_a_1"));
  assert.equal(h.control.handlers, 0);
  assert.equal(h.executor.diagnostics().handlers, 0);
});

test("handlers of an ended connection are disarmed and removed at the next sync", async () => {
  const h = harness();
  const onChanged = (await h.one(h.get((await h.sheet()).value, "onChanged"))).value;
  await h.invoke(onChanged, "add", pyfunc("pyfunc_old_1"));
  const handler = h.executor.callbacks.function("pyfunc_old_1");
  h.executor.newSession();
  assert.equal(await handler({ address: "A1" }), undefined);
  assert.equal(h.sent.filter((f) => f.kind === "callback").length, 0, "no callback with an old id");
  assert.equal(h.executor.diagnostics().callbacks.stale, 1);
  const range = (await h.invoke((await h.sheet()).value, "getRange", str("B2"))).value;
  await h.one(h.set(range, "values", grid([[1]])));
  assert.equal(h.control.handlers, 0);
  assert.notEqual(h.executor.callbacks.function("pyfunc_old_1"), handler);
});
