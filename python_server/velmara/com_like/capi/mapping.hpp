// Reading members of dicts that come from elsewhere.
#pragma once

#include "ref.hpp"

namespace com_like {

// mapping.get(key, fallback): a direct lookup for an exact dict, the
// object's own `get` method for anything else. `fallback` may be null for
// None. Null with an error set on failure.
Ref get_member(PyObject* mapping, PyObject* key, PyObject* fallback = nullptr) noexcept;

}  // namespace com_like
