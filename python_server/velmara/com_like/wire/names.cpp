#include "names.hpp"

namespace com_like::wire_names {

COM_LIKE_DEFINE_NAMES(WIRE_NAMES)

int init() noexcept {
    COM_LIKE_INTERN_NAMES(WIRE_NAMES)
    return 0;
}

}  // namespace com_like::wire_names
