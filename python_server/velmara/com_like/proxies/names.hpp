// Constant strings of the proxy operations and routing.
#pragma once

#include "../capi/names.hpp"

#define PROXY_NAMES(X)                                   \
    X(typ, "_typ")                                       \
    X(internal_cache, "_internal_cache")                 \
    X(typ_object, "officejs_object")                     \
    X(typ_array, "officejs_array")                       \
    X(typ_dict, "officejs_dict")                         \
    X(type_function, "Function")                         \
    X(key_method, "method")                              \
    X(key_caller, "caller")                              \
    X(key_args, "args")                                  \
    X(key_arg_type, "arg_type")                          \
    X(key_result, "result")                              \
    X(arg_placed, "PLACED")                              \
    X(arg_named, "NAMED")                                \
    X(method_get, "GET")                                 \
    X(method_set, "SET")                                 \
    X(method_getitem, "GETITEM")                         \
    X(method_call, "CALL")                               \
    X(method_del, "DEL")                                 \
    X(dunder_call, "__call__")                           \
    X(dunder_del, "__del__")                             \
    X(send_request_sync, "send_request_sync")            \
    X(op_getattr, "_cw__getattr__")                      \
    X(op_getitem, "_cw__getitem__")                      \
    X(op_setattr, "_cw__setattr__")                      \
    X(op_call, "_cw__call__")                            \
    X(op_del, "_cw__del__")                              \
    X(internal_names, "_internal_officejs_names")        \
    X(with_traceback, "with_traceback")                  \
    X(keys_name, "keys")                                 \
    X(init_name, "__init__")                             \
    X(empty, "")

namespace com_like::proxies {
COM_LIKE_DECLARE_NAMES(PROXY_NAMES)
int intern_names() noexcept;
}  // namespace com_like::proxies
