// Type names survive a minified office.js, whose class names are mangled.
import { test } from "node:test";
import assert from "node:assert/strict";
import { EventHandlerResult, EventHandlers, Range, Worksheet } from "./office-double/excel.mjs";
import { harness, pyfunc, str } from "./harness.mjs";

test("type names come from the namespaces, not from constructor names", async () => {
  for (const Class of [EventHandlerResult, EventHandlers, Range, Worksheet]) Object.defineProperty(Class, "name", { value: "a" });
  const h = harness();
  const sheet = await h.sheet();
  const range = await h.invoke(sheet.value, "getRange", str("A1"));
  const onChanged = await h.one(h.get(sheet.value, "onChanged"));
  const registration = await h.invoke(onChanged.value, "add", pyfunc("pyfunc_x_1"));
  assert.deepEqual([sheet.type, range.type, onChanged.type, registration.type],
    ["Worksheet", "Range", "EventHandlers", "EventHandlerResult"]);
});
