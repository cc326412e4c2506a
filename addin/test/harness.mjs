// A kernel's view of the executor for the tests: frames in, answers out,
// over a fresh Office.js double.
import { createOfficeDouble } from "./office-double/index.mjs";
import { Executor } from "../src/executor.mjs";
import { makeGetSetting } from "../src/settings.mjs";

export const str = (value) => ({ type: "String", value, isSpec: false });
export const int = (value) => ({ type: "Int", value, isSpec: false });
export const grid = (rows) => ({
  type: "Array", isSpec: false,
  value: rows.map((row) => ({ type: "Array", isSpec: false, value: row.map((v) => (typeof v === "string" ? str(v) : int(v))) })),
});
export const placed = (...values) => values.map((value) => ({ arg_type: "PLACED", value }));
export const pyfunc = (id) => ({ type: "Python_Function", value: id, isSpec: true });

/** Polls `condition` once per 10 ms for up to a minute. */
export async function until(condition, what) {
  for (let i = 0; i < 6000; i++) {
    if (condition()) return;
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
  throw new Error(`timed out waiting for ${what}`);
}

export function harness({ double = {}, config = { "user.name": "Ada" }, watchdogMs = 60_000, ...options } = {}) {
  const office = createOfficeDouble({ sheets: ["Sheet1", "Sheet2"], ...double });
  const sent = [];
  let hung = 0;
  const executor = new Executor({
    Excel: office.Excel,
    OfficeExtension: office.OfficeExtension,
    getSetting: makeGetSetting({ documentSettings: office.Office.context.document.settings, config }),
    send: (text) => sent.push(JSON.parse(text)),
    watchdogMs,
    onHang: () => { hung += 1; },
    ...options,
  });
  let n = 0;

  /** Send requests together (one batch); resolves with their answers in order. */
  async function batch(...requests) {
    const ids = requests.map((r) => {
      const requestId = `r${++n}`;
      executor.handleFrame({ kind: "request", requestId, ...r });
      return requestId;
    });
    await executor.drain();
    return ids.map((id) => sent.find((f) => f.requestId === id));
  }

  /** One request; its result, or throws with the add-in's error text. */
  async function one(request) {
    const [answer] = await batch(request);
    if (!answer.ok) throw new Error(answer.error.message);
    return answer.result;
  }

  const get = (caller, name) => ({ method: "GET", caller, name });
  const set = (caller, name, value) => ({ method: "SET", caller, name, value });
  const call = (caller, args = []) => ({ method: "CALL", caller, name: "__call__", args });
  const item = (caller, name) => ({ method: "GETITEM", caller, name });

  /** obj.method(...args) as the kernel sends it: GET then CALL. */
  async function invoke(caller, method, ...args) {
    const fn = await one(get(caller, method));
    return one(call(fn.value, placed(...args)));
  }

  /** Context.workbook.worksheets.getItem(name): the sheet's reference. */
  async function sheet(name = "Sheet1") {
    const book = await one(get(0, "workbook"));
    const sheets = await one(get(book.value, "worksheets"));
    return invoke(sheets.value, "getItem", str(name));
  }

  const release = (...ids) => executor.handleFrame({ kind: "release", ids });

  return {
    office, control: office.control, executor, sent, batch, one, get, set, call, item, invoke, sheet, release,
    get hung() { return hung; },
  };
}
