// The registry of Python callables handed to the add-in.
//
// Ids are "pyfunc_" + the first 8 characters of the epoch + "_" + a counter
// that restarts at 1 with each epoch. `_callable_lock` makes registration,
// lookup, removal and the clearing in reset atomic with respect to each
// other; the callable itself is never run here.
#include "../capi/args.hpp"
#include "../capi/error.hpp"
#include "../capi/lock.hpp"
#include "methods.hpp"
#include "names.hpp"

namespace com_like::messaging {

namespace {

Ref callable_id_for(PyObject* epoch, PyObject* counter) {
    Ref prefix = PyUnicode_Check(epoch) ? steal(PyUnicode_Substring(epoch, 0, 8))
                                        : steal(PySequence_GetSlice(epoch, 0, 8));
    if (!prefix) {
        return {};
    }
    return steal(PyUnicode_FromFormat("pyfunc_%S_%S", prefix.get(), counter));
}

// Reads the registry and its lock for one of the registry operations.
bool registry_and_lock(PyObject* self, Ref& registry, Ref& lock) {
    registry = get(self, attr_callable_registry);
    lock = registry ? get(self, attr_callable_lock) : Ref();
    return bool(lock);
}

}  // namespace

PyObject* register_callable(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    static constexpr const char* names[] = {"self", "callable_obj"};
    static const Signature sig("Messaging.register_callable", names, 2);
    Bound<2> a(sig, args, nargsf, kwnames);
    if (!a.ok()) {
        return nullptr;
    }
    PyObject* self = a[0];
    PyObject* callable_obj = a[1];
    if (!PyCallable_Check(callable_obj)) {
        Ref type_name = steal(PyType_GetName(Py_TYPE(callable_obj)));
        if (type_name) {
            PyErr_Format(PyExc_TypeError, "Object must be callable, got %U", type_name.get());
        }
        return nullptr;
    }
    Ref registry, lock;
    if (!registry_and_lock(self, registry, lock)) {
        return nullptr;
    }
    Ref replaced;  // a callable stored under a reused id goes after the lock is released
    LockGuard guard;
    if (!guard.acquire(lock.get())) {
        return nullptr;
    }
    Ref epoch = get(self, attr_guid);
    Ref counter = epoch ? get(self, attr_next_callable_id) : Ref();
    Ref id = counter ? callable_id_for(epoch.get(), counter.get()) : Ref();
    if (!id) {
        return nullptr;
    }
    Ref one = steal(PyLong_FromLong(1));
    Ref advanced = one ? steal(PyNumber_InPlaceAdd(counter.get(), one.get())) : Ref();
    if (!advanced || PyObject_SetAttr(self, attr_next_callable_id, advanced.get()) < 0) {
        return nullptr;
    }
    if (PyDict_CheckExact(registry.get())) {
        PyObject* previous = nullptr;
        if (PyDict_GetItemRef(registry.get(), id.get(), &previous) < 0) {
            return nullptr;
        }
        replaced = steal(previous);
    }
    if (PyObject_SetItem(registry.get(), id.get(), callable_obj) < 0) {
        return nullptr;
    }
    return id.release();
}

PyObject* get_callable(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    static constexpr const char* names[] = {"self", "callable_id"};
    static const Signature sig("Messaging.get_callable", names, 2);
    Bound<2> a(sig, args, nargsf, kwnames);
    if (!a.ok() || !require_exact(a[1], &PyUnicode_Type, "callable_id")) {
        return nullptr;
    }
    Ref registry, lock;
    if (!registry_and_lock(a[0], registry, lock)) {
        return nullptr;
    }
    LockGuard guard;
    if (!guard.acquire(lock.get())) {
        return nullptr;
    }
    if (PyDict_CheckExact(registry.get())) {
        PyObject* found = PyDict_GetItemWithError(registry.get(), a[1]);
        if (!found && PyErr_Occurred()) {
            return nullptr;
        }
        return Py_NewRef(found ? found : Py_None);
    }
    PyObject* call_args[] = {registry.get(), a[1]};
    return PyObject_VectorcallMethod(attr_get, call_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

PyObject* unregister_callable(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    static constexpr const char* names[] = {"self", "callable_id"};
    static const Signature sig("Messaging.unregister_callable", names, 2);
    Bound<2> a(sig, args, nargsf, kwnames);
    if (!a.ok() || !require_exact(a[1], &PyUnicode_Type, "callable_id")) {
        return nullptr;
    }
    Ref registry, lock;
    if (!registry_and_lock(a[0], registry, lock)) {
        return nullptr;
    }
    // The removed callable is let go after the lock is released: its
    // finalizer may run any code, this registry's operations included.
    Ref popped;
    {
        LockGuard guard;
        if (!guard.acquire(lock.get())) {
            return nullptr;
        }
        PyObject* call_args[] = {registry.get(), a[1], Py_None};
        popped = steal(PyObject_VectorcallMethod(attr_pop, call_args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!popped) {
            return nullptr;
        }
    }
    popped.reset();
    Py_RETURN_NONE;
}

}  // namespace com_like::messaging
