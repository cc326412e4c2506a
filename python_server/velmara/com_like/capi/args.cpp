#include "args.hpp"

#include "error.hpp"
#include "names.hpp"

namespace com_like {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's listing.
Ref quoted_list(const char* const* names, const std::size_t* indices, std::size_t n) {
    Ref text = steal(PyUnicode_FromString(""));
    for (std::size_t k = 0; k < n && text; ++k) {
        const char* sep = k == 0 ? "" : (n == 2 ? " and " : (k + 1 == n ? ", and " : ", "));
        text = steal(PyUnicode_FromFormat("%U%s'%s'", text.get(), sep, names[indices[k]]));
    }
    return text;
}

}  // namespace

PyObject* Signature::interned(std::size_t i) const noexcept {
    if (!interned_[i]) {
        interned_[i] = PyUnicode_InternFromString(names_[i]);  // kept for the process
    }
    return interned_[i];
}

bool Signature::bind(PyObject* const* args, std::size_t nargsf, PyObject* kwnames, PyObject** out) const noexcept {
    const std::size_t nargs = PyVectorcall_NARGS(nargsf);
    for (std::size_t i = 0; i < count_; ++i) {
        out[i] = nullptr;
    }
    if (nargs > count_) {
        const std::size_t given = nargs;
        if (required_ == count_) {
            PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zu %s given", qualname_,
                         count_, count_ == 1 ? "" : "s", given, given == 1 ? "was" : "were");
        } else {
            PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zu %s given",
                         qualname_, required_, count_, given, given == 1 ? "was" : "were");
        }
        return false;
    }
    for (std::size_t i = 0; i < nargs; ++i) {
        out[i] = args[i];
    }
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            std::size_t match = count_;
            for (std::size_t i = 0; i < count_; ++i) {
                PyObject* name = interned(i);
                if (!name) {
                    return false;
                }
                if (key == name || PyUnicode_Compare(key, name) == 0) {
                    match = i;
                    break;
                }
            }
            if (match == count_) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", qualname_, key);
                return false;
            }
            if (out[match]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", qualname_,
                             names_[match]);
                return false;
            }
            out[match] = args[nargs + k];
        }
    }
    std::size_t missing[8];
    std::size_t nmissing = 0;
    for (std::size_t i = 0; i < required_; ++i) {
        if (!out[i]) {
            missing[nmissing++] = i;
        }
    }
    if (nmissing) {
        Ref listed = quoted_list(names_, missing, nmissing);
        if (listed) {
            PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %U", qualname_,
                         nmissing, nmissing == 1 ? "" : "s", listed.get());
        }
        return false;
    }
    return true;
}

void raise_argument_type(PyObject* arg, PyTypeObject* expected, const char* param) noexcept {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected->tp_name, Py_TYPE(arg)->tp_name);
    if (!PyObject_TypeCheck(arg, expected)) {
        return;
    }
    Raised error;
    Ref note = steal(PyUnicode_FromFormat("Subclasses of built-in types are not accepted: pass an exact %s.",
                                          expected->tp_name));
    // The interned name: a fresh "add_note" per call would take a new slot of
    // the interpreter's type attribute cache each time (its entries hold
    // their names), which shows as growth in the leak checks.
    Ref added = note ? steal(PyObject_CallMethodOneArg(error.get(), attr_add_note, note.get())) : Ref();
    if (!added) {
        return;  // the failure to attach the note replaces the TypeError
    }
    error.restore();
}

Ref convert_int_argument(PyObject* arg, const char* param) noexcept {
    if (PyLong_CheckExact(arg)) {
        return borrow(arg);
    }
    if (PyNumber_Check(arg)) {
        return steal(PyNumber_Long(arg));
    }
    raise_argument_type(arg, &PyLong_Type, param);
    return {};
}

Ref convert_float_argument(PyObject* arg) noexcept {
    if (PyFloat_CheckExact(arg)) {
        return borrow(arg);
    }
    const double value = PyFloat_AsDouble(arg);
    if (value == -1.0 && PyErr_Occurred()) {
        return {};
    }
    return steal(PyFloat_FromDouble(value));
}

}  // namespace com_like

namespace com_like {

bool bind_var_args(const char* qualname, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                   SelfKeyword collision, PyObject*& self, VarArgs& rest, const char* collision_name) noexcept {
    PyObject* self_name = text_self;
    const std::size_t nargs = PyVectorcall_NARGS(nargsf);
    rest = VarArgs{};
    rest.kwnames = kwnames;
    rest.kwvalues = args + nargs;
    Py_ssize_t self_keyword = -1;
    for (Py_ssize_t k = 0; k < rest.nkwnames(); ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (key == self_name || PyUnicode_Compare(key, self_name) == 0) {
            self_keyword = k;
            break;
        }
    }
    if (nargs == 0) {
        if (self_keyword < 0) {
            PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'self'", qualname);
            return false;
        }
        self = rest.kwvalues[self_keyword];
        rest.bound_self = self_keyword;
        return true;
    }
    if (self_keyword >= 0) {
        PyErr_Format(PyExc_TypeError,
                     collision == SelfKeyword::python_function ? "%s() got multiple values for argument 'self'"
                                                               : "%s() got multiple values for keyword argument 'self'",
                     collision_name ? collision_name : qualname);
        return false;
    }
    self = args[0];
    rest.positional = args + 1;
    rest.npositional = nargs - 1;
    return true;
}

}  // namespace com_like
