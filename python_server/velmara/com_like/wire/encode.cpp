// Encoding Python values into wire values: Serializer.to_wire.
//
// The type tests run in a fixed order and the first that matches decides:
//   None; bool and numpy.bool_; int; float; str; numpy integers (durations
//   excepted) and numpy floats; dates (datetime, date, pandas.Timestamp,
//   numpy.datetime64); bytes-like; list and tuple; dict; missing-value
//   markers; pandas Series and DataFrame; numpy arrays; proxies of remote
//   objects; other callables; everything else as its text.
//
// The collaborators (np, pd, dt, base64, Serializer, OfficeJsObject,
// messaging) come from the module namespace. One `Encoder` serves one
// top-level call: it resolves each collaborator the first time a value
// needs it and reuses it for the rest of that call, so a rebinding takes
// effect with the next call. When `Serializer.to_wire` is still our own
// function, elements are encoded here directly instead of through it.
#include "../capi/args.hpp"
#include "../capi/error.hpp"
#include "../capi/recursion.hpp"
#include "../capi/sequence.hpp"
#include "codec.hpp"

#include <datetime.h>

#include <cstring>
#include <limits>
#include <vector>

namespace com_like::wire {

namespace {

constexpr const char kDepth[] = " while encoding a wire value";

// {"type": tag, "value": None, "isSpec": is_spec} for each tag met so far:
// a copy of one of these and a new value is about half the work of a new
// dict filled key by key, which is most of encoding a cell. They are only
// ever copied, never handed out.
struct Template {
    PyObject* tag = nullptr;  // borrowed: the tags are interned for the life of the process
    bool is_spec = false;
    PyObject* dict = nullptr;  // owned, never released
};
constexpr std::size_t kTemplates = 16;
Template templates[kTemplates];

PyObject* template_for(PyObject* tag, bool is_spec) noexcept {
    for (Template& t : templates) {
        if (t.tag == tag && t.is_spec == is_spec) {
            return t.dict;
        }
        if (!t.tag) {
            Ref dict = steal(PyDict_New());
            if (!dict || PyDict_SetItem(dict.get(), key_type, tag) < 0 ||
                PyDict_SetItem(dict.get(), key_value, Py_None) < 0 ||
                PyDict_SetItem(dict.get(), key_is_spec, is_spec ? Py_True : Py_False) < 0) {
                PyErr_Clear();
                return nullptr;
            }
            t = {tag, is_spec, dict.release()};
            return t.dict;
        }
    }
    return nullptr;  // all slots taken: built key by key
}

// {"type": tag, "value": value, "isSpec": is_spec}, in that key order.
// `value` is consumed; a null `value` (a failed conversion) gives null.
inline Ref make_wire(PyObject* tag, Ref value, bool is_spec) noexcept {
    if (!value) {
        return {};
    }
    if (PyObject* shape = template_for(tag, is_spec)) {
        Ref wire = steal(PyDict_Copy(shape));
        if (!wire || PyDict_SetItem(wire.get(), key_value, value.get()) < 0) {
            return {};
        }
        return wire;
    }
    Ref wire = steal(PyDict_New());
    if (!wire || PyDict_SetItem(wire.get(), key_type, tag) < 0 ||
        PyDict_SetItem(wire.get(), key_value, value.get()) < 0 ||
        PyDict_SetItem(wire.get(), key_is_spec, is_spec ? Py_True : Py_False) < 0) {
        return {};
    }
    return wire;
}

Ref attr(PyObject* object, PyObject* name) { return steal(PyObject_GetAttr(object, name)); }
Ref call_method(PyObject* object, PyObject* name) { return steal(PyObject_CallMethodNoArgs(object, name)); }
Ref call_method(PyObject* object, PyObject* name, PyObject* arg) {
    return steal(PyObject_CallMethodOneArg(object, name, arg));
}

// A class whose instance test is the plain subtype test: isinstance() of an
// exact built-in value against it needs no call.
bool plain_type(PyObject* cls) { return PyType_Check(cls) && Py_IS_TYPE(cls, &PyType_Type); }

// Whether isinstance(x, cls) may hold for some x of the exact type `exact`.
bool may_take(PyObject* cls, PyTypeObject* exact) {
    return !plain_type(cls) || PyType_IsSubtype(exact, reinterpret_cast<PyTypeObject*>(cls));
}

// The kind letter of a numpy dtype is one of "biuf": bool, int, uint, float.
// Returns -1 with an error set.
int numeric_kind(PyObject* dtype) {
    Ref kind = attr(dtype, attr_kind);
    if (!kind) {
        return -1;
    }
    if (!PyUnicode_Check(kind.get()) || PyUnicode_GET_LENGTH(kind.get()) != 1) {
        return 0;
    }
    const Py_UCS4 c = PyUnicode_READ_CHAR(kind.get(), 0);
    return c == 'b' || c == 'i' || c == 'u' || c == 'f';
}

// Drops a pending exception of the Exception family (returns true) and
// leaves anything else, such as KeyboardInterrupt, pending (returns false).
bool discard_exception() {
    Raised error;
    if (error.is_exception()) {
        return true;
    }
    error.restore();
    return false;
}

// The text of Timestamp.isoformat() for a naive Timestamp `ticks` units
// (of `per_second` to the second) after the epoch: the datetime text to the
// microsecond, then the nanoseconds, as pandas writes them. Null without
// an error for a year outside 1 to 9999, whose text pandas writes its own way.
Ref timestamp_text(long long ticks, long long per_second) {
    const long long per_day = 86400LL * per_second;
    long long days = ticks / per_day;
    long long rest = ticks % per_day;
    if (rest < 0) {
        rest += per_day;
        --days;
    }
    // Civil date from days since 1970-01-01 (proleptic Gregorian).
    const long long z = days + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    if (year < 1 || year > 9999) {
        return {};
    }
    const long long seconds = rest / per_second;
    const long long nanos = (rest % per_second) * (1000000000LL / per_second);
    const int micro = static_cast<int>(nanos / 1000);
    const int nano = static_cast<int>(nanos % 1000);

    char buf[40];
    char* out = buf;
    auto digits = [&out](long long value, int width) {
        for (int i = width - 1; i >= 0; --i) {
            out[i] = static_cast<char>('0' + value % 10);
            value /= 10;
        }
        out += width;
    };
    digits(year, 4);
    *out++ = '-';
    digits(month, 2);
    *out++ = '-';
    digits(day, 2);
    *out++ = 'T';
    digits(seconds / 3600, 2);
    *out++ = ':';
    digits(seconds / 60 % 60, 2);
    *out++ = ':';
    digits(seconds % 60, 2);
    if (micro || nano) {
        *out++ = '.';
        digits(micro, 6);
        if (nano) {
            digits(nano, 3);
        }
    }
    const auto length = static_cast<Py_ssize_t>(out - buf);
    PyObject* text = PyUnicode_New(length, 127);
    if (text) {
        std::memcpy(PyUnicode_1BYTE_DATA(text), buf, static_cast<std::size_t>(length));
    }
    return steal(text);
}

class Encoder {
public:
    Ref encode(PyObject* value);

private:
    bool need_bool();
    bool need_numbers();
    bool need_dates();
    bool need_missing();
    bool need_to_wire();
    Ref element(PyObject* item);

