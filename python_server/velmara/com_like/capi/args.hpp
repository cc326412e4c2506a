// Argument binding and argument checks for the module's Python-visible
// functions.
//
// `Signature` binds vectorcall arguments to named parameters and reports
// mistakes with the interpreter's own wording for Python functions, so a
// native method fails exactly like its Python twin would
// ("Messaging.on_message() missing 1 required positional argument: 'message'").
#pragma once

#include "ref.hpp"

#include <array>
#include <cstddef>

namespace com_like {

class Signature {
public:
    // `names` lists every parameter (self included for methods); the first
    // `required` have no default.
    template <std::size_t N>
    constexpr Signature(const char* qualname, const char* const (&names)[N], std::size_t required) noexcept
        : qualname_(qualname), names_(names), count_(N), required_(required) {
        static_assert(N <= 8, "Signature keeps at most eight parameter names");
    }

    // Fills out[0..count) with borrowed references; parameters left at their
    // default are null. Returns false with TypeError set on a binding error.
    bool bind(PyObject* const* args, std::size_t nargsf, PyObject* kwnames, PyObject** out) const noexcept;

private:
    PyObject* interned(std::size_t i) const noexcept;

    const char* qualname_;
    const char* const* names_;
    std::size_t count_;
    std::size_t required_;
    mutable PyObject* interned_[8] = {};
};

// Binds into a fixed array sized by the signature; `ok()` says whether it worked.
template <std::size_t N>
struct Bound {
    Bound(const Signature& sig, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept
        : ok_(sig.bind(args, nargsf, kwnames, values.data())) {}
    bool ok() const noexcept { return ok_; }
    PyObject* operator[](std::size_t i) const noexcept { return values[i]; }
    std::array<PyObject*, N> values{};

private:
    bool ok_;
};

// TypeError "Argument 'NAME' has incorrect type (expected T, got U)", with a
// note when the argument is an instance of a subclass of the expected type.
void raise_argument_type(PyObject* arg, PyTypeObject* expected, const char* param) noexcept;

// Parameters declared with a built-in type take exactly that type.
inline bool require_exact(PyObject* arg, PyTypeObject* expected, const char* param) noexcept {
    if (Py_IS_TYPE(arg, expected)) {
        return true;
    }
    raise_argument_type(arg, expected, param);
    return false;
}

// An int parameter: an exact int is taken as it is; any other number goes
// through int(); everything else is refused with the argument-type error.
Ref convert_int_argument(PyObject* arg, const char* param) noexcept;

// A float parameter: the number's real value, as the interpreter converts it.
Ref convert_float_argument(PyObject* arg) noexcept;

}  // namespace com_like

namespace com_like {

// `def f(self, *args, **kwargs)`: self, then the remaining positional and
// keyword arguments, borrowed from the vectorcall arrays (nothing copied).
struct VarArgs {
    PyObject* const* positional = nullptr;
    std::size_t npositional = 0;
    PyObject* kwnames = nullptr;
    PyObject* const* kwvalues = nullptr;
    Py_ssize_t bound_self = -1;  // index in kwnames that supplied self, if any

    Py_ssize_t nkwnames() const noexcept { return kwnames ? PyTuple_GET_SIZE(kwnames) : 0; }
    // Calls fn(name, value) for each keyword argument except the one bound to self.
    template <typename Fn>
    bool each_keyword(Fn fn) const {
        for (Py_ssize_t k = 0; k < nkwnames(); ++k) {
            if (k != bound_self && !fn(PyTuple_GET_ITEM(kwnames, k), kwvalues[k])) {
                return false;
            }
        }
        return true;
    }
};

enum class SelfKeyword {
    python_function,  // "f() got multiple values for argument 'self'"
    keyword_argument  // "f() got multiple values for keyword argument 'self'"
};

// Binds `self` (by position, or by keyword when no positional is given);
// returns false with TypeError set on a binding error. A collision error
// names `collision_name` when given (the keyword form names the bare method
// name), the qualified name otherwise.
bool bind_var_args(const char* qualname, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                   SelfKeyword collision, PyObject*& self, VarArgs& rest,
                   const char* collision_name = nullptr) noexcept;

}  // namespace com_like
