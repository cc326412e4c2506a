// Python classes made from native functions.
//
// Classes are created by calling the interpreter's own `type(name, bases,
// namespace)`, so they are ordinary heap types with metaclass `type`, an
// instance __dict__, and the slot behaviour the interpreter derives from the
// special methods in the namespace: exactly what a class statement gives.
#pragma once

#include "function.hpp"

#include <span>

namespace com_like {

struct ClassDef {
    const char* name;
    const char* doc;
    std::span<const FunctionDef> methods;  // in order of definition
};

// `base` may be null for `object`.
Ref make_class(const ClassDef& def, PyObject* base, PyObject* module_name) noexcept;

// A module-level function, bound into `globals` under its name.
int add_function(PyObject* globals, const FunctionDef& def, PyObject* module_name) noexcept;

}  // namespace com_like