    [[gnu::noinline]] Ref encode_general(PyObject* value);
    [[gnu::noinline]] Ref encode_date(PyObject* value);
    [[gnu::noinline]] Ref encode_datetime64(PyObject* value);
    bool format_iso(PyObject* moment, Ref& text);
    Ref iso_text(PyObject* moment);
    [[gnu::noinline]] Ref encode_bytes(PyObject* value);
    Ref encode_sequence(PyObject* value);
    Ref encode_iterable(PyObject* iterable, Py_ssize_t size_hint);
    Ref encode_mapping(PyObject* value);
    [[gnu::noinline]] int is_missing(PyObject* value);
    [[gnu::noinline]] Ref encode_frame(PyObject* value, bool is_series);
    [[gnu::noinline]] Ref column_cells(PyObject* series);
    [[gnu::noinline]] int date_column(PyObject* series, Ref& wires);
    bool timestamps_plain();
    [[gnu::noinline]] Ref encode_ndarray(PyObject* value);
    [[gnu::noinline]] Ref encode_proxy(PyObject* value);
    [[gnu::noinline]] Ref encode_callable(PyObject* value);

    // bool step
    Ref np_, np_bool_;
    bool fast_int_ = false, fast_float_ = false, fast_str_ = false;
    // numpy number step
    Ref np_integer_, np_floating_, np_timedelta64_;
    // date step
    Ref dt_, dt_datetime_, dt_date_, pd_, pd_timestamp_, np_datetime64_;
    bool fast_containers_ = false;
    Ref utc_;
    // missing-value step; each may stay null, the step then skips it
    bool missing_ready_ = false;
    Ref pd_na_, pd_nat_, np_isnat_;
    // the later steps
    Ref np_dates_[4];  // datetime64 of us, ns, ms, s
    int timestamps_plain_ = -1;
    Ref b64encode_, pd_series_, pd_dataframe_, np_ndarray_, np_asarray_, np_dtype_, office_js_object_, messaging_;
    // the recursion
    Ref to_wire_;
    bool native_ = false;
};

bool Encoder::need_bool() {
    if (np_bool_) {
        return true;
    }
    np_ = lookup_global(global_np);
    np_bool_ = np_ ? attr(np_.get(), attr_bool_) : Ref();
    if (!np_bool_) {
        return false;
    }
    fast_int_ = !may_take(np_bool_.get(), &PyLong_Type);
    fast_float_ = !may_take(np_bool_.get(), &PyFloat_Type);
    fast_str_ = !may_take(np_bool_.get(), &PyUnicode_Type);
    return true;
}

bool Encoder::need_numbers() {
    if (np_timedelta64_) {
        return true;
    }
    if (!need_bool()) {
        return false;
    }
    np_integer_ = attr(np_.get(), attr_integer);
    np_floating_ = np_integer_ ? attr(np_.get(), attr_floating) : Ref();
    np_timedelta64_ = np_floating_ ? attr(np_.get(), attr_timedelta64) : Ref();
    return bool(np_timedelta64_);
}

bool Encoder::need_dates() {
    if (np_datetime64_) {
        return true;
    }
    if (!need_numbers()) {
        return false;
    }
    dt_ = lookup_global(global_dt);
    dt_datetime_ = dt_ ? attr(dt_.get(), attr_datetime) : Ref();
    dt_date_ = dt_datetime_ ? attr(dt_.get(), attr_date) : Ref();
    pd_ = dt_date_ ? lookup_global(global_pd) : Ref();
    pd_timestamp_ = pd_ ? attr(pd_.get(), attr_timestamp) : Ref();
    np_datetime64_ = pd_timestamp_ ? attr(np_.get(), attr_datetime64) : Ref();
    if (!np_datetime64_) {
        return false;
    }
    // An exact list, tuple or dict skips the earlier steps only when none
    // of their classes could claim it.
    fast_containers_ = true;
    for (PyObject* cls : {np_bool_.get(), np_integer_.get(), np_floating_.get(), dt_datetime_.get(), dt_date_.get(),
                          pd_timestamp_.get(), np_datetime64_.get()}) {
        for (PyTypeObject* exact : {&PyList_Type, &PyTuple_Type, &PyDict_Type}) {
            fast_containers_ = fast_containers_ && !may_take(cls, exact);
        }
    }
    return true;
}

// The markers of the missing-value step. A marker that cannot be found is
// skipped; the step must never stop the encoding.
bool Encoder::need_missing() {
    if (missing_ready_) {
        return true;
    }
    missing_ready_ = true;
    struct Want {
        Ref* slot;
        PyObject* owner;
        PyObject* name;
    } wants[] = {{&pd_na_, pd_.get(), attr_na}, {&pd_nat_, pd_.get(), attr_nat}, {&np_isnat_, np_.get(), attr_isnat}};
    for (Want& want : wants) {
        *want.slot = attr(want.owner, want.name);
        if (!*want.slot && !discard_exception()) {
            return false;
        }
    }
    return true;
}

bool Encoder::need_to_wire() {
    if (to_wire_) {
        return true;
    }
    to_wire_ = serializer_method(attr_to_wire);
    native_ = to_wire_ && to_wire_.get() == state().to_wire;
    return bool(to_wire_);
}

Ref Encoder::element(PyObject* item) {
    if (!need_to_wire()) {
        return {};
    }
    if (native_) {
        return encode(item);
    }
    return steal(PyObject_CallOneArg(to_wire_.get(), item));
}

Ref Encoder::encode(PyObject* value) {
    if (value == Py_None) {
        return make_wire(tag_null, none(), false);
    }
    if (!need_bool()) {
        return {};
    }
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyLong_Type && fast_int_) {
        return make_wire(tag_int, borrow(value), false);
    }
    if (type == &PyUnicode_Type && fast_str_) {
        return make_wire(tag_string, borrow(value), false);
    }
    if (type == &PyFloat_Type && fast_float_) {
        return make_wire(tag_float, borrow(value), false);
    }
    if (type == &PyBool_Type) {
        return make_wire(tag_bool, borrow(value), false);
    }
    if (type == &PyList_Type || type == &PyTuple_Type || type == &PyDict_Type) {
        if (!need_dates()) {
            return {};
        }
        if (fast_containers_) {
            return type == &PyDict_Type ? encode_mapping(value) : encode_sequence(value);
        }
    }
    return encode_general(value);
}

// Every step in order, for values that no exact-type shortcut decided.
Ref Encoder::encode_general(PyObject* value) {
    int is = 0;
    if (Py_IS_TYPE(value, &PyBool_Type) || (is = PyObject_IsInstance(value, np_bool_.get())) > 0) {
        const int truth = PyObject_IsTrue(value);
        return truth < 0 ? Ref() : make_wire(tag_bool, boolean(truth), false);
    }
    if (is < 0) {
        return {};
    }
    if (PyLong_Check(value)) {
        return make_wire(tag_int, PyLong_CheckExact(value) ? borrow(value) : steal(PyNumber_Long(value)), false);
    }
    if (PyFloat_Check(value)) {
        return make_wire(tag_float, PyFloat_CheckExact(value) ? borrow(value) : steal(PyNumber_Float(value)), false);
    }
    if (PyUnicode_Check(value)) {
        return make_wire(tag_string, borrow(value), false);
    }

    // numpy numbers keep their kind; a timedelta64 is a duration, though
    // numpy derives it from its integers, and travels as text.
    if (!need_numbers()) {
        return {};
    }
    if ((is = PyObject_IsInstance(value, np_integer_.get())) != 0) {
        if (is < 0 || (is = PyObject_IsInstance(value, np_timedelta64_.get())) < 0) {
            return {};
        }
        if (!is) {
            return make_wire(tag_int, steal(PyNumber_Long(value)), false);
        }
    }
    if ((is = PyObject_IsInstance(value, np_floating_.get())) != 0) {
        return is < 0 ? Ref() : make_wire(tag_float, steal(PyNumber_Float(value)), false);
    }

    if (!need_dates()) {
        return {};
    }
    for (PyObject* cls : {dt_datetime_.get(), dt_date_.get(), pd_timestamp_.get(), np_datetime64_.get()}) {
        if ((is = PyObject_IsInstance(value, cls)) != 0) {
            return is < 0 ? Ref() : encode_date(value);
        }
    }
    if (PyBytes_Check(value) || PyByteArray_Check(value) || PyMemoryView_Check(value)) {
        return encode_bytes(value);
    }
    if (PyList_Check(value) || PyTuple_Check(value)) {
        return encode_sequence(value);
    }
    if (PyDict_Check(value)) {
        return encode_mapping(value);
    }
    if ((is = is_missing(value)) != 0) {
        return is < 0 ? Ref() : make_wire(tag_null, none(), false);
    }

    if (!pd_series_) {
        pd_series_ = attr(pd_.get(), attr_series);
        pd_dataframe_ = pd_series_ ? attr(pd_.get(), attr_dataframe) : Ref();
        if (!pd_dataframe_) {
            return {};
        }
    }
    if ((is = PyObject_IsInstance(value, pd_series_.get())) != 0) {
        return is < 0 ? Ref() : encode_frame(value, true);
    }
    if ((is = PyObject_IsInstance(value, pd_dataframe_.get())) != 0) {
        return is < 0 ? Ref() : encode_frame(value, false);
    }

    if (!np_ndarray_ && !(np_ndarray_ = attr(np_.get(), attr_ndarray))) {
        return {};
    }
    if ((is = PyObject_IsInstance(value, np_ndarray_.get())) != 0) {
        return is < 0 ? Ref() : encode_ndarray(value);
    }

    if (!office_js_object_ && !(office_js_object_ = lookup_global(global_office_js_object))) {
        return {};
    }
    if ((is = PyObject_IsInstance(value, office_js_object_.get())) != 0) {
        return is < 0 ? Ref() : encode_proxy(value);
    }
    if (PyCallable_Check(value)) {
        return encode_callable(value);
    }
    return make_wire(tag_string, steal(PyObject_Str(value)), false);
}

// The ISO 8601 text that isoformat() gives, made from the value's fields
// for the classes whose isoformat() is known: an exact datetime.datetime
// (naive, or in UTC, as an aware value is after astimezone), an exact
// datetime.date, and an exact pandas Timestamp with no nanoseconds beyond
// its microseconds. Returns false, with nothing set, for anything else,
// which then gets its own isoformat().
bool Encoder::format_iso(PyObject* moment, Ref& text) {
    PyTypeObject* type = Py_TYPE(moment);
    const bool is_datetime = type == PyDateTimeAPI->DateTimeType;
    const bool is_timestamp = !is_datetime && pd_timestamp_ && type == reinterpret_cast<PyTypeObject*>(pd_timestamp_.get());
    if (!is_datetime && !is_timestamp && type != PyDateTimeAPI->DateType) {
        return false;
    }
    const bool with_time = is_datetime || is_timestamp;
    PyObject* tzinfo = with_time ? PyDateTime_DATE_GET_TZINFO(moment) : Py_None;
    if (tzinfo != Py_None && tzinfo != PyDateTime_TimeZone_UTC) {
        return false;
    }
    const int year = PyDateTime_GET_YEAR(moment);
    if (is_timestamp) {
        // pandas keeps the finer digits and, for years a datetime cannot
        // hold, the real year outside the datetime fields.
        Ref nanosecond = attr(moment, attr_nanosecond);
        Ref real_year = nanosecond ? attr(moment, attr_year) : Ref();
        if (!real_year) {
            PyErr_Clear();
            return false;
        }
        const long ns = PyLong_AsLong(nanosecond.get());
        const long y = PyLong_AsLong(real_year.get());
        if (ns != 0 || y != year) {
            PyErr_Clear();
            return false;
        }
    }
    char buf[48];
    char* out = buf;
    auto digits = [&out](int value, int width) {
        for (int i = width - 1; i >= 0; --i) {
            out[i] = static_cast<char>('0' + value % 10);
            value /= 10;
        }
        out += width;
    };
    digits(year, 4);
    *out++ = '-';
    digits(PyDateTime_GET_MONTH(moment), 2);
    *out++ = '-';
    digits(PyDateTime_GET_DAY(moment), 2);
    if (with_time) {
        *out++ = 'T';
        digits(PyDateTime_DATE_GET_HOUR(moment), 2);
        *out++ = ':';
        digits(PyDateTime_DATE_GET_MINUTE(moment), 2);
        *out++ = ':';
        digits(PyDateTime_DATE_GET_SECOND(moment), 2);
        if (const int micro = PyDateTime_DATE_GET_MICROSECOND(moment)) {
            *out++ = '.';
            digits(micro, 6);
        }
        if (tzinfo != Py_None) {
            std::memcpy(out, "+00:00", 6);
            out += 6;
        }
    }
    const auto length = static_cast<Py_ssize_t>(out - buf);
    PyObject* made = PyUnicode_New(length, 127);
    if (made) {
        std::memcpy(PyUnicode_1BYTE_DATA(made), buf, static_cast<std::size_t>(length));
    }
    text = steal(made);
    return true;
}

Ref Encoder::iso_text(PyObject* moment) {
    Ref text;
    if (format_iso(moment, text)) {
        return text;
    }
    return call_method(moment, attr_isoformat);
}

// pandas' NaT is a datetime too; it and numpy's NaT carry no instant.
// Aware datetimes travel in UTC.
Ref Encoder::encode_date(PyObject* value) {
    if (!need_missing()) {
        return {};
    }
    if (pd_nat_ && value == pd_nat_.get()) {
        return make_wire(tag_null, none(), false);
    }
    int is = PyObject_IsInstance(value, np_datetime64_.get());
    if (is != 0) {
        return is < 0 ? Ref() : encode_datetime64(value);
    }
    Ref moment = borrow(value);
    if ((is = PyObject_IsInstance(value, dt_datetime_.get())) < 0) {
        return {};
    }
    if (is) {
        Ref tzinfo = attr(value, attr_tzinfo);
        const int aware = tzinfo ? PyObject_IsTrue(tzinfo.get()) : -1;
        if (aware < 0) {
            return {};
        }
        if (aware) {
            if (!utc_) {
                Ref timezone = attr(dt_.get(), attr_timezone);
                utc_ = timezone ? attr(timezone.get(), attr_utc) : Ref();
                if (!utc_) {
                    return {};
                }
            }
            moment = call_method(value, attr_astimezone, utc_.get());
            if (!moment) {
                return {};
            }
        }
    }
    return make_wire(tag_date, iso_text(moment.get()), false);
}

// numpy.datetime64 as ISO 8601 text of the same instant, to the
// microsecond: the text a datetime of that instant gives, or numpy's own
// text for years that datetime cannot hold.
Ref Encoder::encode_datetime64(PyObject* value) {
    if (np_isnat_) {
        Ref nat = steal(PyObject_CallOneArg(np_isnat_.get(), value));
        const int is_nat = nat ? PyObject_IsTrue(nat.get()) : -1;
        if (is_nat < 0) {
            return {};
        }
        if (is_nat) {
            return make_wire(tag_null, none(), false);
        }
    }
    Ref micro = call_method(value, attr_astype, text_datetime64_us);
    Ref item = micro ? call_method(micro.get(), attr_item) : Ref();
    if (!item) {
        return {};
    }
    if (PyLong_Check(item.get())) {
        // numpy's text comes as a numpy.str_; a "Date" value is always an exact str.
        Ref as_string = attr(np_.get(), attr_datetime_as_string);
        Ref text = as_string ? steal(PyObject_CallOneArg(as_string.get(), micro.get())) : Ref();
        return make_wire(tag_date, text ? steal(PyUnicode_FromObject(text.get())) : Ref(), false);
    }
    return make_wire(tag_date, iso_text(item.get()), false);
}

Ref Encoder::encode_bytes(PyObject* value) {
    Ref data = PyBytes_CheckExact(value) ? borrow(value) : steal(PyBytes_FromObject(value));
    if (!data) {
        return {};
    }
    if (!b64encode_) {
        Ref base64 = lookup_global(global_base64);
        b64encode_ = base64 ? attr(base64.get(), attr_b64encode) : Ref();
        if (!b64encode_) {
            return {};
        }
    }
    Ref encoded = steal(PyObject_CallOneArg(b64encode_.get(), data.get()));
    if (!encoded) {
        return {};
    }
    if (PyBytes_CheckExact(encoded.get())) {
        return make_wire(tag_bytes,
                         steal(PyUnicode_DecodeASCII(PyBytes_AS_STRING(encoded.get()),
                                                     PyBytes_GET_SIZE(encoded.get()), nullptr)),
                         false);
    }
    return make_wire(tag_bytes, call_method(encoded.get(), attr_decode, text_ascii), false);
}

Ref Encoder::encode_sequence(PyObject* value) {
    RecursionGuard depth(kDepth);
    return depth.ok() ? encode_iterable(value, 0) : Ref();
}

// "Array" of the items of a list, a tuple or any iterable, in order;
// `size_hint` presizes.
Ref Encoder::encode_iterable(PyObject* iterable, Py_ssize_t size_hint) {
    return make_wire(tag_array, map_items(iterable, size_hint, [this](PyObject* item) { return element(item); }),
                     false);
}

// Keys are kept as they are.
Ref Encoder::encode_mapping(PyObject* value) {
    RecursionGuard depth(kDepth);
    if (!depth.ok()) {
        return {};
    }
    Ref out = steal(PyDict_New());
    if (!out || !map_entries(value, out.get(), [this](PyObject* item) { return element(item); })) {
        return {};
    }
    return make_wire(tag_dict, std::move(out), false);
}

// pandas.NA, pandas.NaT and numpy's NaT values. The value is only compared
// and handed to numpy.isnat when it is a numpy date or duration: nothing
// is read from it, since on a proxy every attribute read is a remote
// request. Errors mean "not missing". Returns -1 only for exceptions
// outside the Exception family.
int Encoder::is_missing(PyObject* value) {
    if (!need_missing()) {
        return -1;
    }
    if ((pd_na_ && value == pd_na_.get()) || (pd_nat_ && value == pd_nat_.get())) {
        return 1;
    }
    if (!np_isnat_) {
        return 0;
    }
    int is = PyObject_IsInstance(value, np_datetime64_.get());
    if (is == 0) {
        is = PyObject_IsInstance(value, np_timedelta64_.get());
    }
    Ref nat = is > 0 ? steal(PyObject_CallOneArg(np_isnat_.get(), value)) : Ref();
    const int truth = nat ? PyObject_IsTrue(nat.get()) : (is == 0 ? 0 : -1);
    if (truth < 0) {
        return discard_exception() ? 0 : -1;
    }
    return truth;
}

// A frame travels as its column labels followed by one array per row, the
// index left out. Cells are taken column by column so that each keeps its
// kind: numbers as numbers, dates as pandas Timestamps, missing cells of
// non-numeric columns as None.
Ref Encoder::encode_frame(PyObject* value, bool is_series) {
    RecursionGuard depth(kDepth);
    if (!depth.ok()) {
        return {};
    }
    Ref frame = is_series ? call_method(value, attr_to_frame) : borrow(value);
    Ref columns = frame ? attr(frame.get(), attr_columns) : Ref();
    Ref labels = columns ? call_method(columns.get(), attr_tolist) : Ref();
    if (!labels) {
        return {};
    }
    const Py_ssize_t rows = PyObject_Length(frame.get());
    if (rows < 0) {
        return {};
    }
    Ref items = call_method(frame.get(), attr_items);
    Ref iterator = items ? steal(PyObject_GetIter(items.get())) : Ref();
    if (!iterator) {
        return {};
    }
    if (!need_to_wire()) {
        return {};
    }
    std::vector<Ref> cells;
    std::vector<bool> encoded;  // columns whose cells are wire values already
    while (Ref pair = steal(PyIter_Next(iterator.get()))) {
        Ref label, series;
        if (!unpack_pair(pair.get(), label, series)) {
            return {};
        }
        Ref column;
        const int dates = native_ ? date_column(series.get(), column) : 0;
        if (dates < 0) {
            return {};
        }
        if (!dates) {
            column = column_cells(series.get());
        }
        if (!column) {
            return {};
        }
        encoded.push_back(dates > 0);
        if (PyList_GET_SIZE(column.get()) != rows) {
            PyErr_SetString(PyExc_ValueError, "DataFrame column length differs from the number of rows");
            return {};
        }
        cells.push_back(std::move(column));
    }
    if (PyErr_Occurred()) {
        return {};
    }
    const Py_ssize_t width = static_cast<Py_ssize_t>(cells.size());
    if (!native_) {
        // A replaced to_wire gets the table as plain lists, labels first.
        ListBuilder table(rows + 1);
        if (!table.ok() || !table.push(std::move(labels))) {
            return {};
        }
        for (Py_ssize_t r = 0; r < rows; ++r) {
            ListBuilder row(width);
            if (!row.ok()) {
                return {};
            }
            for (Py_ssize_t c = 0; c < width; ++c) {
                row.push(borrow(PyList_GET_ITEM(cells[c].get(), r)));  // within the reserve: cannot fail
            }
            if (!table.push(row.finish())) {
                return {};
            }
        }
        return steal(PyObject_CallOneArg(to_wire_.get(), table.finish().get()));
    }
    ListBuilder out(rows + 1);
    if (!out.ok() || !out.push(encode(labels.get()))) {
        return {};
    }
    for (Py_ssize_t r = 0; r < rows; ++r) {
        ListBuilder row(width);
        if (!row.ok()) {
            return {};
        }
        for (Py_ssize_t c = 0; c < width; ++c) {
            Ref cell = borrow(PyList_GET_ITEM(cells[c].get(), r));
            if (!row.push(encoded[c] ? std::move(cell) : encode(cell.get()))) {
                return {};
            }
        }
        if (!out.push(make_wire(tag_array, row.finish(), false))) {
            return {};
        }
    }
    return make_wire(tag_array, out.finish(), false);
}

// Whether a pandas Timestamp cell would take the date step as a real
// datetime does: `dt.datetime` and `pd.Timestamp` are the real classes and
// no earlier step's class could claim a Timestamp.
bool Encoder::timestamps_plain() {
    if (timestamps_plain_ < 0) {
        timestamps_plain_ = 0;
        if (need_dates() && dt_datetime_.get() == reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType) &&
            plain_type(pd_timestamp_.get()) &&
            PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(pd_timestamp_.get()), PyDateTimeAPI->DateTimeType)) {
            auto* timestamp = reinterpret_cast<PyTypeObject*>(pd_timestamp_.get());
            bool plain = true;
            for (PyObject* cls : {np_bool_.get(), np_integer_.get(), np_floating_.get()}) {
                plain = plain && !may_take(cls, timestamp);
            }
            timestamps_plain_ = plain ? 1 : 0;
        }
        PyErr_Clear();
    }
    return timestamps_plain_ > 0;
}

