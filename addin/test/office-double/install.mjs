// Installs the Office.js double as globals, the way the office.js script tag
// does in a task pane page (window.Excel, window.Office, window.OfficeExtension).

import { createOfficeDouble } from "./index.mjs";

/**
 * Creates a double and sets Excel, Office and OfficeExtension on the global object.
 * @param {object} [globalObject] defaults to globalThis
 * @param {object} [options] as for createOfficeDouble
 * @returns the double's control
 */
export function install(globalObject = globalThis, options = {}) {
  const { Excel, Office, OfficeExtension, control } = createOfficeDouble(options);
  globalObject.Excel = Excel;
  globalObject.Office = Office;
  globalObject.OfficeExtension = OfficeExtension;
  return control;
}
