// The class Messaging: its docstrings and order of definition.
#include "messaging.hpp"

#include "../capi/classes.hpp"
#include "../capi/state.hpp"
#include "methods.hpp"
#include "names.hpp"
#include "request_id.hpp"

namespace com_like::messaging {

namespace {

constexpr const char kClassDoc[] =
    "Handles messaging for the Python-Excel bridge.\n"
    "\n"
    "This class does not start a WebSocket server. It uses a send-handler\n"
    "callback, so that the kernel forwards messages through the Business Layer.\n"
    "\n"
    "It is meant for multi-threaded use: the waiters table is guarded by\n"
    "_waiters_lock and the callable registry by _callable_lock (both\n"
    "threading.Lock). send_request_sync() may be called from worker threads and\n"
    "blocks on a concurrent.futures.Future; on_message() may be called from the\n"
    "listener thread to resolve pending futures.";

constexpr const char* kSendAnnotations[] = {"req", "Dict[str, Any]", "timeout", "float", "return", "Dict[str, Any]",
                                            nullptr};
constexpr const char* kMessageAnnotations[] = {"message", "Dict[str, Any]", "return", "None", nullptr};
constexpr const char* kHandlerAnnotations[] = {"handler", "Any", "return", "None", nullptr};
constexpr const char* kNoneAnnotations[] = {"return", "None", nullptr};
constexpr const char* kRegisterAnnotations[] = {"callable_obj", "Any", "return", "str", nullptr};
constexpr const char* kGetAnnotations[] = {"callable_id", "str", "return", "Any", nullptr};
constexpr const char* kUnregisterAnnotations[] = {"callable_id", "str", "return", "None", nullptr};

const FunctionDef kMethods[] = {
    {"__init__", "Messaging.__init__(self)", init, "(self)", kNoneAnnotations},
    {"set_send_handler",
     "Messaging.set_send_handler(self, handler)\n"
     "\n"
     "Register a callback used to send messages to the add-in.\n"
     "\n"
     "The handler takes one dict, the message payload, and sends it\n"
     "appropriately, for example over a WebSocket through the Business Layer.",
     set_send_handler, "(self, handler)", kHandlerAnnotations},
    {"on_message",
     "Messaging.on_message(self, dict message: Dict[str, Any])\n"
     "\n"
     "Handle an incoming response message from the add-in.\n"
     "\n"
     "The kernel calls this when it receives an \"excel_response\" message;\n"
     "it resolves the pending future of the corresponding request.",
     on_message, "(self, message)", kMessageAnnotations},
    {"send_request_sync",
     "Messaging.send_request_sync(self, dict req: Dict[str, Any], float timeout: float = 30.0)\n"
     "\n"
     "Send a request and wait synchronously for the response.\n"
     "\n"
     "Creates a thread-safe future, calls the send handler and blocks the\n"
     "calling thread until the response arrives or the time-out passes,\n"
     "without holding the interpreter lock, so that the listener thread goes\n"
     "on processing messages.",
     send_request_sync, "(self, req, timeout=30.0)", kSendAnnotations},
    {"reset",
     "Messaging.reset(self)\n"
     "\n"
     "Reset the messaging state (e.g., when the connection is closed).\n"
     "\n"
     "Cancels all pending futures and generates a new GUID. Meant to be\n"
     "called from the listener thread on disconnect or reconnect.",
     reset, "(self)", kNoneAnnotations},
    {"register_callable",
     "Messaging.register_callable(self, callable_obj)\n"
     "\n"
     "Register a Python callable and return its ID.\n"
     "\n"
     "Args:\n"
     "    callable_obj: The callable to register (function, lambda, method, etc.).\n"
     "\n"
     "Returns:\n"
     "    A string ID that can be used to invoke the callable from Excel.\n"
     "\n"
     "Raises:\n"
     "    TypeError: If the object is not callable.\n"
     "\n"
     "Thread-safe through _callable_lock; may be called from any thread,\n"
     "worker or listener.",
     register_callable, "(self, callable_obj)", kRegisterAnnotations},
    {"get_callable",
     "Messaging.get_callable(self, str callable_id: str)\n"
     "\n"
     "Retrieve a registered callable by its ID.\n"
     "\n"
     "Args:\n"
     "    callable_id: The ID returned by register_callable.\n"
     "\n"
     "Returns:\n"
     "    The callable object, or None if not found.\n"
     "\n"
     "Thread-safe through _callable_lock; may be called from any thread,\n"
     "worker or listener.",
     get_callable, "(self, callable_id)", kGetAnnotations},
    {"unregister_callable",
     "Messaging.unregister_callable(self, str callable_id: str)\n"
     "\n"
     "Remove a callable from the registry.\n"
     "\n"
     "Args:\n"
     "    callable_id: The ID of the callable to remove.\n"
     "\n"
     "Thread-safe through _callable_lock; may be called from any thread,\n"
     "worker or listener.",
     unregister_callable, "(self, callable_id)", kUnregisterAnnotations},
};

// What every request needs from concurrent.futures, and the default time-out.
int init_state() {
    State& st = state();
    Ref futures = steal(PyImport_ImportModule("concurrent.futures"));
    if (!futures || !keep(st.future_type, steal(PyObject_GetAttrString(futures.get(), "Future"))) ||
        !keep(st.invalid_state_error, steal(PyObject_GetAttrString(futures.get(), "InvalidStateError"))) ||
        !keep(st.default_timeout, steal(PyFloat_FromDouble(30.0)))) {
        return -1;
    }
    return 0;
}

}  // namespace

int define_messaging(PyObject* globals, PyObject* module_name) noexcept {
    if (intern_names() < 0 || init_state() < 0 || init_request_ids() < 0) {
        return -1;
    }
    static const ClassDef def{"Messaging", kClassDoc, kMethods};
    Ref cls = make_class(def, nullptr, module_name);
    if (!cls) {
        return -1;
    }
    return PyDict_SetItemString(globals, "Messaging", cls.get());
}

}  // namespace com_like::messaging
