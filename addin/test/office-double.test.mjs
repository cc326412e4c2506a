// The Office.js double's own key rules: if these break, every test of the
// executor that runs against the double proves less.

import assert from "node:assert/strict";
import { describe, it } from "node:test";

import { formatAddress, parseArea } from "./office-double/addresses.mjs";
import { enter, keepsText } from "./office-double/cells.mjs";
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
      assert.deepEqual(range.values, [["keep", "keep", ""]], "a formula reads as its result");
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

describe("addresses", () => {
  it("are parsed and written as Excel writes them", () => {
    for (const [sheet, cells, expected] of [
      ["Sheet1", "b2:c3", "Sheet1!B2:C3"], ["S2", "A1", "'S2'!A1"], ["My Sheet", "C:A", "'My Sheet'!A:C"],
      ["Data", "3:5", "Data!3:5"], ["O'Brien", "$A$1", "'O''Brien'!A1"], ["Data", "A1:XFD1048576", "Data!1:1048576"],
    ]) assert.equal(formatAddress(sheet, parseArea(cells)), expected);
    for (const bad of ["", "A", "5", "A1:B2:C", "XFE1", "A1048577", "A1:"]) assert.equal(parseArea(bad), null, bad);
  });
});

describe("format", () => {
  it("reads a property over cells that differ as null; clear('Formats') restores defaults", async () => {
    const { Excel } = fresh();
    await Excel.run(async (ctx) => {
      const sheet = ctx.workbook.worksheets.getItem("Sheet1");
      sheet.getRange("A:A").format.font.bold = true;
      sheet.getRange("A:A").format.columnWidth = 80;
      sheet.getRange("A2").format.font.bold = false;
      const mixed = sheet.getRange("A1:B1").load("format/font/bold, format/columnWidth");
      const one = sheet.getRange("A1").load("format/font/bold, format/columnWidth");
      await ctx.sync();
      assert.deepEqual([mixed.format.font.bold, mixed.format.columnWidth], [null, null]);
      assert.deepEqual([one.format.font.bold, one.format.columnWidth], [true, 80]);
      sheet.getRange("A1:A3").clear("Formats");
      const cleared = sheet.getRange("A1:A3").load("format/font/bold");
      await ctx.sync();
      assert.equal(cleared.format.font.bold, false);
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

  it("payload limit: a request or response well inside it passes, however loose the first estimate", async () => {
    // 100 cells of 1: about 400 characters of JSON, far more by any bound that does not look at the digits.
    const { Excel, control } = fresh({ payloadLimitBytes: 800 });
    await Excel.run(async (ctx) => {
      const range = ctx.workbook.worksheets.getItem("Sheet1").getRange("A1:A100");
      range.values = Array.from({ length: 100 }, () => [1]);
      await ctx.sync();
      range.load("values");
      await ctx.sync();
      assert.equal(range.values.length, 100);
      control.faults.payloadLimitBytes = 350;
      range.values = Array.from({ length: 100 }, () => [2]);
      await assert.rejects(ctx.sync(), { code: "RequestPayloadSizeLimitExceeded" });
    });
  });

  it("a written grid is what its JSON text would write, as it was when assigned", async () => {
    const { Excel, control } = fresh();
    const grids = [
      [[1, -0, "2", true, "=1+1", ""]],
      [[NaN, Infinity, undefined, null, "x", 2.5]],
      [[new Date(Date.UTC(2024, 0, 2)), { a: 1 }, [3], "TRUE", "1,234", "-"]],
    ];
    await Excel.run(async (ctx) => {
      const [sheet, data] = ["Sheet1", "Data"].map((name) => ctx.workbook.worksheets.getItem(name));
      for (const grid of grids) {
        const [mine, json] = [sheet, data].map((s) => s.getRange("A1:F1"));
        mine.values = [["old", "old", "old", "old", "old", "old"]];
        json.values = [["old", "old", "old", "old", "old", "old"]];
        json.values = JSON.parse(JSON.stringify(grid));
        mine.values = grid;
        const first = grid[0][0];
        grid[0][0] = "changed after the assignment";
        await ctx.sync().catch(() => {});
        grid[0][0] = first;
        for (const column of "ABCDEF") {
          assert.deepEqual(control.workbook.cellAt("Sheet1", `${column}1`), control.workbook.cellAt("Data", `${column}1`), `${column}1 of ${JSON.stringify(grid)}`);
        }
      }
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

// --------------------------------------------------------------------------
// Conformance: one test per documented rule, grouped by object.

/** Writes `values` to a row from A1 of Sheet1 (after the number formats, if any) and reads it back. */
async function roundTrip(values, { numberFormat, props = "values, formulas, numberFormat, text, valueTypes", options } = {}) {
  const { Excel } = fresh(options);
  return Excel.run(async (ctx) => {
    const sheet = ctx.workbook.worksheets.getItem("Sheet1");
    const range = sheet.getRangeByIndexes(0, 0, 1, values.length);
    if (numberFormat) range.numberFormat = [values.map(() => numberFormat)];
    range.values = [values];
    const out = range.load(props);
    await ctx.sync();
    return Object.fromEntries(props.split(",").map((p) => p.trim()).map((p) => [p, out[p][0]]));
  });
}

describe("Range.values: text is entered as Excel enters typed text", () => {
  // https://learn.microsoft.com/javascript/api/excel/excel.range#excel-excel-range-values-member
  it("numeric text becomes a number: leading zeros lost, 15 significant digits kept", async () => {
    const { values, valueTypes } = await roundTrip(["00123", "1,234", "12345678901234567890", "1234567890123456", "1e3", "50%"]);
    assert.deepEqual(values, [123, 1234, 12345678901234500000, 1234567890123450, 1000, 0.5]);
    assert.deepEqual(valueTypes, ["Integer", "Integer", "Integer", "Integer", "Integer", "Double"]);
  });

  it("TRUE and FALSE in any case become booleans", async () => {
    const { values } = await roundTrip(["TRUE", "false", "True", "yes"]);
    assert.deepEqual(values, [true, false, true, "yes"]);
  });

  it("date text becomes a date serial with a date format; locale-shaped dates stay text", async () => {
    const { values, numberFormat, text } = await roundTrip(["2024-01-01", "1/2/2024", "1/2/2024 13:30", "19-8-2025", "Jan 5, 2024"]);
    assert.deepEqual(values, [45292, 45293, 45293.5625, "19-8-2025", 45296]);
    assert.deepEqual(numberFormat.slice(0, 2), ["m/d/yyyy", "m/d/yyyy"]);
    assert.deepEqual(text.slice(0, 3), ["1/1/2024", "1/2/2024", "1/2/2024 13:30"]);
  });

  it("a value starting with '=', '+' or '-' is a formula; one that is no formula is refused", async () => {
    const { values, formulas } = await roundTrip(["=1+1", "-5", "+7", "=A1&\"x\""]);
    assert.deepEqual(values, [2, -5, 7, "2x"]);
    assert.deepEqual(formulas, ["=1+1", -5, 7, "=A1&\"x\""]);
    for (const text of ["-", "+44 20 7946 0000", "=1+", "=SUM("]) {
      await assert.rejects(roundTrip(["keep", text]), { code: "InvalidArgument" }, text);
    }
  });

  it("a refused entry changes no cell of its grid", async () => {
    const { Excel, control } = fresh();
    await Excel.run(async (ctx) => {
      ctx.workbook.worksheets.getItem("Sheet1").getRange("A1:B1").values = [["first", "-"]];
      await assert.rejects(ctx.sync(), { code: "InvalidArgument" });
    });
    assert.equal(control.workbook.cellAt("Sheet1", "A1"), undefined);
  });

  it("in a cell formatted as Text ('@') any text is kept exactly", async () => {
    const texts = ["00123", "+44 20 7946 0000", "-", "=A1", "TRUE", "1/2", "12345678901234567890"];
    const { values, formulas, valueTypes } = await roundTrip(texts, { numberFormat: "@" });
    assert.deepEqual(values, texts);
    assert.deepEqual(formulas, texts);
    assert.ok(valueTypes.every((t) => t === "String"));
  });

  it("text the quick look keeps is text enter() keeps; the look leaves the rest to enter()", () => {
    const kept = ["x", "s12-3", "c0", "a1/2/2024", "A 5", "T", "F1", "q+1", "x=1", "é"].filter(keepsText);
    assert.deepEqual(kept, ["x", "s12-3", "c0", "a1/2/2024", "A 5", "T", "F1", "q+1", "x=1"]);
    for (const text of kept) assert.deepEqual(enter(text), { value: text }, text);
    for (const text of ["TRUE", "false", "Jan 5, 2024", "Sept 5, 2024", "=A1", "+1", "-x", "12", " 1", "", "ab"]) {
      assert.equal(keepsText(text), false, text);
    }
  });

  it("a cell holds at most 32,767 characters", async () => {
    await roundTrip(["x".repeat(32_767)]);
    await assert.rejects(roundTrip(["x".repeat(32_768)]), { code: "InvalidArgument" });
  });

  it("formulas evaluate; an unknown function reads #NAME?, a division by zero #DIV/0!", async () => {
    const { values, valueTypes } = await roundTrip([3, 4, "=SUM(A1:B1)*2", "=NOSUCH(1)", "=A1/0", "=IF(A1>B1,\"a\",\"b\")"]);
    assert.deepEqual(values, [3, 4, 14, "#NAME?", "#DIV/0!", "b"]);
    assert.deepEqual(valueTypes.slice(3, 5), ["Error", "Error"]);
  });
});

describe("Range.numberFormat and Range.text", () => {
  // https://learn.microsoft.com/javascript/api/excel/excel.range#excel-excel-range-numberformat-member
  // https://support.microsoft.com/office/number-format-codes-5026bbd6-04bc-48cd-bf33-80f18b4eae68
  it("a serial number shows as a number under General and as a date under a date format; values stay numbers", async () => {
    const plain = await roundTrip([45292, 45292.75, 1234.5, 0.25, 123456789012]);
    assert.deepEqual(plain.text, ["45292", "45292.75", "1234.5", "0.25", "1.23457E+11"]);
    for (const [format, shown] of [["yyyy-mm-dd", "2024-01-01"], ["m/d/yyyy h:mm", "1/1/2024 0:00"], ["d-mmm-yy", "1-Jan-24"],
      ["dddd, mmmm d, yyyy", "Monday, January 1, 2024"], ["#,##0.00", "45,292.00"], ["0%", "4529200%"]]) {
      const { values, text, numberFormat } = await roundTrip([45292], { numberFormat: format });
      assert.deepEqual([values[0], text[0], numberFormat[0]], [45292, shown, format], format);
    }
    const time = await roundTrip([45292.75], { numberFormat: "h:mm AM/PM" });
    assert.equal(time.text[0], "6:00 PM");
  });
});

describe("unbounded ranges", () => {
  // https://learn.microsoft.com/office/dev/add-ins/excel/excel-add-ins-ranges-unbounded
  it("reading cell-level properties of entire columns or rows gives null; address and cellCount stay valid", async () => {
    const { Excel } = fresh();
    await Excel.run(async (ctx) => {
      const sheet = ctx.workbook.worksheets.getItem("Sheet1");
      const ranges = [sheet.getRange("C:C"), sheet.getRange("1:3"), sheet.getRange("B2").getEntireColumn(), sheet.getRange()];
      for (const r of ranges) r.load("values, formulas, numberFormat, text, valueTypes, address, cellCount");
      await ctx.sync();
      for (const r of ranges) assert.deepEqual([r.values, r.formulas, r.numberFormat, r.text, r.valueTypes], [null, null, null, null, null]);
      assert.deepEqual([ranges[0].address, ranges[0].cellCount], ["Sheet1!C:C", 1_048_576]);
    });
  });

  it("writing cell-level properties of entire columns or rows fails", async () => {
    for (const [address, prop] of [["A:B", "values"], ["2:2", "numberFormat"], ["C:C", "formulas"]]) {
      const { Excel } = fresh();
      await Excel.run(async (ctx) => {
        ctx.workbook.worksheets.getItem("Sheet1").getRange(address)[prop] = "Due Date";
        await assert.rejects(ctx.sync(), { code: "InvalidArgument" }, address);
      });
    }
  });
});

describe("errors", () => {
  // https://learn.microsoft.com/office/dev/add-ins/testing/application-specific-api-error-handling
  it("carry the documented codes; messages follow the display language", async () => {
    const messages = {};
    for (const displayLanguage of ["en-US", "de-DE"]) {
      const { Excel, Office } = fresh({ displayLanguage });
      assert.equal(Office.context.displayLanguage, displayLanguage);
      await Excel.run(async (ctx) => {
        ctx.workbook.worksheets.add("Data");
        const error = await ctx.sync().then(() => null, (e) => e);
        assert.equal(error.code, "ItemAlreadyExists");
        const notLoaded = (() => { try { return ctx.workbook.worksheets.items; } catch (e) { return e; } })();
        assert.equal(notLoaded.code, "PropertyNotLoaded");
        messages[displayLanguage] = [error.message, notLoaded.message];
      });
    }
    assert.equal(messages["en-US"][0], "The resource being created already exists.");
    assert.notEqual(messages["de-DE"][0], messages["en-US"][0]);
    assert.notEqual(messages["de-DE"][1], messages["en-US"][1]);
  });
});

describe("WorksheetCollection", () => {
  // https://learn.microsoft.com/javascript/api/excel/excel.worksheetcollection
  it("load('name') on the collection loads its items' names", async () => {
    const { Excel } = fresh();
    await Excel.run(async (ctx) => {
      const sheets = ctx.workbook.worksheets.load("name");
      await ctx.sync();
      assert.deepEqual(sheets.items.map((s) => s.name), ["Sheet1", "Data"]);
    });
  });

  it("getFirst/getLast/getCount honour visibleOnly", async () => {
    const { Excel } = createOfficeDouble({ sheets: ["Hidden1", "Shown", "Hidden2"] });
    await Excel.run(async (ctx) => {
      const sheets = ctx.workbook.worksheets;
      sheets.getItem("Hidden1").visibility = "Hidden";
      sheets.getItem("Hidden2").visibility = "VeryHidden";
      const picks = [sheets.getFirst(), sheets.getLast(), sheets.getFirst(true), sheets.getLast(true)].map((s) => s.load("name"));
      const counts = [sheets.getCount(), sheets.getCount(true)];
      await ctx.sync();
      assert.deepEqual(picks.map((s) => s.name), ["Hidden1", "Hidden2", "Shown", "Shown"]);
      assert.deepEqual(counts.map((c) => c.value), [3, 1]);
    });
  });
});

describe("Worksheet", () => {
  // https://learn.microsoft.com/javascript/api/excel/excel.worksheet
  it("a VeryHidden sheet cannot be deleted", async () => {
    const { Excel, control } = fresh();
    await Excel.run(async (ctx) => {
      const data = ctx.workbook.worksheets.getItem("Data");
      data.visibility = "VeryHidden";
      data.delete();
      await assert.rejects(ctx.sync(), { code: "InvalidOperation" });
      data.visibility = "Hidden";
      data.delete();
      await ctx.sync();
    });
    assert.deepEqual(control.workbook.sheets.map((s) => s.name), ["Sheet1"]);
  });

  it("getUsedRange counts formatted cells; getUsedRange(true) values only", async () => {
    const { Excel } = fresh();
    await Excel.run(async (ctx) => {
      const sheet = ctx.workbook.worksheets.getItem("Sheet1");
      sheet.getRange("B2").values = [[1]];
      sheet.getRange("D5").format.fill.color = "#FFFF00";
      sheet.getRange("F1").numberFormat = [["0.00"]];
      sheet.getRange("A:A").format.font.bold = true;
      const all = sheet.getUsedRange().load("address");
      const valuesOnly = sheet.getUsedRange(true).load("address");
      await ctx.sync();
      assert.deepEqual([all.address, valuesOnly.address], ["Sheet1!B1:F5", "Sheet1!B2"]);
      sheet.getRange("D5").format.fill.clear();
      sheet.getRange("F1").clear("Formats");
      const after = sheet.getUsedRange().load("address");
      await ctx.sync();
      assert.equal(after.address, "Sheet1!B2");
    });
  });

  it("cells at the sheet's far corners are kept, read, counted in the used range and cleared", async () => {
    const { Excel } = fresh();
    await Excel.run(async (ctx) => {
      const sheet = ctx.workbook.worksheets.getItem("Sheet1");
      sheet.getRange("XFD1").values = [["far right"]];
      sheet.getRange("A1048576").values = [[7]];
      sheet.getRange("XFC1048575:XFD1048576").values = [[1, null], ["x", 2]];
      const used = sheet.getUsedRange(true).load("address");
      const corner = sheet.getRange("XFC1048575:XFD1048576").load("values");
      const edges = ["XFD1", "A1048576", "A1", "XFD1048575"].map((a) => sheet.getRange(a).load("values"));
      await ctx.sync();
      assert.equal(used.address, "Sheet1!1:1048576"); // every column: Excel writes the rows
      assert.deepEqual(corner.values, [[1, ""], ["x", 2]]);
      assert.deepEqual(edges.map((r) => r.values[0][0]), ["far right", 7, "", ""]);
      sheet.getRange("A1048576:XFD1048576").clear("Contents");
      sheet.getRange("XFD1").values = [[""]];
      const after = sheet.getUsedRange(true).load("address");
      await ctx.sync();
      assert.equal(after.address, "Sheet1!XFC1048575");
    });
  });

  it("getRange takes a defined name as well as an address", async () => {
    const { Excel } = fresh();
    await Excel.run(async (ctx) => {
      ctx.workbook.names.add("Totals", "=Data!$B$2:$C$3");
      ctx.workbook.worksheets.getItem("Data").getRange("B2:C3").values = [[1, 2], [3, 4]];
      const byName = ctx.workbook.worksheets.getItem("Data").getRange("totals").load("address, values");
      const item = ctx.workbook.names.getItem("TOTALS").load("name, type, value");
      const sum = ctx.workbook.worksheets.getItem("Sheet1").getRange("A1");
      sum.formulas = [["=SUM(Totals)"]];
      sum.load("values");
      await ctx.sync();
      assert.deepEqual([byName.address, byName.values], ["Data!B2:C3", [[1, 2], [3, 4]]]);
      assert.deepEqual([item.name, item.type, item.value], ["Totals", "Range", "Data!B2:C3"]);
      assert.deepEqual(sum.values, [[10]]);
      ctx.workbook.names.add("A1", "=Data!A1");
      await assert.rejects(ctx.sync(), { code: "InvalidArgument" }, "a name cannot read as a cell reference");
      ctx.workbook.names.add("totals", "=Data!A1");
      await assert.rejects(ctx.sync(), { code: "ItemAlreadyExists" });
    });
  });
});

describe("TableCollection and Table", () => {
  // https://learn.microsoft.com/javascript/api/excel/excel.tablecollection
  it("add(address, true) takes the first row as headers; its ranges split header and body", async () => {
    const { Excel } = fresh();
    await Excel.run(async (ctx) => {
      const sheet = ctx.workbook.worksheets.getItem("Data");
      sheet.getRange("A1:B3").values = [["id", "name"], [1, "a"], [2, "b"]];
      const table = sheet.tables.add("A1:B3", true);
      table.load("name");
      const parts = [table.getRange(), table.getHeaderRowRange(), table.getDataBodyRange()].map((r) => r.load("address"));
      const count = ctx.workbook.tables.getCount();
      await ctx.sync();
      assert.equal(table.name, "Table1");
      assert.deepEqual(parts.map((r) => r.address), ["Data!A1:B3", "Data!A1:B1", "Data!A2:B3"]);
      assert.equal(count.value, 1);
      sheet.tables.add("B2:C4", true);
      await assert.rejects(ctx.sync(), { code: "InvalidOperation" }, "tables cannot overlap");
    });
  });

  it("add(address, false) makes a header row and shifts the data down one row", async () => {
    const { Excel } = fresh();
    await Excel.run(async (ctx) => {
      const sheet = ctx.workbook.worksheets.getItem("Data");
      sheet.getRange("A1:B2").values = [[1, "a"], [2, "b"]];
      const table = sheet.tables.add("Data!A1:B2", false);
      const whole = table.getRange().load("address, values");
      await ctx.sync();
      assert.equal(whole.address, "Data!A1:B3");
      assert.deepEqual(whole.values, [["Column1", "Column2"], [1, "a"], [2, "b"]]);
    });
  });

  it("an add(address, false) refused for an overlap moves no cell", async () => {
    const { Excel } = fresh();
    await Excel.run(async (ctx) => {
      const sheet = ctx.workbook.worksheets.getItem("Data");
      sheet.getRange("A1:B3").values = [["id", "name"], [1, "a"], [2, "b"]];
      sheet.tables.add("A1:B3", true);
      await ctx.sync();
      sheet.tables.add("B2:C3", false);
      await assert.rejects(ctx.sync(), { code: "InvalidOperation" });
      const cells = sheet.getRange("A1:C4").load("values");
      await ctx.sync();
      assert.deepEqual(cells.values, [["id", "name", ""], [1, "a", ""], [2, "b", ""], ["", "", ""]]);
    });
  });
});

describe("WorksheetChangedEventArgs", () => {
  // https://learn.microsoft.com/javascript/api/excel/excel.worksheetchangedeventargs
  it("carries changeDirectionState and triggerSource; details only for one cell", async () => {
    const { Excel } = fresh();
    const seen = [];
    let done;
    const twoEvents = new Promise((resolve) => { done = resolve; });
    await Excel.run(async (ctx) => {
      const sheet = ctx.workbook.worksheets.getItem("Sheet1");
      sheet.onChanged.add(async (args) => { seen.push(args); if (seen.length === 2) done(); });
      await ctx.sync();
      sheet.getRange("A1").values = [["00123"]];
      sheet.getRange("A2:B2").values = [[1, 2]];
      await ctx.sync();
    });
    await twoEvents;
    assert.deepEqual(seen[0].changeDirectionState, { insertShiftDirection: undefined, deleteShiftDirection: undefined });
    assert.equal(seen[0].triggerSource, "ThisLocalAddin");
    assert.deepEqual([seen[0].details.valueAfter, seen[0].details.valueTypeAfter], [123, "Integer"]);
    assert.equal(seen[1].details, undefined);
  });
});

describe("ClientObject.load", () => {
  // https://learn.microsoft.com/javascript/api/office/officeextension.clientobject
  it("takes a property list, an array, select/expand, a navigation path, or nothing (every scalar)", async () => {
    const { Excel } = fresh();
    await Excel.run(async (ctx) => {
      const range = ctx.workbook.worksheets.getItem("Sheet1").getRange("B2");
      const a = range.load(["address", "rowIndex"]);
      const b = ctx.workbook.worksheets.getItem("Sheet1").getRange("B2").load({ select: "columnIndex", expand: "format/font" });
      const c = ctx.workbook.worksheets.getItem("Sheet1").getRange("B2").load();
      await ctx.sync();
      assert.deepEqual([a.address, a.rowIndex, b.columnIndex, b.format.font.name, c.cellCount], ["Sheet1!B2", 1, 1, "Calibri", 1]);
      assert.throws(() => b.address, { code: "PropertyNotLoaded" });
    });
  });
});
