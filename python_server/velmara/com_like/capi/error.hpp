// The vocabulary for pending Python errors.
//
// Functions that can fail return a null `Ref` or -1 with the error indicator
// set, as the C API does. `Raised` takes the pending exception out of the
// indicator and owns it; `restore()` hands it back. `ErrorGuard` keeps the
// indicator intact around clean-up code that may itself call into Python.
#pragma once

#include "ref.hpp"

namespace com_like {

class Raised {
public:
    // Takes the pending exception (if any) out of the error indicator.
    Raised() noexcept : exc_(steal(PyErr_GetRaisedException())) {}
    explicit Raised(Ref exc) noexcept : exc_(std::move(exc)) {}

    PyObject* get() const noexcept { return exc_.get(); }
    explicit operator bool() const noexcept { return bool(exc_); }

    bool is_instance(PyObject* cls) const noexcept {
        return exc_ && PyErr_GivenExceptionMatches(exc_.get(), cls);
    }
    // True for exceptions that an `except Exception` clause would catch.
    bool is_exception() const noexcept { return is_instance(PyExc_Exception); }

    // Put the exception back into the indicator; always "fails" so callers
    // can write `return raised.restore(), nullptr`.
    void restore() noexcept { PyErr_SetRaisedException(exc_.release()); }

    Ref take() noexcept { return std::move(exc_); }

private:
    Ref exc_;
};

// Saves the error indicator on entry and puts it back on exit, so that code
// in between (a lock release, a finalizer) neither sees nor clobbers it.
// An error raised in between is reported as unraisable rather than lost.
class ErrorGuard {
public:
    ErrorGuard() noexcept : saved_(PyErr_GetRaisedException()) {}
    ~ErrorGuard() {
        if (PyErr_Occurred()) {
            PyErr_WriteUnraisable(nullptr);
        }
        PyErr_SetRaisedException(saved_);
    }
    ErrorGuard(const ErrorGuard&) = delete;
    ErrorGuard& operator=(const ErrorGuard&) = delete;

private:
    PyObject* saved_;
};

// Steps that must all run even when one fails: `note()` after a failed
// step takes the pending error out of the indicator (the next step starts
// clean) and keeps it if it is the first; `finish()` raises that first one.
class FirstFailure {
public:
    void note() noexcept {
        Raised failure;
        if (!first_) {
            first_ = std::move(failure);
        }
    }
    explicit operator bool() const noexcept { return bool(first_); }
    // None when every step succeeded; otherwise null with the first failure raised.
    [[nodiscard]] PyObject* finish() noexcept {
        if (first_) {
            first_.restore();
            return nullptr;
        }
        return Py_NewRef(Py_None);
    }

private:
    Raised first_{Ref()};
};

// The error now pending goes on in place of `earlier`, which becomes its
// implicit context, as when an except block raises anew.
inline void chain_to(Raised earlier) noexcept {
    Raised fresh;
    PyException_SetContext(fresh.get(), earlier.take().release());
    fresh.restore();
}

// Raise `exc_type(message)` with `context` as its implicit context.
inline void raise_with_context(PyObject* exc_type, const char* message, Raised context) noexcept {
    PyErr_SetString(exc_type, message);
    chain_to(std::move(context));
}

}  // namespace com_like
