// Process-wide state of the module.
//
// The module loads into one interpreter per process and, once initialised,
// lives until the process ends, so its state is one struct reached through
// `state()`. Collaborators that may be rebound at run time (messaging,
// Serializer, the _cw__ functions, np, pd, ...) are NOT kept here: they are
// looked up in the module namespace at each use.
#pragma once

#include "../capi/ref.hpp"

namespace com_like {

struct ModuleState {
    PyObject* module = nullptr;       // strong; the module entry keeps the module alive
    PyObject* globals = nullptr;      // the module's namespace, borrowed from `module`
    PyObject* module_name = nullptr;  // "velmara_master.python_server.velmara.com_like"
    PyObject* future_type = nullptr;  // concurrent.futures.Future, taken at import
};

ModuleState& state() noexcept;

// The value bound to `name` in the module namespace; NameError when unbound.
Ref lookup_global(PyObject* name) noexcept;

// The same, falling back to the builtins as a Python function's global lookup does.
Ref lookup_global_or_builtin(PyObject* name) noexcept;

// Set up the module's namespace; the execute step's body.
int run_module_body(PyObject* globals) noexcept;

}  // namespace com_like
