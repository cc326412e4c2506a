// Errors of the Office.js double: OfficeExtension.Error and the error codes.
//
// OfficeExtension.Error: https://learn.microsoft.com/javascript/api/office/officeextension.error
//   (name "OfficeExtension.Error", code, message, debugInfo, traceMessages, innerError).
// DebugInfo: https://learn.microsoft.com/javascript/api/office/officeextension.debuginfo
//   (code, message, errorLocation, statement, surroundingStatements, fullStatements).
// Codes: https://learn.microsoft.com/javascript/api/office/officeextension.errorcodes and
//   https://learn.microsoft.com/office/dev/add-ins/reference/javascript-api-for-office-error-codes
//   (Excel-specific codes such as ItemNotFound, ItemAlreadyExists, InvalidOperation,
//   RequestPayloadSizeLimitExceeded, ResponsePayloadSizeLimitExceeded).

/** The codes OfficeExtension.Error.code can carry (Office-wide). */
export const OfficeErrorCodes = Object.freeze({
  accessDenied: "AccessDenied",
  activityLimitReached: "ActivityLimitReached",
  apiNotFound: "ApiNotFound",
  cannotRegisterEvent: "CannotRegisterEvent",
  connectionFailure: "ConnectionFailure",
  generalException: "GeneralException",
  invalidArgument: "InvalidArgument",
  invalidObjectPath: "InvalidObjectPath",
  invalidRequestContext: "InvalidRequestContext",
  propertyNotLoaded: "PropertyNotLoaded",
  runMustReturnPromise: "RunMustReturnPromise",
  valueNotLoaded: "ValueNotLoaded",
});

/** Excel.ErrorCodes (the subset the double raises, and their neighbours). */
export const ExcelErrorCodes = Object.freeze({
  accessDenied: "AccessDenied",
  apiNotFound: "ApiNotFound",
  generalException: "GeneralException",
  insertDeleteConflict: "InsertDeleteConflict",
  invalidArgument: "InvalidArgument",
  invalidBinding: "InvalidBinding",
  invalidOperation: "InvalidOperation",
  invalidOperationInCellEditMode: "InvalidOperationInCellEditMode",
  invalidReference: "InvalidReference",
  invalidSelection: "InvalidSelection",
  itemAlreadyExists: "ItemAlreadyExists",
  itemNotFound: "ItemNotFound",
  notImplemented: "NotImplemented",
  requestAborted: "RequestAborted",
  requestPayloadSizeLimitExceeded: "RequestPayloadSizeLimitExceeded",
  responsePayloadSizeLimitExceeded: "ResponsePayloadSizeLimitExceeded",
  unsupportedOperation: "UnsupportedOperation",
});

// Message texts. Only the codes are stable: Excel words its messages in the
// user's display language. The en-US texts of the documented codes follow the
// error table of "Error handling with the application-specific JavaScript APIs"
// (https://learn.microsoft.com/office/dev/add-ins/testing/application-specific-api-error-handling);
// the others, and every de-DE text, are the double's own wording.
const EN_US = {
  InvalidArgument: "The argument is invalid or missing or has an incorrect format.",
  ItemNotFound: "The requested resource doesn't exist.",
  ItemAlreadyExists: "The resource being created already exists.",
  InvalidOperation: "The operation attempted is invalid on the object.",
  InvalidOperationInCellEditMode: "The operation isn't available while Excel is in cell-edit mode. Exit edit mode by using the Enter or Tab keys, or by selecting another cell, and then try again.",
  GeneralException: "There was an internal error while processing the request.",
  UnsupportedOperation: "The operation being attempted is not supported.",
  RequestPayloadSizeLimitExceeded: "The request payload size has exceeded the limit. See the documentation: https://learn.microsoft.com/office/dev/add-ins/concepts/resource-limits-and-performance-optimization#excel-add-ins.",
  ResponsePayloadSizeLimitExceeded: "The response payload size has exceeded the limit. See the documentation: https://learn.microsoft.com/office/dev/add-ins/concepts/resource-limits-and-performance-optimization#excel-add-ins.",
  ShapeMismatch: "The number of rows or columns in the input array doesn't match the size or dimensions of the range.",
  InvalidObjectPath: (path) => `The object path '${path}' isn't working for what you're trying to do. If you're using the object across multiple "context.sync" calls and outside the sequential execution of a ".run" batch, please use the "context.trackedObjects.add()" and "context.trackedObjects.remove()" methods to manage the object's lifetime.`,
  PropertyNotLoaded: (name) => `The property '${name}' is not available. Before reading the property's value, call the load method on the containing object and call "context.sync()" on the associated request context.`,
  ValueNotLoaded: 'The value of the result object has not been loaded yet. Before reading the value property, call "context.sync()" on the associated request context.',
  RunMustReturnPromise: 'The batch function passed to the ".run" method didn\'t return a promise. The function must return a promise, so that any automatically-tracked objects can be released at the completion of the batch operation. Typically, you return a promise by returning the response from "context.sync()".',
  InvalidRequestContext: "Cannot use the object across different request contexts.",
  // The double's own texts for its own limits.
  TooManyCells: (cells, limit) => `The range has ${cells} cells; reads are limited to ${limit} cells.`,
  FillTooLarge: (limit) => `The double fills at most ${limit} cells with one value.`,
  NoSuchProperty: (name, className) => `The property '${name}' does not exist on ${className}.`,
  UnboundedWrite: "Cell-level properties cannot be set on an entire column or row.",
  CellTooLong: (limit) => `A cell can hold at most ${limit} characters.`,
  BadFormula: (formula) => `The formula '${formula}' contains an error.`,
};

