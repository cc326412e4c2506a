#include "state.hpp"

namespace com_like {

State& state() noexcept {
    static State instance;
    return instance;
}

bool keep(PyObject*& slot, Ref value) noexcept {
    if (!value) {
        return false;
    }
    Py_XSETREF(slot, value.release());
    return true;
}

namespace {
void raise_name_error(PyObject* name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
}
}  // namespace

Ref lookup_global(PyObject* name) noexcept {
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(state().globals, name, &value);
    if (found == 0) {
        raise_name_error(name);
    }
    return steal(value);
}

Ref lookup_global_or_builtin(PyObject* name) noexcept {
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(state().globals, name, &value);
    if (found != 0) {
        return steal(value);
    }
    found = PyDict_GetItemRef(PyEval_GetBuiltins(), name, &value);
    if (found == 0) {
        raise_name_error(name);
    }
    return steal(value);
}

}  // namespace com_like
