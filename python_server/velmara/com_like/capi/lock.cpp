#include "lock.hpp"

#include "interned.hpp"

namespace com_like {

namespace {
#define LOCK_NAMES(X) X(acquire_name, "acquire") X(release_name, "release")
COM_LIKE_DEFINE_NAMES(LOCK_NAMES)
}  // namespace

int init_lock_names() noexcept {
    COM_LIKE_INTERN_NAMES(LOCK_NAMES)
    return 0;
}

bool LockGuard::acquire(PyObject* lock) noexcept {
    Ref got = steal(PyObject_CallMethodNoArgs(lock, acquire_name));
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
    Ref done = steal(PyObject_CallMethodNoArgs(lock.get(), release_name));
    (void)done;
}

}  // namespace com_like
