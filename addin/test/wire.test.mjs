// The wire format at the add-in's end: the number rule both ways, dates,
// bytes, and the frame boundary.
import { test } from "node:test";
import assert from "node:assert/strict";
import {
  FrameError, WireError, WireText, cellsFromWire, dateToSerial, fromWire, parseFrame, toCellValue, toWire, wireJson, wireText,
} from "../src/wire.mjs";

const hooks = { resolve: (id, type) => ({ id, type }), callable: (id) => `fn:${id}` };

test("numbers follow the JSON number rule going out", () => {
  const cases = [
    [0, "Int", 0], [-7, "Int", -7], [2 ** 53 - 1, "Int", 2 ** 53 - 1], [2 ** 53, "Float", 2 ** 53],
    [1e20, "Float", 1e20], [0.5, "Float", 0.5], [-0, "Float", -0],
    [NaN, "Float", "NaN"], [Infinity, "Float", "Infinity"], [-Infinity, "Float", "-Infinity"],
    [12345678901234567890n, "Int", "12345678901234567890"], [5n, "Int", 5],
  ];
  for (const [value, type, wire] of cases) {
    assert.deepEqual(toWire(value), { type, value: wire, isSpec: false }, String(value));
  }
  // The text forms survive JSON, which a bare NaN would not.
  assert.equal(JSON.stringify(toWire([NaN]).value[0]), '{"type":"Float","value":"NaN","isSpec":false}');
});

test("numbers follow the JSON number rule coming in", () => {
  assert.equal(fromWire({ type: "Int", value: "12345678901234567890" }, hooks), 12345678901234567890);
  assert.ok(Number.isNaN(fromWire({ type: "Float", value: "NaN" }, hooks)));
  assert.equal(fromWire({ type: "Float", value: "-Infinity" }, hooks), -Infinity);
  assert.equal(fromWire({ type: "Float", value: 3 }, hooks), 3);
  for (const bad of [{ type: "Int", value: 1.5 }, { type: "Int", value: "1e5" }, { type: "Float", value: "nan" },
    { type: "Bool", value: "false" }, { type: "String", value: 5 }, { type: "Nope", value: 1 }, "x", null]) {
    assert.throws(() => fromWire(bad, hooks), /Int|Float|Bool|String|unknown|wire value/, JSON.stringify(bad));
  }
});

test("dates: ISO text to Date and back, and Excel's serial numbers", () => {
  const naive = fromWire({ type: "Date", value: "2024-05-01T14:00:00" }, hooks);
  assert.equal(naive.toISOString(), "2024-05-01T14:00:00.000Z");
  const aware = fromWire({ type: "Date", value: "2024-05-01T14:00:00.123456+02:00" }, hooks);
  assert.equal(aware.toISOString(), "2024-05-01T12:00:00.123Z");
  assert.throws(() => fromWire({ type: "Date", value: "2024-02-30" }, hooks), /ISO 8601/);
  assert.deepEqual(toWire(aware), { type: "Date", value: "2024-05-01T12:00:00.123Z", isSpec: false });
  assert.equal(dateToSerial(new Date(Date.UTC(2024, 4, 1, 12))), 45413.5);
  assert.equal(dateToSerial(new Date(Date.UTC(1900, 0, 1))), 1); // Excel's 1900 quirk below serial 61
  assert.equal(dateToSerial(new Date(Date.UTC(1900, 2, 1))), 61);
  const [[serial, early, plain]] = toCellValue([[naive, new Date(Date.UTC(1800, 0, 1)), 3]]);
  assert.ok(Math.abs(serial - (45413 + 14 / 24)) < 1e-9);
  assert.deepEqual([early, plain], ["1800-01-01T00:00:00.000Z", 3]);
  for (const bad of [NaN, Infinity, [[1, -Infinity]]]) assert.throws(() => toCellValue(bad), /cannot hold/);
});