// A naive datetime64 column (seconds to nanoseconds), as the wire values
// its Timestamp cells would get: the Date text that Timestamp.isoformat()
// gives, made from the column's integers, and Null for NaT. 1 when `wires`
// holds them, 0 for any other column (or a year pandas writes its own
// way), -1 with an error set.
int Encoder::date_column(PyObject* series, Ref& wires) {
    struct Unit {
        Ref* dtype;
        PyObject* name;
        long long per_second;
    };
    Unit units[] = {{&np_dates_[0], text_datetime64_us, 1000000LL},
                    {&np_dates_[1], text_datetime64_ns, 1000000000LL},
                    {&np_dates_[2], text_datetime64_ms, 1000LL},
                    {&np_dates_[3], text_datetime64_s, 1LL}};
    if (!np_dtype_ && !(np_dtype_ = attr(np_.get(), attr_dtype))) {
        return -1;
    }
    for (Unit& unit : units) {
        if (!*unit.dtype && !(*unit.dtype = steal(PyObject_CallOneArg(np_dtype_.get(), unit.name)))) {
            return -1;
        }
    }
    Ref dtype = attr(series, attr_dtype);
    if (!dtype) {
        return -1;
    }
    // Only numpy's own datetime dtype (not a tz-aware column, not an
    // extension type): its comparisons run no code of anyone else's.
    if (!Py_IS_TYPE(dtype.get(), Py_TYPE(np_dates_[0].get()))) {
        return 0;
    }
    long long per_second = 0;
    for (Unit& unit : units) {
        const int same = PyObject_RichCompareBool(dtype.get(), unit.dtype->get(), Py_EQ);
        if (same < 0) {
            return -1;
        }
        if (same) {
            per_second = unit.per_second;
            break;
        }
    }
    if (!per_second || !timestamps_plain()) {
        return 0;
    }
    Ref values = call_method(series, attr_to_numpy);
    Ref ints = values ? call_method(values.get(), attr_view, text_i8) : Ref();
    Ref list = ints ? call_method(ints.get(), attr_tolist) : Ref();
    if (!list) {
        return -1;
    }
    if (!PyList_CheckExact(list.get())) {
        return 0;
    }
    const Py_ssize_t n = PyList_GET_SIZE(list.get());
    ListBuilder out(n);
    if (!out.ok()) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        const long long ticks = PyLong_AsLongLong(PyList_GET_ITEM(list.get(), i));
        if (ticks == -1 && PyErr_Occurred()) {
            return -1;
        }
        if (ticks == std::numeric_limits<long long>::min()) {  // NaT
            if (!out.push(make_wire(tag_null, none(), false))) {
                return -1;
            }
            continue;
        }
        Ref text = timestamp_text(ticks, per_second);
        if (!text) {
            return PyErr_Occurred() ? -1 : 0;
        }
        if (!out.push(make_wire(tag_date, std::move(text), false))) {
            return -1;
        }
    }
    wires = out.finish();
    return 1;
}

