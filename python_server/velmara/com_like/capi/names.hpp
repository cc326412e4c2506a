// Interned names, and the one rule they are named by.
//
// Every constant string that the module hands to the C API is interned once
// for the process and named by its role:
//   key_*     a key of a message, a request body or a wire value ("requestId")
//   attr_*    an attribute or method name read or called on an object
//             ("_guid", "set_result", "isoformat")
//   global_*  a name looked up in the module namespace ("messaging", "np")
//   tag_*     a wire tag or remote type name ("Null", "Array", "Function")
//   method_*  a request method ("GET")
//   text_*    any other constant text: values, argument names, formats
//             ("request", "PLACED", "Remote error")
// One interned object per text: a text that more than one subsystem uses
// lives here, and a text with two roles is kept once under one of them and
// given the other role's name as an alias below. Each subsystem's own
// names.hpp lists only what it alone uses; tests/module checks that no
// text is listed twice.
//
// Namespaces: the vocabulary (capi/), these shared names and the module
// entry live in `com_like`; each subsystem's code and names live in
// `com_like::messaging`, `com_like::wire` or `com_like::proxies`.
#pragma once

#include "interned.hpp"

#define SHARED_NAMES(X)                              \
    X(attr_get, "get")                               \
    X(text_self, "self")                             \
    X(key_name, "name")                              \
    X(key_value, "value")                            \
    X(key_ok, "ok")                                  \
    X(key_error, "error")                            \
    X(key_message, "message")                        \
    X(text_remote_error, "Remote error")             \
    X(attr_items, "items")                           \
    X(attr_guid, "_guid")                            \
    X(attr_msg_guid, "_msg_guid")                    \
    X(attr_internal_id, "_internal_id")              \
    X(attr_internal_type_name, "_internal_typeName") \
    X(tag_array, "Array")                            \
    X(tag_dict, "Dict")                              \
    X(global_messaging, "messaging")                 \
    X(global_serializer, "Serializer")               \
    X(attr_to_wire, "to_wire")                       \
    X(attr_from_wire, "from_wire")                   \
    X(key_result, "result")                          \
    X(key_kind, "kind")                              \
    X(attr_init, "__init__")                         \
    X(attr_add_note, "add_note")

namespace com_like {

COM_LIKE_DECLARE_NAMES(SHARED_NAMES)

// Texts with a second role: Future.result() and dtype.kind.
inline PyObject*& attr_result = key_result;
inline PyObject*& attr_kind = key_kind;

// Sets up the vocabulary itself: the shared names, the function type, the
// lock's C functions. Runs first in the module body.
int init_capi() noexcept;

}  // namespace com_like
