// protocol.mjs — the words the add-in and the kernel agree on (docs/protocol.md).
//
// The one copy of them on this side: frame kinds, request methods, argument
// kinds, reserved object ids, wire tags and close codes. The kernel's copy is
// python_server/velmara/protocol; tests/protocol/test_vocabulary.py proves the
// two equal.

/** Frame kinds, both directions. */
export const KIND = Object.freeze({
  // from the kernel
  REQUEST: "request",
  RELEASE: "release",
  CALLBACK_RESULT: "callback_result",
  DIAG: "diag",
  // from the add-in
  RESPONSE: "excel_response",
  CALLBACK: "callback",
  DIAG_RESULT: "diag_result",
});

/** Request methods. DEL comes only from older kernels (releases replace it). */
export const METHOD = Object.freeze({
  GET: "GET",
  SET: "SET",
  GETITEM: "GETITEM",
  CALL: "CALL",
  DEL: "DEL",
});

/** How a CALL argument is given. */
export const ARG = Object.freeze({
  PLACED: "PLACED",
  NAMED: "NAMED",
});

/** Pinned roots (never released) and the snapshot id of plain arrays and dicts. */
export const ID = Object.freeze({
  CONTEXT: 0,
  EXCEL: 1,
  GET_SETTING: 2,
  SNAPSHOT: -1,
});

/** Wire value tags; any other tag with isSpec true is a reference's type name. */
export const TAG = Object.freeze({
  NULL: "Null",
  BOOL: "Bool",
  INT: "Int",
  FLOAT: "Float",
  STRING: "String",
  DATE: "Date",
  BYTES: "Bytes",
  ARRAY: "Array",
  DICT: "Dict",
  PYTHON_FUNCTION: "Python_Function",
});

/** Texts of the numbers JSON cannot carry, under the "Float" tag. */
export const NON_FINITE_TEXT = Object.freeze({ NAN: "NaN", INFINITY: "Infinity", MINUS_INFINITY: "-Infinity" });

/** WebSocket close codes either end uses. */
export const CLOSE = Object.freeze({
  NORMAL: 1000,
  TOO_BIG: 1009, // a frame beyond the transport's limit
  STALLED: 4000, // Excel stopped answering; the add-in comes back with a fresh request context
});

/** The kernel's default limit on one incoming frame, in characters. */
export const MAX_FRAME_CHARS = 8 * 2 ** 20;

/** The Null wire value. */
export const NULL = Object.freeze({ type: TAG.NULL, value: null, isSpec: false });
