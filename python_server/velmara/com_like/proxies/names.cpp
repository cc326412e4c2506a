#include "names.hpp"

namespace com_like::proxy_names {

COM_LIKE_DEFINE_NAMES(PROXY_NAMES)

int init() noexcept {
    COM_LIKE_INTERN_NAMES(PROXY_NAMES)
    return 0;
}

}  // namespace com_like::proxy_names
