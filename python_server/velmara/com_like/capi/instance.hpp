// Reading an object's own instance attributes on a hot path.
//
// An ordinary attribute read looks the name up along the class's MRO (for
// a descriptor) before it reads the instance's dict. For a name that the
// class does not define, that first step finds nothing, every time: while
// the class is unchanged (its version tag says so; CPython gives a class a
// new tag whenever it or a base changes), the read can go to the instance's
// dict directly. Anything else (a class that defines the name, a custom
// __getattribute__ or __getattr__, a missing entry, a class without a
// version tag) takes the ordinary read, so the result is always the same.
#pragma once

#include "ref.hpp"

namespace com_like {

// What one call site learnt about the class it reads from: the class and
// its version tag at which `name` was found to be undefined on it.
struct InstanceAttrCache {
    PyTypeObject* type = nullptr;  // borrowed; compared only while the tag matches
    unsigned int version = 0;
};

// self.<name>; null with an error set on failure.
Ref instance_attr(PyObject* self, PyObject* name, InstanceAttrCache& cache) noexcept;

}  // namespace com_like
