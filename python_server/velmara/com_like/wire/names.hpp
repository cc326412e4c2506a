// Constant strings of the encoder and decoder: wire keys, tags, the names
// of the collaborators in the module namespace and the attributes read on
// them. Interned once; the hot loops never build a string.
#pragma once

#include "../capi/names.hpp"

#define WIRE_NAMES(X)                                \
    X(key_type, "type")                              \
    X(key_is_spec, "isSpec")                         \
    X(key_id, "id")                                  \
    X(tag_null, "Null")                              \
    X(tag_bool, "Bool")                              \
    X(tag_int, "Int")                                \
    X(tag_float, "Float")                            \
    X(tag_string, "String")                          \
    X(tag_date, "Date")                              \
    X(tag_bytes, "Bytes")                            \
    X(tag_python_function, "Python_Function")        \
    X(global_np, "np")                               \
    X(global_pd, "pd")                               \
    X(global_dt, "dt")                               \
    X(global_base64, "base64")                       \
    X(global_office_js_object, "OfficeJsObject")     \
    X(global_office_js_array, "OfficeJsArray")       \
    X(global_office_js_dict, "OfficeJsDict")         \
    X(attr_bool_, "bool_")                           \
    X(attr_integer, "integer")                       \
    X(attr_floating, "floating")                     \
    X(attr_timedelta64, "timedelta64")               \
    X(attr_datetime64, "datetime64")                 \
    X(attr_ndarray, "ndarray")                       \
    X(attr_asarray, "asarray")                       \
    X(attr_isnat, "isnat")                           \
    X(attr_dtype, "dtype")                           \
    X(attr_datetime_as_string, "datetime_as_string") \
    X(attr_datetime, "datetime")                     \
    X(attr_date, "date")                             \
    X(attr_timezone, "timezone")                     \
    X(attr_utc, "utc")                               \
    X(attr_timestamp, "Timestamp")                   \
    X(attr_nat, "NaT")                               \
    X(attr_na, "NA")                                 \
    X(attr_series, "Series")                         \
    X(attr_dataframe, "DataFrame")                   \
    X(attr_tzinfo, "tzinfo")                         \
    X(attr_astimezone, "astimezone")                 \
    X(attr_isoformat, "isoformat")                   \
    X(attr_nanosecond, "nanosecond")                 \
    X(attr_year, "year")                             \
    X(attr_fromisoformat, "fromisoformat")           \
    X(attr_b64encode, "b64encode")                   \
    X(attr_b64decode, "b64decode")                   \
    X(attr_decode, "decode")                         \
    X(text_ascii, "ascii")                           \
    X(attr_extend, "extend")                         \
    X(attr_update, "update")                         \
    X(attr_to_frame, "to_frame")                     \
    X(attr_columns, "columns")                       \
    X(attr_tolist, "tolist")                         \
    X(attr_to_numpy, "to_numpy")                     \
    X(text_na_value, "na_value")                     \
    X(attr_ndim, "ndim")                             \
    X(attr_astype, "astype")                         \
    X(attr_item, "item")                             \
    X(text_datetime64_us, "datetime64[us]")          \
    X(text_datetime64_ns, "datetime64[ns]")          \
    X(text_datetime64_ms, "datetime64[ms]")          \
    X(text_datetime64_s, "datetime64[s]")            \
    X(text_i8, "i8")                                 \
    X(attr_view, "view")                             \
    X(attr_register_callable, "register_callable")

namespace com_like::wire {
COM_LIKE_DECLARE_NAMES(WIRE_NAMES)
int intern_names() noexcept;
}  // namespace com_like::wire
