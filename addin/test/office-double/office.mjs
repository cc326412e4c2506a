// The `Office` namespace of the double: Office.onReady and the document's settings.
//
// Office.onReady: https://learn.microsoft.com/javascript/api/office#office-office-onready-function(1)
//   (resolves with {host, platform}; a callback is called too).
// Settings: https://learn.microsoft.com/javascript/api/office/office.settings
//   (get -> the value or null; set/remove change the in-memory copy; saveAsync persists
//   and calls back with an AsyncResult whose status is "succeeded").
// AsyncResult: https://learn.microsoft.com/javascript/api/office/office.asyncresult

export const AsyncResultStatus = Object.freeze({ Succeeded: "succeeded", Failed: "failed" });
export const HostType = Object.freeze({ Excel: "Excel", Word: "Word", PowerPoint: "PowerPoint", Outlook: "Outlook" });
export const PlatformType = Object.freeze({ PC: "PC", OfficeOnline: "OfficeOnline", Mac: "Mac", iOS: "iOS", Android: "Android", Universal: "Universal" });

/** Document settings: name -> JSON-serialisable value. */
export class Settings {
  constructor(initial = {}) {
    this._saved = JSON.parse(JSON.stringify(initial));
    this._current = JSON.parse(JSON.stringify(initial));
  }

  /** The setting's value, or null when there is none. */
  get(name) {
    return Object.hasOwn(this._current, name) ? JSON.parse(JSON.stringify(this._current[name])) : null;
  }

  set(name, value) { this._current[name] = JSON.parse(JSON.stringify(value ?? null)); }

  remove(name) { delete this._current[name]; }

  /** Persists the settings; calls back asynchronously with an AsyncResult. */
  saveAsync(options, callback) {
    const cb = typeof options === "function" ? options : callback;
    this._saved = JSON.parse(JSON.stringify(this._current));
    const asyncContext = typeof options === "object" && options ? options.asyncContext : undefined;
    if (cb) setTimeout(() => cb({ status: AsyncResultStatus.Succeeded, value: undefined, asyncContext }), 0);
  }

  refreshAsync(callback) {
    this._current = JSON.parse(JSON.stringify(this._saved));
    if (callback) setTimeout(() => callback({ status: AsyncResultStatus.Succeeded, value: this }), 0);
  }
}

/** A fresh Office namespace over the given settings. */
export function createOffice(settings, displayLanguage = "en-US") {
  const info = { host: HostType.Excel, platform: PlatformType.PC };
  return {
    AsyncResultStatus,
    HostType,
    PlatformType,
    context: {
      document: { settings },
      // The user's display language (the language of Excel's messages).
      // https://learn.microsoft.com/javascript/api/office/office.context#office-office-context-displaylanguage-member
      displayLanguage,
      contentLanguage: displayLanguage,
      host: HostType.Excel,
      platform: PlatformType.PC,
      requirements: { isSetSupported: (name) => name === "ExcelApi" },
    },
    onReady(callback) {
      if (callback) setTimeout(() => callback(info), 0);
      return Promise.resolve(info);
    },
  };
}
