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

// Message texts as Excel reports them (the error-codes page lists these wordings).
export const MESSAGES = Object.freeze({
  InvalidArgument: "The argument is invalid or missing or has an incorrect format.",
  ItemNotFound: "The requested resource doesn't exist.",
  ItemAlreadyExists: "A resource with the same name or identifier already exists.",
  InvalidOperation: "The operation attempted is invalid on the object.",
  GeneralException: "There was an internal error while processing the request.",
  RequestPayloadSizeLimitExceeded: "The request payload size has exceeded the limit. See the documentation: https://learn.microsoft.com/office/dev/add-ins/concepts/resource-limits-and-performance-optimization#excel-add-ins.",
  ResponsePayloadSizeLimitExceeded: "The response payload size has exceeded the limit. See the documentation: https://learn.microsoft.com/office/dev/add-ins/concepts/resource-limits-and-performance-optimization#excel-add-ins.",
  ShapeMismatch: "The number of rows or columns in the input array doesn't match the size or dimensions of the range.",
  InvalidObjectPath: (path) => `The object path '${path}' isn't working for what you're trying to do. If you're using the object across multiple "context.sync" calls and outside the sequential execution of a ".run" batch, please use the "context.trackedObjects.add()" and "context.trackedObjects.remove()" methods to manage the object's lifetime.`,
  PropertyNotLoaded: (name) => `The property '${name}' is not available. Before reading the property's value, call the load method on the containing object and call "context.sync()" on the associated request context.`,
  ValueNotLoaded: 'The value of the result object has not been loaded yet. Before reading the value property, call "context.sync()" on the associated request context.',
  RunMustReturnPromise: 'The batch function passed to the ".run" method didn\'t return a promise. The function must return a promise, so that any automatically-tracked objects can be released at the completion of the batch operation. Typically, you return a promise by returning the response from "context.sync()".',
  InvalidRequestContext: "Cannot use the object across different request contexts.",
});

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
  constructor(code, message = MESSAGES[code] ?? code) {
    super(typeof message === "string" ? message : code);
    this.code = code;
  }
}

export function hostError(code, message) { return new HostError(code, message); }

/** A client-side error, raised at once (not at the next sync). */
export function clientError(code, message, errorLocation) {
  return new OfficeExtensionError(code, message, errorLocation ? { errorLocation } : {});
}
