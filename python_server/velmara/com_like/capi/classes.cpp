#include "classes.hpp"

namespace com_like {

Ref make_class(const ClassDef& def, PyObject* base, PyObject* module_name) noexcept {
    Ref name = steal(PyUnicode_FromString(def.name));
    Ref doc = steal(PyUnicode_FromString(def.doc));
    Ref ns = steal(PyDict_New());
    if (!name || !doc || !ns) {
        return {};
    }
    if (PyDict_SetItemString(ns.get(), "__module__", module_name) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", name.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0) {
        return {};
    }
    for (const FunctionDef& method : def.methods) {
        Ref qualname = steal(PyUnicode_FromFormat("%s.%s", def.name, method.name));
        Ref func = qualname ? make_function(method, qualname.get(), module_name) : Ref();
        if (func && method.is_static) {
            func = steal(PyStaticMethod_New(func.get()));
        }
        if (!func || PyDict_SetItemString(ns.get(), method.name, func.get()) < 0) {
            return {};
        }
    }
    Ref bases = steal(PyTuple_Pack(1, base ? base : reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!bases) {
        return {};
    }
    PyObject* type_args[] = {name.get(), bases.get(), ns.get()};
    return steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), type_args, 3, nullptr));
}

int add_function(PyObject* globals, const FunctionDef& def, PyObject* module_name) noexcept {
    Ref qualname = steal(PyUnicode_FromString(def.name));
    Ref func = qualname ? make_function(def, qualname.get(), module_name) : Ref();
    if (!func) {
        return -1;
    }
    return PyDict_SetItem(globals, qualname.get(), func.get());
}

}  // namespace com_like
