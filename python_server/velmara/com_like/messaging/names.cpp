#include "names.hpp"

namespace com_like::messaging {

COM_LIKE_DEFINE_NAMES(MESSAGING_NAMES)

int intern_names() noexcept {
    COM_LIKE_INTERN_NAMES(MESSAGING_NAMES)
    return 0;
}

}  // namespace com_like::messaging
