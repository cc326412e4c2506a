// The Office.js double: a fresh, isolated Excel + Office + OfficeExtension over
// a simulated workbook, for the add-in's tests and the Node far end. No Excel
// runs here, so everything the add-in proves is proven against this file's
// reading of Microsoft's public documentation; each rule names its page where
// it is implemented (runtime.mjs, excel.mjs, model.mjs, cells.mjs, format.mjs,
// tables.mjs, office.mjs, errors.mjs).
//
// Usage:
//   const { Excel, Office, OfficeExtension, control } = createOfficeDouble({ sheets: ["Sheet1"] });
//   await Excel.run(async (context) => { ... });
//   control.syncs, control.emptySyncs, control.faults.{payloadLimitBytes, hangSync, latencyMs}

import { DISPLAY_LANGUAGES, ExcelErrorCodes, OfficeErrorCodes, OfficeExtensionError } from "./errors.mjs";
import {
  changedEventArgs, EventHandlerResult, EventHandlers, NamedItem, NamedItemCollection, Range, Table, TableCollection,
  Workbook, Worksheet, WorksheetCollection,
} from "./excel.mjs";
import { RangeFill, RangeFont, RangeFormat } from "./format.mjs";
import { WorkbookModel } from "./model.mjs";
import { createOffice, Settings } from "./office.mjs";
import { ClientObject, ClientResult, RequestContextBase, TrackedObjects, run } from "./runtime.mjs";
import { Area, formatArea, parseArea } from "./addresses.mjs";

/**
 * A fresh, isolated Office environment over a new workbook.
 * `displayLanguage` ("en-US" by default; the double has texts for
 * DISPLAY_LANGUAGES, others fall back to English) is the language of error
 * messages: Excel words them in the user's display language, only the codes are
 * stable. https://learn.microsoft.com/javascript/api/office/office.context#office-office-context-displaylanguage-member
 * @param {{sheets?: string[], workbookName?: string, settings?: object, displayLanguage?: string,
 *          latencyMs?: number, payloadLimitBytes?: number|null}} [options]
 */
export function createOfficeDouble(options = {}) {
  const model = new WorkbookModel(options.workbookName ?? "Book1.xlsx", options.sheets ?? ["Sheet1"]);
  const counters = { syncs: 0, emptySyncs: 0, hungSyncs: 0, commands: 0, cellEditRejections: 0 };
  const faults = {
    // Excel on the web's 5 MB cap on request and response payloads; null lifts it.
    payloadLimitBytes: options.payloadLimitBytes === undefined ? 5_000_000 : options.payloadLimitBytes,
    hangSync: false,
    // The user is editing a cell: every sync that carries commands fails (runtime.mjs).
    cellEditMode: false,
    latencyMs: options.latencyMs ?? 0,
  };
  const settings = new Settings(options.settings ?? {});

  const displayLanguage = options.displayLanguage ?? "en-US";
  const env = {
    language: displayLanguage,
    model,
    counters,
    faults,
    handlers: [],
    tracked: new Set(),
    /** Runs the handlers of recorded changes, each on its own task after the sync. */
    dispatch(changes, triggerSource = "ThisLocalAddin") {
      for (const change of changes) {
        for (const { handler } of change.handlers) {
          setTimeout(() => {
            try {
              Promise.resolve(handler({ ...changedEventArgs(change), triggerSource })).catch(() => {});
            } catch {
              // A throwing handler is the add-in's fault; Excel carries on.
            }
          }, 0);
        }
      }
    },
  };

  class RequestContext extends RequestContextBase {
    constructor() { super(env); }

    /** The workbook (a navigation property: a proxy at once). */
    get workbook() {
      return (this._workbook ??= new Workbook(this, null, (root) => root, "workbook"));
    }
  }

  const Excel = {
    run: (...args) => run(RequestContext, args),
    RequestContext,
    ErrorCodes: ExcelErrorCodes,
    Workbook,
    WorksheetCollection,
    Worksheet,
    Range,
    RangeFormat,
    RangeFont,
    RangeFill,
    NamedItemCollection,
    NamedItem,
    TableCollection,
    Table,
    ClearApplyTo: Object.freeze({ all: "All", formats: "Formats", contents: "Contents", hyperlinks: "Hyperlinks", removeHyperlinks: "RemoveHyperlinks", resetContents: "ResetContents" }),
    EventTriggerSource: Object.freeze({ unknown: "Unknown", thisLocalAddin: "ThisLocalAddin" }),
    DataChangeType: Object.freeze({ unknown: "Unknown", rangeEdited: "RangeEdited" }),
  };

  const OfficeExtension = {
    Error: OfficeExtensionError,
    ErrorCodes: OfficeErrorCodes,
    ClientResult,
    ClientObject,
    ClientRequestContext: RequestContextBase,
    TrackedObjects,
    EventHandlers,
    EventHandlerResult,
    Promise,
  };

  const Office = createOffice(settings, displayLanguage);

  const control = {
    /** Syncs that sent a batch (did work). */
    get syncs() { return counters.syncs; },
    /** Syncs with nothing queued (cost nothing). */
    get emptySyncs() { return counters.emptySyncs; },
    /** Syncs left hanging by faults.hangSync. */
    get hungSyncs() { return counters.hungSyncs; },
    /** Syncs refused by faults.cellEditMode. */
    get cellEditRejections() { return counters.cellEditRejections; },
    /** Commands sent in all batches. */
    get commands() { return counters.commands; },
    /** Objects the host holds for context.trackedObjects (added and not yet released by a sync). */
    get tracked() { return env.tracked.size; },
    /** Event handlers currently registered. */
    get handlers() { return env.handlers.length; },
    faults,
    workbook: model,
    settings,
    reset() { counters.syncs = counters.emptySyncs = counters.hungSyncs = counters.commands = 0; },
    /**
     * A user typing into the sheet: writes the values and raises onChanged
     * (triggerSource "Unknown") as an edit in Excel's grid would.
     */
    userEdit(sheetName, address, values) {
      const sheet = model.get(sheetName);
      const area = parseArea(address);
      if (!area) throw new Error(`not an address: ${address}`);
      sheet.write(area, "values", values);
      const handlers = env.handlers.filter((h) => h.sheet === sheet);
      env.dispatch([{ handlers, sheet, address: formatArea(area), details: undefined }], "Unknown");
    },
  };

  return { Excel, Office, OfficeExtension, control };
}

export { Area, DISPLAY_LANGUAGES };
