// The Office.js double's own key rules: if these break, every test of the
// executor that runs against the double proves less.

import assert from "node:assert/strict";
import { describe, it } from "node:test";

import { createOfficeDouble } from "./office-double/index.mjs";

const fresh = (options) => createOfficeDouble({ sheets: ["Sheet1", "Data"], ...options });

describe("queue then sync", () => {
  it("queues writes and loads; properties are unreadable until loaded and synced", async () => {
    const { Excel, control } = fresh();
    await Excel.run(async (ctx) => {
      const range = ctx.workbook.worksheets.getItem("Sheet1").getRange("A1:B1");
      range.values = [[1, "a"]];
      assert.equal(control.workbook.cellAt("Sheet1", "A1"), undefined, "nothing runs before sync");
      const other = ctx.workbook.worksheets.getItem("Sheet1").getRange("B1");
      assert.throws(() => other.values, { code: "PropertyNotLoaded" });
      const count = ctx.workbook.worksheets.getCount();
      assert.throws(() => count.value, { code: "ValueNotLoaded" });
      other.load("values, address");
      await ctx.sync();
      assert.deepEqual(other.values, [["a"]]);
      assert.equal(other.address, "Sheet1!B1");
      assert.equal(count.value, 2);
      assert.equal(control.syncs, 1);
      await ctx.sync();
      assert.equal(control.syncs, 1, "an empty sync costs nothing");
    });
  });

  it("collections need load('items'); there is no count property", async () => {
    const { Excel } = fresh();
    await Excel.run(async (ctx) => {
      const sheets = ctx.workbook.worksheets;
      assert.throws(() => sheets.items, { code: "PropertyNotLoaded" });
      assert.equal(sheets.count, undefined);
      sheets.load("items/name");
      await ctx.sync();
      assert.deepEqual(sheets.items.map((s) => s.name), ["Sheet1", "Data"]);
      assert.throws(() => sheets.items[0].id, { code: "PropertyNotLoaded" });
    });
  });
});

