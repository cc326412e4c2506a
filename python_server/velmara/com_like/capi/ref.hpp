// Owned and borrowed references to Python objects.
//
// `Ref` owns one strong reference: copying increments, moving steals, the
// destructor decrements. `Ref::steal` adopts a new reference returned by the
// C API, `Ref::borrow` takes a new reference to a borrowed pointer. Logic code
// never calls Py_INCREF/Py_DECREF itself.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

// Built without C++ exceptions, on purpose. During finalization CPython ends
// a daemon thread that tries to re-take the interpreter lock with
// pthread_exit, which glibc carries out as a forced unwind of the thread's
// stack. With exception support every frame of ours gets landing pads: the
// unwind would run destructors like ~Ref without holding the lock (touching
// reference counts of objects the finalizing main thread is freeing), and a
// noexcept frame would turn the unwind into std::terminate. Without
// exceptions our frames have unwind tables but no landing pads, so the
// unwind passes through them and nothing of ours runs on a thread that no
// longer holds the lock; what that thread held is simply never released.
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS)
#error "com_like must be compiled with -fno-exceptions (see the note above)"
#endif

namespace com_like {

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref& other) noexcept : ptr_(Py_XNewRef(other.ptr_)) {}
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ~Ref() { Py_XDECREF(ptr_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }

    // Adopt a new reference (may be null: the C API's error signal).
    [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Take a new reference to a borrowed pointer.
    [[nodiscard]] static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

    // Hand the reference to the caller (for returning to the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

    // Drop the reference now. The object may run arbitrary code as it goes,
    // so the field is cleared first.
    void reset() noexcept { Py_XDECREF(std::exchange(ptr_, nullptr)); }

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

[[nodiscard]] inline Ref steal(PyObject* p) noexcept { return Ref::steal(p); }
[[nodiscard]] inline Ref borrow(PyObject* p) noexcept { return Ref::borrow(p); }

// The None singleton, as a new reference.
[[nodiscard]] inline Ref none() noexcept { return Ref::borrow(Py_None); }
[[nodiscard]] inline Ref boolean(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }

}  // namespace com_like
