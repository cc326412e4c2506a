#include "instance.hpp"

namespace com_like {

namespace {

// Whether `type` (through its MRO) leaves `name` undefined and reads
// attributes the generic way; -1 with an error set.
int plain_instance_name(PyTypeObject* type, PyObject* name) {
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        return 0;
    }
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) {
        return 0;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        Ref dict = steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
        if (!dict) {
            return 0;
        }
        const int found = PyDict_Contains(dict.get(), name);
        if (found != 0) {
            return found < 0 ? -1 : 0;
        }
    }
    return 1;
}

}  // namespace

Ref instance_attr(PyObject* self, PyObject* name, InstanceAttrCache& cache) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    const unsigned int version = type->tp_version_tag;
    if (version == 0 || type != cache.type || version != cache.version) {
        // Learn (or re-learn) the class through the ordinary read, which
        // also gives the class a version tag when it has none.
        Ref value = steal(PyObject_GetAttr(self, name));
        if (value && type->tp_version_tag != 0) {
            const int plain = plain_instance_name(type, name);
            if (plain < 0) {
                return {};
            }
            cache.type = plain ? type : nullptr;
            cache.version = plain ? type->tp_version_tag : 0;
        }
        return value;
    }
    Ref dict = steal(PyObject_GenericGetDict(self, nullptr));
    if (dict) {
        PyObject* value = nullptr;
        if (PyDict_GetItemRef(dict.get(), name, &value) > 0) {
            return steal(value);
        }
    }
    PyErr_Clear();  // not there after all: the ordinary read says why
    return steal(PyObject_GetAttr(self, name));
}

}  // namespace com_like