// The cells of one column as a list of Python values.
Ref Encoder::column_cells(PyObject* series) {
    if (!np_dtype_ && !(np_dtype_ = attr(np_.get(), attr_dtype))) {
        return {};
    }
    Ref dtype = attr(series, attr_dtype);
    if (!dtype) {
        return {};
    }
    int numeric = PyObject_IsInstance(dtype.get(), np_dtype_.get());
    if (numeric > 0) {
        numeric = numeric_kind(dtype.get());
    }
    if (numeric < 0) {
        return {};
    }
    Ref cells;
    if (numeric) {
        cells = call_method(series, attr_tolist);
    } else {
        PyObject* args[] = {series, reinterpret_cast<PyObject*>(&PyBaseObject_Type), Py_None};
        Ref objects = steal(PyObject_VectorcallMethod(attr_to_numpy, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                      state().object_kwnames));
        cells = objects ? call_method(objects.get(), attr_tolist) : Ref();
    }
    if (cells && !PyList_CheckExact(cells.get())) {
        cells = steal(PySequence_List(cells.get()));
    }
    return cells;
}

// An array travels by its content: a 0-d array as its one item, any other
// as an array per dimension. Numeric arrays go through tolist(), which
// yields the Python numbers their items would be encoded as.
Ref Encoder::encode_ndarray(PyObject* value) {
    RecursionGuard depth(kDepth);
    if (!depth.ok()) {
        return {};
    }
    if (!np_asarray_ && !(np_asarray_ = attr(np_.get(), attr_asarray))) {
        return {};
    }
    Ref array = steal(PyObject_CallOneArg(np_asarray_.get(), value));
    Ref ndim_obj = array ? attr(array.get(), attr_ndim) : Ref();
    if (!ndim_obj) {
        return {};
    }
    const Py_ssize_t ndim = PyLong_AsSsize_t(ndim_obj.get());
    if (ndim < 0) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ValueError, "array has a negative number of dimensions");
        }
        return {};
    }
    if (ndim == 0) {
        Ref no_index = steal(PyTuple_New(0));
        Ref item = no_index ? steal(PyObject_GetItem(array.get(), no_index.get())) : Ref();
        return item ? element(item.get()) : Ref();
    }
    Ref dtype = attr(array.get(), attr_dtype);
    const int numeric = dtype ? numeric_kind(dtype.get()) : -1;
    if (numeric < 0) {
        return {};
    }
    if (numeric) {
        Ref nested = call_method(array.get(), attr_tolist);
        return nested ? element(nested.get()) : Ref();
    }
    const Py_ssize_t length = PyObject_Length(array.get());
    if (length < 0) {
        return {};
    }
    return encode_iterable(array.get(), length);
}

Ref Encoder::encode_proxy(PyObject* value) {
    Ref type_name = attr(value, attr_internal_type_name);
    Ref object_id = type_name ? attr(value, attr_internal_id) : Ref();
    return type_name ? make_wire(type_name.get(), std::move(object_id), true) : Ref();
}

Ref Encoder::encode_callable(PyObject* value) {
    if (!messaging_ && !(messaging_ = lookup_global(global_messaging))) {
        return {};
    }
    return make_wire(tag_python_function, call_method(messaging_.get(), attr_register_callable, value), true);
}

Ref encode(PyObject* value) {
    Encoder encoder;
    return encoder.encode(value);
}

}  // namespace

int init_encoder() noexcept {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
    }
    return PyDateTimeAPI ? 0 : -1;
}

PyObject* to_wire_entry(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    static constexpr const char* names[] = {"value"};
    static const Signature sig("Serializer.to_wire", names, 1);
    Bound<1> a(sig, args, nargsf, kwnames);
    if (!a.ok()) {
        return nullptr;
    }
    return encode(a[0]).release();
}

}  // namespace com_like::wire
