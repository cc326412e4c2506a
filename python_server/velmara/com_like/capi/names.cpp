#include "names.hpp"

#include "function.hpp"
#include "lock.hpp"

namespace com_like {

namespace shared_names {
COM_LIKE_DEFINE_NAMES(SHARED_NAMES)
}  // namespace shared_names

int init_capi() noexcept {
    using namespace shared_names;
    COM_LIKE_INTERN_NAMES(SHARED_NAMES)
    return init_lock_names() < 0 || init_function_type() < 0 ? -1 : 0;
}

}  // namespace com_like
