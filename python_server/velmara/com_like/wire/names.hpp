// Constant strings of the encoder and decoder: wire keys, tags, the names
// of the collaborators in the module namespace and the attributes read on
// them. Interned once; the hot loops never build a string.
#pragma once

#include "../capi/names.hpp"

#define WIRE_NAMES(X)                                \
    X(type_key, "type")                              \
    X(is_spec_key, "isSpec")                         \
    X(id_key, "id")                                  \
    X(tag_null, "Null")                              \
    X(tag_bool, "Bool")                              \
    X(tag_int, "Int")                                \
    X(tag_float, "Float")                            \
    X(tag_string, "String")                          \
    X(tag_date, "Date")                              \
    X(tag_bytes, "Bytes")                            \
    X(tag_python_function, "Python_Function")        \
    X(g_np, "np")                                    \
    X(g_pd, "pd")                                    \
    X(g_dt, "dt")                                    \
    X(g_base64, "base64")                            \
    X(g_office_js_object, "OfficeJsObject")          \
    X(g_office_js_array, "OfficeJsArray")            \
    X(g_office_js_dict, "OfficeJsDict")              \
    X(a_bool_, "bool_")                              \
    X(a_integer, "integer")                          \
    X(a_floating, "floating")                        \
    X(a_timedelta64, "timedelta64")                  \
    X(a_datetime64, "datetime64")                    \
    X(a_ndarray, "ndarray")                          \
    X(a_asarray, "asarray")                          \
    X(a_isnat, "isnat")                              \
    X(a_dtype, "dtype")                        \
    X(a_datetime_as_string, "datetime_as_string")    \
    X(a_datetime, "datetime")                        \
    X(a_date, "date")                                \
    X(a_timezone, "timezone")                        \
    X(a_utc, "utc")                                  \
    X(a_timestamp, "Timestamp")                      \
    X(a_nat, "NaT")                                  \
    X(a_na, "NA")                                    \
    X(a_series, "Series")                            \
    X(a_dataframe, "DataFrame")                      \
    X(a_tzinfo, "tzinfo")                            \
    X(a_astimezone, "astimezone")                    \
    X(a_isoformat, "isoformat")                      \
    X(a_fromisoformat, "fromisoformat")              \
    X(a_b64encode, "b64encode")                      \
    X(a_b64decode, "b64decode")                      \
    X(a_decode, "decode")                            \
    X(s_ascii, "ascii")                              \
    X(a_extend, "extend")                            \
    X(a_update, "update")                            \
    X(a_to_frame, "to_frame")                        \
    X(a_columns, "columns")                          \
    X(a_tolist, "tolist")                            \
    X(a_to_numpy, "to_numpy")                        \
    X(a_na_value, "na_value")                        \
    X(a_kind, "kind")                                \
    X(a_ndim, "ndim")                                \
    X(a_astype, "astype")                            \
    X(a_item, "item")                                \
    X(s_datetime64_us, "datetime64[us]")             \
    X(a_register_callable, "register_callable")

namespace com_like::wire {
COM_LIKE_DECLARE_NAMES(WIRE_NAMES)
int intern_names() noexcept;
}  // namespace com_like::wire
