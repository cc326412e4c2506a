// Messaging: request/response correlation and the callable registry.
#pragma once

#include "../capi/ref.hpp"

namespace com_like::messaging {

// Binds the class `Messaging` in the module namespace.
int define_messaging(PyObject* globals, PyObject* module_name) noexcept;

}  // namespace com_like::messaging