test("dates in the kernel's plain shapes read as the general pattern reads them", () => {
  const cases = [
    ["2024-05-01", "2024-05-01T00:00:00.000Z"],
    ["2024-05-01T14:05:09", "2024-05-01T14:05:09.000Z"],
    ["2024-05-01 14:05:09", "2024-05-01T14:05:09.000Z"],
    ["2024-05-01t14:05:09", "2024-05-01T14:05:09.000Z"],
    ["2024-02-29T23:59:59", "2024-02-29T23:59:59.000Z"],
    ["2024-05-01T14:05", "2024-05-01T14:05:00.000Z"], // other shapes take the pattern
    ["2024-05-01T14:05:09Z", "2024-05-01T14:05:09.000Z"],
    ["2023-02-29", null],
    ["2024-04-31T00:00:00", null],
    ["2024-05-01T24:00:00", null],
    ["2024-05-01T14:05:9x", null],
    ["2024-5-01T14:05:09", null],
    ["2024-05-01X14:05:09", null],
    ["２０２４-05-01", null],
    ["2024-05-01T10:75:00", "2024-05-01T11:15:00.000Z"], // minutes past 59 carry into the hour...
    ["2024-05-01T23:59:60", null], // ...but not into the next day
    ["2024-05-01T23:30:00-02:00", "2024-05-02T01:30:00.000Z"],
    ["2000-02-29", "2000-02-29T00:00:00.000Z"],
    ["2100-02-29", null],
    ["2024-13-01", null],
    ["2024-00-10", null],
    ["2024-05-00", null],
    ["2024-06-31T12:00", null],
  ];
  for (const [text, iso] of cases) {
    if (iso === null) assert.throws(() => fromWire({ type: "Date", value: text }, hooks), /ISO 8601/, text);
    else assert.equal(fromWire({ type: "Date", value: text }, hooks).toISOString(), iso, text);
  }
});

// Values of every kind toWire meets, and a grid of them all.
const texts = ["", "plain", 'q"uote', "back\\slash", "tab\tnew\nline\u0001", "é€😀", "lone \ud800 surrogate", "\u2028"];
const numbers = [0, -0, 1, -17, 2 ** 53 - 1, 2 ** 53, 0.1, -2.5e-7, 1.7976931348623157e308, 5e-324, NaN, Infinity, -Infinity];
const others = [true, false, null, undefined, 12n, 2n ** 70n, new Date(Date.UTC(2024, 0, 2, 3)), new Date(NaN),
  new Uint8Array([0, 255, 7]), { a: 1, b: ["x", { c: null }] }, {}, []];
const grid = [texts, numbers, others, [[[]], [[1, "a"]]]];
const mixed = [1, "a", null, 2.5, [3, "c"], "b", NaN, -0, true, 2 ** 53, "", 7];
const samples = [...texts, ...numbers, ...others, grid, mixed, [mixed, [], mixed], [new Map(), [new Map()]], [1, , "x"],
  [{ m: new Map() }, new Map()]];

test("wireJson writes what JSON.stringify writes for every shape toWire makes", () => {
  const reference = (obj) => (obj instanceof Map ? { type: "Worksheet", value: 7, isSpec: true } : undefined);
  for (const value of samples) {
    const wire = toWire(value, reference);
    assert.equal(wireJson(wire), JSON.stringify(wire), String(value));
  }
  assert.equal(wireJson({ type: "Range", value: 3, isSpec: true }), '{"type":"Range","value":3,"isSpec":true}');
  assert.equal(wireJson(new WireText("[1]")), "[1]");
});

test("wireText writes the text of toWire's value, making the same references in the same order", () => {
  for (const value of samples) {
    const made = [[], []];
    const reference = (list) => (obj) => {
      if (!(obj instanceof Map)) return undefined;
      list.push(obj);
      return { type: "Worksheet", value: list.length, isSpec: true };
    };
    assert.equal(wireText(value, reference(made[0])), JSON.stringify(toWire(value, reference(made[1]))), String(value));
    assert.equal(made[0].length, made[1].length, String(value));
    made[0].forEach((obj, i) => assert.equal(obj, made[1][i], String(value)));
  }
});

test("wireText refuses what toWire refuses, with its message", () => {
  let deep = [1];
  for (let i = 0; i < 70; i++) deep = [deep];
  let deepDict = {};
  for (let i = 0; i < 70; i++) deepDict = [{ a: deepDict }];
  for (const value of [() => 1, [1, [() => 1]], deep, deepDict]) {
    const message = /** @type {Error} */ (catching(() => toWire(value))).message;
    assert.throws(() => wireText(value), (e) => e instanceof WireError && e.message === message, message);
  }
});

