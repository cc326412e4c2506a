// Names that more than one subsystem uses: message keys, proxy fields, the
// collaborators looked up in the module namespace. Each subsystem's own
// names.hpp lists only what it alone uses.
//
// Namespaces: the vocabulary (capi/), these shared names (k_ prefix) and the
// module entry live in `com_like`; each subsystem's code and names live in
// `com_like::messaging`, `com_like::wire` or `com_like::proxies`.
#pragma once

#include "interned.hpp"

#define SHARED_NAMES(X)                                  \
    X(k_get, "get")                                      \
    X(k_self, "self")                                    \
    X(k_name, "name")                                    \
    X(k_value, "value")                                  \
    X(k_ok, "ok")                                        \
    X(k_error, "error")                                  \
    X(k_message, "message")                              \
    X(k_remote_error, "Remote error")                    \
    X(k_items, "items")                                  \
    X(k_guid, "_guid")                                   \
    X(k_msg_guid, "_msg_guid")                           \
    X(k_internal_id, "_internal_id")                     \
    X(k_internal_type_name, "_internal_typeName")        \
    X(k_array, "Array")                                  \
    X(k_dict, "Dict")                                    \
    X(k_messaging, "messaging")                          \
    X(k_serializer, "Serializer")                        \
    X(k_to_wire, "to_wire")                              \
    X(k_from_wire, "from_wire")                          \
    X(k_add_note, "add_note")

namespace com_like {

COM_LIKE_DECLARE_NAMES(SHARED_NAMES)

// Sets up the vocabulary itself: the shared names, the function type, the
// lock's C functions. Runs first in the module body.
int init_capi() noexcept;

}  // namespace com_like
