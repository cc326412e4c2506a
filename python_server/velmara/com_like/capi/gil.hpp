// Scoped release of the interpreter lock around blocking work that touches
// no Python object.
#pragma once

#include "ref.hpp"

namespace com_like {

class ReleaseGil {
public:
    ReleaseGil() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleaseGil() { PyEval_RestoreThread(state_); }
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace com_like
