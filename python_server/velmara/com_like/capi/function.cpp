#include "function.hpp"

#include "state.hpp"

#include <cstddef>

namespace com_like {

namespace {

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* annotations;
    PyObject* dict;
    const FunctionDef* def;
};

NativeFunction* as_function(PyObject* self) { return reinterpret_cast<NativeFunction*>(self); }

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    NativeFunction* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->module);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    NativeFunction* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// Binding rule of Python functions: on an instance a bound method, on the
// class (or with no instance) the function itself.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<native function %U>", as_function(self)->qualname);
}

PyObject* get_text_signature(PyObject* self, void*) {
    const char* text = as_function(self)->def->text_signature;
    if (!text) {
        Py_RETURN_NONE;
    }
    return PyUnicode_FromString(text);
}

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(NativeFunction, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(NativeFunction, qualname), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(NativeFunction, doc), 0, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(NativeFunction, module), 0, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(NativeFunction, annotations), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(NativeFunction, dict), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(NativeFunction, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "com_like.native_function",
    sizeof(NativeFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

Ref make_annotations(const char* const* pairs) {
    Ref dict = steal(PyDict_New());
    for (const char* const* p = pairs; dict && p && p[0]; p += 2) {
        Ref value = steal(PyUnicode_FromString(p[1]));
        if (!value || PyDict_SetItemString(dict.get(), p[0], value.get()) < 0) {
            return {};
        }
    }
    return dict;
}

}  // namespace

int init_function_type() noexcept {
    PyTypeObject*& type = state().function_type;
    if (!type && !(type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec)))) {
        return -1;
    }
    return 0;
}

Ref make_function(const FunctionDef& def, PyObject* qualname, PyObject* module_name) noexcept {
    Ref name = steal(PyUnicode_InternFromString(def.name));
    Ref doc = steal(PyUnicode_FromString(def.doc));
    Ref annotations = make_annotations(def.annotations);
    if (!name || !doc || !annotations) {
        return {};
    }
    NativeFunction* f = PyObject_GC_New(NativeFunction, state().function_type);
    if (!f) {
        return {};
    }
    f->vectorcall = def.call;
    f->name = name.release();
    f->qualname = Py_NewRef(qualname);
    f->doc = doc.release();
    f->module = Py_NewRef(module_name);
    f->annotations = annotations.release();
    f->dict = nullptr;
    f->def = &def;
    PyObject_GC_Track(f);
    return steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace com_like
