// Constant strings of the messaging hot paths.
#pragma once

#include "../capi/names.hpp"

#define MESSAGING_NAMES(X)                          \
    X(attr_waiters, "waiters")                      \
    X(attr_waiters_lock, "_waiters_lock")           \
    X(attr_send_handler, "_send_handler")           \
    X(attr_loop, "loop")                            \
    X(attr_loop_thread, "loop_thread")              \
    X(attr_callable_registry, "_callable_registry") \
    X(attr_callable_lock, "_callable_lock")         \
    X(attr_next_callable_id, "_next_callable_id")   \
    X(key_request_id, "requestId")                  \
    X(text_request, "request")                      \
    X(attr_done, "done")                            \
    X(attr_cancel, "cancel")                        \
    X(attr_set_result, "set_result")                \
    X(attr_set_exception, "set_exception")          \
    X(attr_pop, "pop")                              \
    X(attr_clear, "clear")                          \
    X(attr_values, "values")                        \
    X(global_threading, "threading")                \
    X(attr_lock, "Lock")                            \
    X(global_context, "Context")                    \
    X(global_excel, "Excel")

namespace com_like::messaging {
COM_LIKE_DECLARE_NAMES(MESSAGING_NAMES)
int intern_names() noexcept;
}  // namespace com_like::messaging
