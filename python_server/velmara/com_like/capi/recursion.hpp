// Scoped guard for native recursion.
//
// Every level of a recursive walk over user data enters the interpreter's
// recursion check, so that hostile nesting ends in RecursionError instead of
// a stack overflow. The guard leaves on every path, early returns included.
#pragma once

#include "ref.hpp"

namespace com_like {

class RecursionGuard {
public:
    // `where` completes the message "maximum recursion depth exceeded<where>".
    explicit RecursionGuard(const char* where) noexcept : entered_(Py_EnterRecursiveCall(where) == 0) {}
    ~RecursionGuard() {
        if (entered_) {
            Py_LeaveRecursiveCall();
        }
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

    // False with RecursionError set when the limit was reached.
    bool ok() const noexcept { return entered_; }

private:
    bool entered_;
};

}  // namespace com_like
