#include "names.hpp"

namespace com_like::messaging_names {

COM_LIKE_DEFINE_NAMES(MESSAGING_NAMES)

int init() noexcept {
    COM_LIKE_INTERN_NAMES(MESSAGING_NAMES)
    return 0;
}

}  // namespace com_like::messaging_names
