// Process-wide state of the extension, and the by-name lookup of
// collaborators in the module namespace.
//
// The module loads into one interpreter per process and, once initialised,
// lives until the process ends, so everything it keeps for the process is
// this one struct, reached through `state()`. Each subsystem fills its own
// part when the module body runs. Collaborators that may be rebound at run
// time (messaging, Serializer, the _cw__ functions, np, pd, ...) are NOT
// kept here: they are looked up in the module namespace at each use.
#pragma once

#include "ref.hpp"

#include <cstdint>

namespace com_like {

struct State {
    // The module (module/entry.cpp).
    PyObject* module = nullptr;       // strong; the module entry keeps the module alive
    PyObject* globals = nullptr;      // the module's namespace, borrowed from `module`
    PyObject* module_name = nullptr;  // "velmara_master.python_server.velmara.com_like"
    int64_t interpreter = -1;         // the interpreter it was loaded into, -1 before the first load

    // The vocabulary (capi/).
    PyTypeObject* function_type = nullptr;  // the type of our Python-like native functions
    // threading.Lock's own C functions (capi/lock.cpp); null when the lock
    // type is not the one we know, and its methods are called instead.
    PyTypeObject* lock_type = nullptr;
    PyCFunctionWithKeywords lock_acquire = nullptr;
    PyCFunction lock_release = nullptr;
    PyObject* empty_tuple = nullptr;  // the arguments of lock_acquire

    // Messaging (messaging/).
    PyObject* future_type = nullptr;          // concurrent.futures.Future
    PyObject* future_init = nullptr;          // its __init__, while its version tag is future_version
    unsigned int future_version = 0;
    PyObject* invalid_state_error = nullptr;  // concurrent.futures.InvalidStateError
    PyObject* default_timeout = nullptr;      // 30.0
    PyObject* urandom = nullptr;              // os.urandom, the source of request ids

    // Wire values (wire/).
    PyObject* to_wire = nullptr;         // our own function behind Serializer.to_wire
    PyObject* from_wire = nullptr;       // our own function behind Serializer.from_wire
    PyObject* object_kwnames = nullptr;  // ("dtype", "na_value")

    // Proxies (proxies/): the list and dict proxy classes, for the
    // zero-argument super() of their __init__.
    PyObject* array_class = nullptr;
    PyObject* dict_class = nullptr;
};

State& state() noexcept;

// Keep `value` (a new reference, may be null) in a slot of the state for the
// process: false when it is null (an error is set). A slot filled by an
// earlier, failed import is replaced.
bool keep(PyObject*& slot, Ref value) noexcept;

// The value bound to `name` in the module namespace; NameError when unbound.
Ref lookup_global(PyObject* name) noexcept;

// The same, falling back to the builtins as a Python function's global lookup does.
Ref lookup_global_or_builtin(PyObject* name) noexcept;

}  // namespace com_like