const DE_DE = {
  InvalidArgument: "Das Argument ist ungültig, fehlt oder hat ein falsches Format.",
  ItemNotFound: "Die angeforderte Ressource ist nicht vorhanden.",
  ItemAlreadyExists: "Die zu erstellende Ressource ist bereits vorhanden.",
  InvalidOperation: "Der versuchte Vorgang ist für das Objekt ungültig.",
  InvalidOperationInCellEditMode: "Der Vorgang ist im Zellbearbeitungsmodus nicht verfügbar. Beenden Sie den Bearbeitungsmodus mit der EINGABETASTE oder der TAB-TASTE oder durch Auswahl einer anderen Zelle, und versuchen Sie es dann erneut.",
  GeneralException: "Bei der Verarbeitung der Anforderung ist ein interner Fehler aufgetreten.",
  UnsupportedOperation: "Der versuchte Vorgang wird nicht unterstützt.",
  RequestPayloadSizeLimitExceeded: "Die Nutzlast der Anforderung hat die Größenbeschränkung überschritten.",
  ResponsePayloadSizeLimitExceeded: "Die Nutzlast der Antwort hat die Größenbeschränkung überschritten.",
  ShapeMismatch: "Die Anzahl der Zeilen oder Spalten im Eingabearray entspricht nicht der Größe oder den Dimensionen des Bereichs.",
  InvalidObjectPath: (path) => `Der Objektpfad '${path}' funktioniert für Ihren Vorgang nicht. Verwenden Sie "context.trackedObjects.add()" und "context.trackedObjects.remove()", wenn Sie das Objekt über mehrere "context.sync"-Aufrufe hinweg verwenden.`,
  PropertyNotLoaded: (name) => `Die Eigenschaft '${name}' ist nicht verfügbar. Rufen Sie vor dem Lesen die load-Methode des Objekts und "context.sync()" für den zugehörigen Anforderungskontext auf.`,
  ValueNotLoaded: 'Der Wert des Ergebnisobjekts wurde noch nicht geladen. Rufen Sie vor dem Lesen der value-Eigenschaft "context.sync()" für den zugehörigen Anforderungskontext auf.',
  RunMustReturnPromise: 'Die an ".run" übergebene Batchfunktion hat keine Zusage (Promise) zurückgegeben.',
  InvalidRequestContext: "Das Objekt kann nicht in verschiedenen Anforderungskontexten verwendet werden.",
  TooManyCells: (cells, limit) => `Der Bereich hat ${cells} Zellen; gelesen werden höchstens ${limit} Zellen.`,
  FillTooLarge: (limit) => `Das Double füllt höchstens ${limit} Zellen mit einem Wert.`,
  NoSuchProperty: (name, className) => `Die Eigenschaft '${name}' ist für ${className} nicht vorhanden.`,
  UnboundedWrite: "Eigenschaften auf Zellebene können für ganze Spalten oder Zeilen nicht festgelegt werden.",
  CellTooLong: (limit) => `Eine Zelle kann höchstens ${limit} Zeichen enthalten.`,
  BadFormula: (formula) => `Die Formel '${formula}' enthält einen Fehler.`,
};

const LANGUAGES = { "en-us": EN_US, "de-de": DE_DE };

/** The display languages the double has texts for. */
export const DISPLAY_LANGUAGES = Object.freeze(["en-US", "de-DE"]);

/** The texts of one display language: "de-DE", "de" and "de-AT" all give German; unknown ones English. */
export function messagesFor(language = "en-US") {
  const tag = String(language).toLowerCase();
  if (LANGUAGES[tag]) return LANGUAGES[tag];
  const primary = tag.split("-")[0];
  for (const [name, texts] of Object.entries(LANGUAGES)) if (name.split("-")[0] === primary) return texts;
  return EN_US;
}

/** The text of message `key` (a code, or one of the double's own keys) in `language`. */
export function localize(language, key, ...args) {
  const entry = messagesFor(language)[key] ?? EN_US[key];
  if (entry === undefined) return key;
  return typeof entry === "function" ? entry(...args) : entry;
}

/** The en-US texts (kept for callers that name a message directly). */
export const MESSAGES = Object.freeze({ ...EN_US });

/**
 * The error a failing sync (or a misuse caught on the client) raises.
 * https://learn.microsoft.com/javascript/api/office/officeextension.error
 */
export class OfficeExtensionError extends Error {
  constructor(code, message, debugInfo = {}, traceMessages = []) {
    super(message);
    this.name = "OfficeExtension.Error";
    this.code = code;
    this.traceMessages = traceMessages;
    this.debugInfo = { code, message, ...debugInfo };
    this.innerError = null;
  }
  toString() { return `${this.name}: ${this.code}: ${this.message}`; }
}

/**
 * A host-side failure: raised while a batch runs, turned into an
 * OfficeExtension.Error by the sync that ran it.
 */
export class HostError extends Error {
  /**
   * @param {string} code the documented error code
   * @param {string} [key] the message (a key of the texts above; the code's own text by default)
   * @param {any[]} [args] arguments of a parameterised message
   */
  constructor(code, key = code, args = []) {
    super(localize("en-US", key, ...args));
    this.code = code;
    this.key = key;
    this.args = args;
  }

  /** The message in the double's display language. */
  text(language) { return localize(language, this.key, ...this.args); }
}

/** A client-side error, raised at once (not at the next sync). */
export function clientError(code, message, errorLocation) {
  return new OfficeExtensionError(code, message, errorLocation ? { errorLocation } : {});
}