/** @param {() => unknown} run */
function catching(run) {
  try {
    run();
  } catch (exc) {
    return exc;
  }
  assert.fail("it did not throw");
}

test("cellsFromWire gives a plain grid's cells as decoding and toCellValue do, and declines the rest", () => {
  const w = (type, value) => ({ type, value, isSpec: false });
  const row = (...items) => w("Array", items);
  const plain = row(
    row(w("String", "a"), w("Int", -0), w("Int", 3), w("Float", 2.5), w("Bool", true), w("Null", null)),
    row(w("Date", "2024-05-01T14:00:00"), w("Date", "1800-01-01"), w("Date", "2024-05-01T14:00:00.5+02:00"), row()),
  );
  for (const wire of [plain, w("String", "x"), w("Float", 1e300), row()]) {
    assert.deepEqual(cellsFromWire(wire), toCellValue(fromWire(wire, hooks)));
  }
  const declined = [
    w("Int", "12345678901234567890"), w("Float", "NaN"), w("Float", Infinity), w("Date", "2024-02-30"),
    w("Array", null), w("Dict", {}), w("Bytes", "AP8="), { type: "Range", value: 3, isSpec: true },
    w("Int", 1.5), w("String", 5), [w("Int", 1)], null, row(w("Int", 1), w("Python_Function", "f")),
  ];
  for (const wire of declined) assert.equal(cellsFromWire(wire), undefined, JSON.stringify(wire));
});

test("bytes, dicts, arrays, references and callables", () => {
  const bytes = fromWire({ type: "Bytes", value: "AP8=" }, hooks);
  assert.deepEqual([...bytes], [0, 255]);
  assert.deepEqual(toWire(bytes), { type: "Bytes", value: "AP8=", isSpec: false });
  assert.throws(() => fromWire({ type: "Bytes", value: "A P8" }, hooks), /base64/);
  const dict = fromWire({ type: "Dict", value: { __proto__: null, a: { type: "Null" } } }, hooks);
  assert.deepEqual(dict, { a: null });
  const evil = JSON.parse('{"type":"Dict","value":{"__proto__":{"type":"Int","value":1}}}');
  assert.throws(() => fromWire(evil, hooks), /__proto__/);
  assert.deepEqual(fromWire({ type: "Range", value: 12, isSpec: true }, hooks), { id: 12, type: "Range" });
  assert.equal(fromWire({ type: "Python_Function", value: "pyfunc_ab_1", isSpec: true }, hooks), "fn:pyfunc_ab_1");
  const out = toWire({ a: [1, "x"], f() {} });
  assert.equal(out.id, -1);
  assert.equal(out.value.a.id, -1);
  assert.deepEqual(Object.keys(out.value), ["a"]);
  let deep = { type: "Null" };
  for (let i = 0; i < 100; i++) deep = { type: "Array", value: [deep] };
  assert.throws(() => fromWire(deep, hooks), /deeper/);
});

test("frames are checked once, at the boundary", () => {
  const request = { kind: "request", method: "GET", name: "workbook", caller: 0, requestId: "r1" };
  assert.deepEqual(parseFrame(JSON.stringify(request)), request);
  const refused = [
    [new Uint8Array(2), "binary"], ["{", "malformed_json"], ["NaN", "malformed_json"], ["[1]", "not_an_object"],
    ['{"kind":"hello"}', "unknown_kind"], ['{"kind":"release","ids":[1.5]}', "bad_member"],
    ['{"kind":"diag"}', "bad_member"], ['{"kind":"callback_result","callId":"c","ok":1}', "bad_member"],
    ["x".repeat(101), "oversized"],
  ];
  for (const [data, reason] of refused) {
    assert.throws(() => parseFrame(data, { maxFrameChars: 100, maxReleaseIds: 10, maxArgs: 4 }),
      (e) => e instanceof FrameError && e.reason === reason, String(data).slice(0, 20));
  }
  // A bad request that names itself can still be answered.
  const bad = [{ ...request, caller: "0" }, { ...request, method: "EVAL" }, { ...request, method: "SET" },
    { ...request, method: "CALL", args: [{ arg_type: "NAMED", name: "a b", value: { type: "Null" } }] }];
  for (const frame of bad) {
    assert.throws(() => parseFrame(JSON.stringify(frame)), (e) => e.reason === "bad_member" && e.requestId === "r1");
  }
});
