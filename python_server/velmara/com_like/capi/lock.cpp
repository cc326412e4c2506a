#include "lock.hpp"

#include "interned.hpp"
#include "state.hpp"

namespace com_like {

namespace {
#define LOCK_NAMES(X) X(acquire_name, "acquire") X(release_name, "release")
COM_LIKE_DEFINE_NAMES(LOCK_NAMES)

// The C functions behind threading.Lock's acquire and release, taken from
// the lock type's own method table. Every request takes two critical
// sections, and calling these directly for an exact lock saves the method
// lookup and the argument-tuple glue of a method call; any other lock-like
// object goes through its acquire/release methods as usual.
template <typename Fn>
Fn method_of(PyTypeObject* type, PyObject* name, int flags) {
    Ref descr = steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), name));
    if (!descr || !Py_IS_TYPE(descr.get(), &PyMethodDescr_Type)) {
        PyErr_Clear();
        return nullptr;  // not the C lock we know: the method calls serve
    }
    PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(descr.get())->d_method;
    return def->ml_flags == flags ? reinterpret_cast<Fn>(reinterpret_cast<void (*)(void)>(def->ml_meth)) : nullptr;
}

int take_lock_methods() {
    Ref thread = steal(PyImport_ImportModule("_thread"));
    Ref factory = thread ? steal(PyObject_GetAttrString(thread.get(), "allocate_lock")) : Ref();
    Ref sample = factory ? steal(PyObject_CallNoArgs(factory.get())) : Ref();
    Ref empty = sample ? steal(PyTuple_New(0)) : Ref();
    if (!empty) {
        return -1;
    }
    PyTypeObject* type = Py_TYPE(sample.get());
    auto acquire = method_of<PyCFunctionWithKeywords>(type, acquire_name, METH_VARARGS | METH_KEYWORDS);
    auto release = method_of<PyCFunction>(type, release_name, METH_NOARGS);
    if (acquire && release) {
        State& st = state();
        st.lock_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type));
        st.lock_acquire = acquire;
        st.lock_release = release;
        st.no_args = empty.release();
    }
    return 0;
}
}  // namespace

int init_lock_names() noexcept {
    COM_LIKE_INTERN_NAMES(LOCK_NAMES)
    if (!state().no_args && take_lock_methods() < 0) {
        return -1;
    }
    return 0;
}

bool LockGuard::acquire(PyObject* lock) noexcept {
    const State& st = state();
    Ref got = Py_IS_TYPE(lock, st.lock_type) ? steal(st.lock_acquire(lock, st.no_args, nullptr))
                                          : steal(PyObject_CallMethodNoArgs(lock, acquire_name));
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
    ErrorGuard keep;
    const State& st = state();
    Ref done = Py_IS_TYPE(lock.get(), st.lock_type) ? steal(st.lock_release(lock.get(), nullptr))
                                                 : steal(PyObject_CallMethodNoArgs(lock.get(), release_name));
    (void)done;
}

}  // namespace com_like
