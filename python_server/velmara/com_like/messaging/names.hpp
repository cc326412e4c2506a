// Constant strings of the messaging hot paths.
#pragma once

#include "../capi/names.hpp"

#define MESSAGING_NAMES(X)                           \
    X(waiters, "waiters")                            \
    X(waiters_lock, "_waiters_lock")                 \
    X(send_handler, "_send_handler")                 \
    X(loop, "loop")                                  \
    X(loop_thread, "loop_thread")                    \
    X(callable_registry, "_callable_registry")       \
    X(callable_lock, "_callable_lock")               \
    X(next_callable_id, "_next_callable_id")         \
    X(request_id_key, "requestId")                   \
    X(kind_key, "kind")                              \
    X(request_kind, "request")                       \
    X(result_name, "result")                         \
    X(done_name, "done")                             \
    X(cancel_name, "cancel")                         \
    X(set_result_name, "set_result")                 \
    X(set_exception_name, "set_exception")           \
    X(pop_name, "pop")                               \
    X(clear_name, "clear")                           \
    X(values_name, "values")                         \
    X(threading_name, "threading")                   \
    X(lock_factory_name, "Lock")                     \
    X(context_name, "Context")                       \
    X(excel_name, "Excel")

namespace com_like::messaging {
COM_LIKE_DECLARE_NAMES(MESSAGING_NAMES)
int intern_names() noexcept;
}  // namespace com_like::messaging
