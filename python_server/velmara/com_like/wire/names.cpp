#include "names.hpp"

namespace com_like::wire {

COM_LIKE_DEFINE_NAMES(WIRE_NAMES)

int intern_names() noexcept {
    COM_LIKE_INTERN_NAMES(WIRE_NAMES)
    return 0;
}

}  // namespace com_like::wire
