// Shared by the proxy classes: calling a remote operation under the
// re-raise rule.
#pragma once

#include "../capi/ref.hpp"

#include <cstddef>

namespace com_like::proxies {

// Looks `op_name` up in the module namespace (then the builtins), calls it
// with the vectorcall arguments and returns its result. An Exception it
// raises (a failed lookup included) is re-raised as the same object, with
// the leading traceback entries of the internal routing functions dropped
// and its cause suppressed. Other BaseExceptions pass untouched.
PyObject* forward_to_operation(PyObject* op_name, PyObject* const* args, std::size_t nargsf,
                               PyObject* kwnames) noexcept;

}  // namespace com_like::proxies
