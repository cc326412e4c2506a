// Request and epoch ids: the text of a fresh version-4 UUID in hex, as
// uuid.uuid4().hex gives it, drawn from the operating system's
// cryptographic random source.
#pragma once

#include "../capi/ref.hpp"

namespace com_like::messaging {

Ref new_hex_id() noexcept;

// Takes os.urandom and registers the after-fork hook; runs when the module loads.
int init_request_ids() noexcept;

}  // namespace com_like::messaging
