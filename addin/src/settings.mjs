// settings.mjs — GetSetting: what the kernel may read about its environment.
//
// Owns the lookup order: the document's own settings (Office's per-workbook
// settings store) first, so a workbook can override the add-in, then the
// add-in's own configuration (given by the task pane or the Node host).

/**
 * @param {object} options
 * @param {{get(name: string): unknown}|null} [options.documentSettings]  Office.context.document.settings
 * @param {Record<string, unknown>} [options.config]                     the add-in's own configuration
 * @returns {(name: unknown) => unknown}
 */
export function makeGetSetting({ documentSettings = null, config = {} } = {}) {
  const own = new Map(Object.entries(config));
  return function GetSetting(name) {
    if (typeof name !== "string") throw new Error("GetSetting takes one argument, the setting's name (text)");
    if (documentSettings !== null) {
      // Office's settings.get answers null for a name it does not hold.
      const value = documentSettings.get(name);
      if (value !== null && value !== undefined) return value;
    }
    if (own.has(name)) return own.get(name);
    throw new Error(`Unknown setting '${name}'`);
  };
}
