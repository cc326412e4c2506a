#include "names.hpp"

namespace com_like::proxies {

COM_LIKE_DEFINE_NAMES(PROXY_NAMES)

int intern_names() noexcept {
    COM_LIKE_INTERN_NAMES(PROXY_NAMES)
    return 0;
}

}  // namespace com_like::proxies
