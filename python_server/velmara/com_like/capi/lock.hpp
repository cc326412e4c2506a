// Critical sections on Python-level `threading.Lock` objects.
//
// The tables that the host can inspect are guarded by real threading.Lock
// instances, so the module takes them through their own acquire/release
// (for an exact threading.Lock, its C functions directly).
// The guard releases on every path and keeps a pending error intact.
#pragma once

#include "error.hpp"

namespace com_like {

class LockGuard {
public:
    LockGuard() noexcept = default;
    ~LockGuard() { release(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

    // Blocks until the lock is held (the lock drops the interpreter lock
    // while it waits). Returns false with an error set.
    [[nodiscard]] bool acquire(PyObject* lock) noexcept;

    // Releases now; reports a failure to release as unraisable.
    void release() noexcept;

private:
    Ref lock_;
};

int init_lock_names() noexcept;

}  // namespace com_like