describe("failing batch", () => {
  it("stops at the first failure: earlier actions applied, later never ran, trace markers reported", async () => {
    const { Excel, OfficeExtension, control } = fresh();
    await Excel.run(async (ctx) => {
      const sheet = ctx.workbook.worksheets.getItem("Sheet1");
      sheet.getRange("A1").values = [[1]];
      ctx.trace("first");
      const loaded = sheet.getRange("A1").load("values");
      sheet.getRange("A2").values = [[1, 2]];
      ctx.trace("second");
      sheet.getRange("A3").values = [[3]];
      const error = await ctx.sync().then(() => null, (e) => e);
      assert.ok(error instanceof OfficeExtension.Error);
      assert.equal(error.code, "InvalidArgument");
      assert.match(error.message, /doesn't match the size or dimensions of the range/);
      assert.equal(error.debugInfo.errorLocation, "Range.values");
      assert.deepEqual(error.traceMessages, ["first"]);
      assert.equal(control.workbook.cellAt("Sheet1", "A1").value, 1);
      assert.equal(control.workbook.cellAt("Sheet1", "A3"), undefined);
      assert.throws(() => loaded.values, { code: "PropertyNotLoaded" }, "a failed batch loads nothing");
    });
  });

  it("object-returning methods fail at the next sync; *OrNullObject gives a null object", async () => {
    const { Excel } = fresh();
    await Excel.run(async (ctx) => {
      const missing = ctx.workbook.worksheets.getItem("Nope");
      await assert.rejects(ctx.sync(), (e) => e.code === "ItemNotFound"
        && e.debugInfo.errorLocation === "WorksheetCollection.getItem");
      const maybe = ctx.workbook.worksheets.getItemOrNullObject("nope");
      const there = ctx.workbook.worksheets.getItemOrNullObject("data");
      assert.throws(() => maybe.isNullObject, { code: "PropertyNotLoaded" });
      await ctx.sync();
      assert.equal(maybe.isNullObject, true);
      assert.equal(there.isNullObject, false);
      assert.ok(missing);
    });
  });
});

describe("object lifetime", () => {
  it("an untracked range of a bare context is an InvalidObjectPath after its sync; a tracked one lives", async () => {
    const { Excel } = fresh();
    const ctx = new Excel.RequestContext();
    const sheet = ctx.workbook.worksheets.getItem("Sheet1");
    const loose = sheet.getRange("A1").load("values");
    const kept = sheet.getRange("B1");
    ctx.trackedObjects.add(kept);
    await ctx.sync();
    assert.throws(() => loose.load("values"), { code: "InvalidObjectPath" });
    assert.throws(() => { loose.values = [[1]]; }, { code: "InvalidObjectPath" });
    kept.values = [[2]];
    await ctx.sync();
    ctx.trackedObjects.remove(kept);
    await ctx.sync();
    assert.throws(() => kept.load("values"), { code: "InvalidObjectPath" });
    sheet.load("name");
    await ctx.sync();
    assert.equal(sheet.name, "Sheet1", "worksheets are persistent objects");
  });

  it("ranges stay valid across syncs inside Excel.run and expire when it ends; previousObjects reuses the context", async () => {
    const { Excel } = fresh();
    let range;
    const ctx = await Excel.run(async (context) => {
      range = context.workbook.worksheets.getItem("Sheet1").getRange("C3");
      range.values = [[7]];
      await context.sync();
      range.load("values");
      await context.sync();
      return context;
    });
    assert.deepEqual(range.values, [[7]]);
    await Excel.run({ previousObjects: ctx }, async (context) => {
      assert.equal(context, ctx);
      assert.throws(() => range.load("values"), { code: "InvalidObjectPath" });
      await context.sync();
    });
    await assert.rejects(Excel.run(() => 1), { code: "RunMustReturnPromise" });
  });
});

describe("cells", () => {
  it("empty cells read as '', null leaves a cell unchanged, '=' starts a formula", async () => {
    const { Excel, control } = fresh();
    await Excel.run(async (ctx) => {
      const range = ctx.workbook.worksheets.getItem("Data").getRange("A1:C1");
      range.values = [[1, "keep", true]];
      range.values = [[null, null, ""]];
      range.formulas = [["=B1", null, null]];
      range.numberFormat = [[null, "0.00", null]];
      range.load("values, formulas, numberFormat, text");
      await ctx.sync();
      assert.deepEqual(range.values, [["=B1", "keep", ""]]);
      assert.deepEqual(range.formulas, [["=B1", "keep", ""]]);
      assert.deepEqual(range.numberFormat, [["General", "0.00", "General"]]);
      assert.equal(control.workbook.cellAt("Data", "C1"), undefined);
    });
  });

  it("what travels is JSON: a Date arrives as ISO text, NaN as null (cell unchanged)", async () => {
    const { Excel } = fresh();
    await Excel.run(async (ctx) => {
      const range = ctx.workbook.worksheets.getItem("Sheet1").getRange("A1:B1");
      range.values = [[5, 6]];
      range.values = [[new Date(Date.UTC(2024, 0, 2)), Number.NaN]];
      range.load("values");
      await ctx.sync();
      assert.deepEqual(range.values, [["2024-01-02T00:00:00.000Z", 6]]);
    });
  });
});

describe("faults and events", () => {
  it("payload limit refuses big requests before running and big responses after", async () => {
    const { Excel, control } = fresh({ payloadLimitBytes: 1000 });
    await Excel.run(async (ctx) => {
      const range = ctx.workbook.worksheets.getItem("Sheet1").getRange("A1:A100");
      range.values = Array.from({ length: 100 }, () => ["x".repeat(20)]);
      await assert.rejects(ctx.sync(), { code: "RequestPayloadSizeLimitExceeded" });
      assert.equal(control.workbook.cellAt("Sheet1", "A1"), undefined);
      control.faults.payloadLimitBytes = null;
      range.values = Array.from({ length: 100 }, () => ["x".repeat(20)]);
      await ctx.sync();
      control.faults.payloadLimitBytes = 1000;
      range.load("values");
      await assert.rejects(ctx.sync(), { code: "ResponsePayloadSizeLimitExceeded" });
    });
  });

  it("a hanging sync never settles; onChanged handlers run after the sync that changed the sheet", async () => {
    const { Excel, control } = fresh();
    const ctx = new Excel.RequestContext();
    const sheet = ctx.workbook.worksheets.getItem("Sheet1");
    const seen = [];
    let fired;
    const delivered = new Promise((resolve) => { fired = resolve; });
    const registration = sheet.onChanged.add(async (args) => { seen.push(args); fired(); });
    ctx.trackedObjects.add(sheet);
    await ctx.sync();
    sheet.getRange("B2").values = [[1]];
    await ctx.sync();
    assert.equal(seen.length, 0, "handlers run asynchronously, after the sync");
    await delivered;
    assert.equal(seen[0].address, "B2");
    assert.equal(seen[0].changeType, "RangeEdited");
    assert.equal(seen[0].details.valueAfter, 1);
    registration.remove();
    await ctx.sync();
    assert.equal(control.handlers, 0);

    control.faults.hangSync = true;
    sheet.getRange("C3").values = [[1]];
    let outcome = "pending";
    ctx.sync().then(() => { outcome = "settled"; }, () => { outcome = "failed"; });
    // A sync without latency settles within one turn of the event loop.
    await new Promise((resolve) => setImmediate(resolve));
    assert.equal(outcome, "pending");
    assert.equal(control.workbook.cellAt("Sheet1", "C3"), undefined);
    assert.equal(control.hungSyncs, 1);
  });
});
