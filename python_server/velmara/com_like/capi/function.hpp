// Native functions that behave like Python functions.
//
// Placed in a class namespace they bind to instances (a bound method on
// instance access, the function itself on class access), they carry
// __name__, __qualname__, __module__, __doc__ and __annotations__, and they
// are called through vectorcall. The interpreter's slot wrappers treat them
// as method descriptors, so `obj.method(...)` and the special-method slots
// (`__getattr__`, `__del__`, ...) call them without building a bound method.
#pragma once

#include "ref.hpp"

namespace com_like {

struct FunctionDef {
    const char* name;
    const char* doc;
    // Called with the function object itself as `callable`; for methods the
    // instance is args[0], exactly as for a Python function.
    vectorcallfunc call;
    // For inspect.signature, e.g. "($self, /, req, timeout=30.0)"; may be null.
    const char* text_signature = nullptr;
    // Alternating parameter names and annotation texts, null-terminated;
    // may be null. Example: {"req", "Dict[str, Any]", "return", "Dict[str, Any]", nullptr}.
    const char* const* annotations = nullptr;
    bool is_static = false;
};

// Create the function type; once per process, before any function is made.
int init_function_type() noexcept;

// A new function object. `qualname` is the dotted name under which it is
// defined ("Messaging.reset" or just "_cw__del__").
Ref make_function(const FunctionDef& def, PyObject* qualname, PyObject* module_name) noexcept;

}  // namespace com_like
