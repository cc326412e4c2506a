// The module body: what the execute step of the module runs.
#pragma once

#include "../capi/ref.hpp"

namespace com_like {

// Binds the module's namespace in its fixed order; -1 with an error set.
int run_module_body(PyObject* globals) noexcept;

}  // namespace com_like
