#include "names.hpp"

#include "function.hpp"
#include "instance.hpp"
#include "lock.hpp"

namespace com_like {

COM_LIKE_DEFINE_NAMES(SHARED_NAMES)

int init_capi() noexcept {
    COM_LIKE_INTERN_NAMES(SHARED_NAMES)
    return init_lock_names() < 0 || init_function_type() < 0 || init_field_views() < 0 ? -1 : 0;
}

}  // namespace com_like
