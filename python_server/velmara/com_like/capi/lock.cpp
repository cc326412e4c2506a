#include "lock.hpp"

#include "interned.hpp"
#include "state.hpp"

namespace com_like {

namespace {
#define LOCK_NAMES(X) X(attr_acquire, "acquire") X(attr_release, "release")
COM_LIKE_DEFINE_NAMES(LOCK_NAMES)

// The C function behind a method of `type`, when it is a plain method
// descriptor with the calling convention `flags`; null otherwise.
template <typename Fn>
Fn method_of(PyTypeObject* type, PyObject* name, int flags) {
    Ref descr = steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), name));
    if (!descr || !Py_IS_TYPE(descr.get(), &PyMethodDescr_Type)) {
        PyErr_Clear();
        return nullptr;
    }
    PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(descr.get())->d_method;
    return def->ml_flags == flags ? reinterpret_cast<Fn>(reinterpret_cast<void (*)(void)>(def->ml_meth)) : nullptr;
}

// Every request takes two critical sections. For an exact threading.Lock
// the module calls the lock type's own acquire and release functions,
// taken from its method table: a method call through the object would look
// the method up, bind it and build its argument tuple each time. Any other
// lock-like object goes through its acquire/release methods as usual.
int take_lock_functions() {
    State& s = state();
    if (s.empty_tuple) {
        return 0;
    }
    Ref thread = steal(PyImport_ImportModule("_thread"));
    Ref factory = thread ? steal(PyObject_GetAttrString(thread.get(), "allocate_lock")) : Ref();
    Ref sample = factory ? steal(PyObject_CallNoArgs(factory.get())) : Ref();
    Ref empty = sample ? steal(PyTuple_New(0)) : Ref();
    if (!empty) {
        return -1;
    }
    PyTypeObject* type = Py_TYPE(sample.get());
    auto acquire = method_of<PyCFunctionWithKeywords>(type, attr_acquire, METH_VARARGS | METH_KEYWORDS);
    auto release = method_of<PyCFunction>(type, attr_release, METH_NOARGS);
    if (acquire && release) {
        s.lock_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type));
        s.lock_acquire = acquire;
        s.lock_release = release;
    }
    s.empty_tuple = empty.release();
    return 0;
}
}  // namespace

int init_lock_names() noexcept {
    COM_LIKE_INTERN_NAMES(LOCK_NAMES)
    return take_lock_functions();
}

bool LockGuard::acquire(PyObject* lock) noexcept {
    const State& s = state();
    Ref got = Py_IS_TYPE(lock, s.lock_type) ? steal(s.lock_acquire(lock, s.empty_tuple, nullptr))
                                            : steal(PyObject_CallMethodNoArgs(lock, attr_acquire));
    if (!got) {
        return false;
    }
    lock_ = borrow(lock);
    return true;
}

void LockGuard::release() noexcept {
    Ref lock = std::move(lock_);
    if (!lock) {
        return;
    }
    const State& s = state();
    if (Py_IS_TYPE(lock.get(), s.lock_type) && !PyErr_Occurred()) {
        // The lock's own C function runs no Python code: with no error
        // pending there is nothing to keep apart from it.
        Ref done = steal(s.lock_release(lock.get(), nullptr));
        if (!done) {
            PyErr_WriteUnraisable(nullptr);
        }
        return;
    }
    ErrorGuard keep;
    Ref done = Py_IS_TYPE(lock.get(), s.lock_type) ? steal(s.lock_release(lock.get(), nullptr))
                                                   : steal(PyObject_CallMethodNoArgs(lock.get(), attr_release));
    (void)done;
}

}  // namespace com_like
