// Constant strings of the proxy operations and routing.
#pragma once

#include "../capi/names.hpp"

#define PROXY_NAMES(X)                                   \
    X(attr_typ, "_typ")                                  \
    X(attr_internal_cache, "_internal_cache")            \
    X(text_typ_object, "officejs_object")                \
    X(text_typ_array, "officejs_array")                  \
    X(text_typ_dict, "officejs_dict")                    \
    X(tag_function, "Function")                          \
    X(key_method, "method")                              \
    X(key_caller, "caller")                              \
    X(key_args, "args")                                  \
    X(key_arg_type, "arg_type")                          \
    X(text_placed, "PLACED")                             \
    X(text_named, "NAMED")                               \
    X(method_get, "GET")                                 \
    X(method_set, "SET")                                 \
    X(method_getitem, "GETITEM")                         \
    X(method_call, "CALL")                               \
    X(method_del, "DEL")                                 \
    X(text_dunder_call, "__call__")                      \
    X(text_dunder_del, "__del__")                        \
    X(attr_send_request_sync, "send_request_sync")       \
    X(global_cw_getattr, "_cw__getattr__")               \
    X(global_cw_getitem, "_cw__getitem__")               \
    X(global_cw_setattr, "_cw__setattr__")               \
    X(global_cw_call, "_cw__call__")                     \
    X(global_cw_del, "_cw__del__")                       \
    X(global_internal_names, "_internal_officejs_names") \
    X(attr_with_traceback, "with_traceback")             \
    X(attr_keys, "keys")                                 \
    X(text_empty, "")

namespace com_like::proxies {
COM_LIKE_DECLARE_NAMES(PROXY_NAMES)
int intern_names() noexcept;
}  // namespace com_like::proxies
