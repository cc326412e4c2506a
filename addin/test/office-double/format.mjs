// range.format of the Office.js double: RangeFormat, RangeFont, RangeFill.
//
// Reference pages:
//   RangeFormat https://learn.microsoft.com/javascript/api/excel/excel.rangeformat
//     (columnWidth and rowHeight in points, horizontalAlignment, verticalAlignment,
//      wrapText, font, fill, autofitColumns(), autofitRows())
//   RangeFont   https://learn.microsoft.com/javascript/api/excel/excel.rangefont
//   RangeFill   https://learn.microsoft.com/javascript/api/excel/excel.rangefill (color, clear())
//   A property read over cells that differ is null:
//   https://learn.microsoft.com/office/dev/add-ins/excel/excel-add-ins-blank-null-values#null-property-values-in-the-response
// Format changes raise onFormatChanged, never onChanged, so nothing here records a change.
//
// Formats are kept as layered rules per sheet (area + properties, the last
// rule covering a cell wins), so formatting whole columns costs nothing.
// The double renders nothing: autofit changes no width.

import { Area, MAX_COLUMNS, MAX_ROWS } from "./addresses.mjs";
import { HostError } from "./errors.mjs";
import { ClientObject, defineNavigation, defineScalars } from "./runtime.mjs";

// Excel's defaults for a new workbook (Calibri 11, 8.43 characters = 48 points, 15 points).
const DEFAULTS = Object.freeze({
  "font.name": "Calibri", "font.size": 11, "font.color": "#000000", "font.bold": false, "font.italic": false,
  "fill.color": "#FFFFFF", horizontalAlignment: "General", verticalAlignment: "Bottom", wrapText: false,
  columnWidth: 48, rowHeight: 15,
});
const NAMED_COLORS = { black: "#000000", white: "#FFFFFF", red: "#FF0000", green: "#008000", blue: "#0000FF", yellow: "#FFFF00" };
const HORIZONTAL = ["General", "Left", "Center", "Right", "Fill", "Justify", "CenterAcrossSelection", "Distributed"];
const VERTICAL = ["Top", "Center", "Bottom", "Justify", "Distributed"];

function covers(outer, inner) {
  return outer.top <= inner.top && outer.left <= inner.left && outer.bottom >= inner.bottom && outer.right >= inner.right;
}

function meets(a, b) {
  return a.top <= b.bottom && b.top <= a.bottom && a.left <= b.right && b.left <= a.right;
}

// Widths belong to whole columns and heights to whole rows.
function spanOf(prop, area) {
  if (prop === "columnWidth") return new Area(0, area.left, MAX_ROWS - 1, area.right);
  if (prop === "rowHeight") return new Area(area.top, 0, area.bottom, MAX_COLUMNS - 1);
  return area;
}

/** The property over the area: its value when every cell agrees, else null. */
function uniform(sheet, area, prop) {
  if (sheet.deleted) throw new HostError("ItemNotFound");
  const span = spanOf(prop, area);
  const rules = (sheet.styles ??= []).filter((r) => prop in r.props && meets(r.area, span));
  let start = 0;
  let value = DEFAULTS[prop];
  for (let i = rules.length - 1; i >= 0; i--) {
    if (covers(rules[i].area, span)) { start = i + 1; value = rules[i].props[prop]; break; }
  }
  for (const rule of rules.slice(start)) if (rule.props[prop] !== value) return null;
  return value;
}

function style(sheet, area, props) {
  if (sheet.deleted) throw new HostError("ItemNotFound");
  for (const [prop, value] of Object.entries(props)) {
    (sheet.styles ??= []).push({ area: spanOf(prop, area), props: { [prop]: value } });
  }
}

/**
 * The areas carrying a format other than the default (for the used range):
 * a rule counts unless a later rule for the same property covers it. Widths,
 * heights and whole-row or whole-column formats belong to rows and columns,
 * not to cells, and count for nothing.
 */
export function formattedAreas(sheet) {
  const rules = sheet.styles ?? [];
  const out = [];
  rules.forEach((rule, i) => {
    const [[prop, value]] = Object.entries(rule.props);
    if (value === DEFAULTS[prop] || prop === "columnWidth" || prop === "rowHeight") return;
    if (rule.area.rowCount === MAX_ROWS || rule.area.columnCount === MAX_COLUMNS) return;
    if (rules.slice(i + 1).some((later) => prop in later.props && covers(later.area, rule.area))) return;
    out.push(rule.area);
  });
  return out;
}

/** Range.clear("Formats"/"All") puts every format property back to its default. */
export function clearFormats(sheet, area) {
  const props = { ...DEFAULTS };
  delete props.columnWidth;
  delete props.rowHeight;
  style(sheet, area, props);
}

const check = {
  boolean: (v) => { if (typeof v !== "boolean") throw new HostError("InvalidArgument"); return v; },
  points: (v) => { if (typeof v !== "number" || !(v >= 0 && v <= 409 * 5)) throw new HostError("InvalidArgument"); return v; },
  size: (v) => { if (typeof v !== "number" || !(v >= 1 && v <= 409)) throw new HostError("InvalidArgument"); return v; },
  text: (v) => { if (typeof v !== "string" || v === "") throw new HostError("InvalidArgument"); return v; },
  color: (v) => {
    if (typeof v === "string" && /^#[0-9A-Fa-f]{6}$/.test(v)) return v.toUpperCase();
    if (typeof v === "string" && Object.hasOwn(NAMED_COLORS, v.toLowerCase())) return NAMED_COLORS[v.toLowerCase()];
    throw new HostError("InvalidArgument");
  },
  oneOf: (list) => (v) => { if (!list.includes(v)) throw new HostError("InvalidArgument"); return v; },
};

function prop(key, validate) {
  return {
    get: (t) => uniform(t.sheet, t.area, key),
    set: (t, value) => style(t.sheet, t.area, { [key]: validate(value) }),
  };
}

export class RangeFont extends ClientObject {
  static _className = "RangeFont";
  static _props = {
    name: prop("font.name", check.text),
    size: prop("font.size", check.size),
    color: prop("font.color", check.color),
    bold: prop("font.bold", check.boolean),
    italic: prop("font.italic", check.boolean),
  };
}
defineScalars(RangeFont);

export class RangeFill extends ClientObject {
  static _className = "RangeFill";
  static _props = { color: prop("fill.color", check.color) };

  /** Removes the background (back to no fill). */
  clear() {
    this._void("clear", [], (t) => style(t.sheet, t.area, { "fill.color": DEFAULTS["fill.color"] }));
  }
}
defineScalars(RangeFill);

export class RangeFormat extends ClientObject {
  static _className = "RangeFormat";
  static _props = {
    columnWidth: prop("columnWidth", check.points),
    rowHeight: prop("rowHeight", check.points),
    horizontalAlignment: prop("horizontalAlignment", check.oneOf(HORIZONTAL)),
    verticalAlignment: prop("verticalAlignment", check.oneOf(VERTICAL)),
    wrapText: prop("wrapText", check.boolean),
  };

  /** Fits the columns' widths to their contents (the double renders nothing: widths stay). */
  autofitColumns() { this._void("autofitColumns", [], () => {}); }

  /** Fits the rows' heights to their contents (the double renders nothing: heights stay). */
  autofitRows() { this._void("autofitRows", [], () => {}); }
}
defineScalars(RangeFormat);
defineNavigation(RangeFormat, "font", (self) => new RangeFont(self._context, self, (t) => t, `${self._path}.font`));
defineNavigation(RangeFormat, "fill", (self) => new RangeFill(self._context, self, (t) => t, `${self._path}.fill`));
