// Serializer: the wire value format, encoding (to_wire) and decoding (from_wire).
#pragma once

#include "../capi/ref.hpp"

namespace com_like::wire {

// Binds the class `Serializer` in the module namespace.
int define_serializer(PyObject* globals, PyObject* module_name) noexcept;

}  // namespace com_like::wire
