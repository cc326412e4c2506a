// A Messaging instance's attributes: __init__ and set_send_handler.
#include "../capi/args.hpp"
#include "../capi/instance.hpp"
#include "../capi/state.hpp"
#include "methods.hpp"
#include "names.hpp"
#include "request_id.hpp"

namespace com_like::messaging {

Ref get(PyObject* self, PyObject* name) noexcept { return steal(PyObject_GetAttr(self, name)); }

PyObject* init(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    static constexpr const char* names[] = {"self"};
    static const Signature sig("Messaging.__init__", names, 1);
    Bound<1> a(sig, args, nargsf, kwnames);
    if (!a.ok()) {
        return nullptr;
    }
    PyObject* self = a[0];
    Ref threading = lookup_global(global_threading);
    Ref lock_factory = threading ? get(threading.get(), attr_lock) : Ref();
    if (!lock_factory) {
        return nullptr;
    }
    auto store = [self](PyObject* name, Ref value) {
        return value && PyObject_GenericSetAttr(self, name, value.get()) == 0;
    };
    auto new_lock = [&lock_factory] { return steal(PyObject_CallNoArgs(lock_factory.get())); };
    if (!store(attr_waiters, steal(PyDict_New())) || !store(attr_waiters_lock, new_lock()) || !store(attr_guid, new_hex_id()) ||
        !store(attr_send_handler, none()) || !store(attr_loop, none()) || !store(attr_loop_thread, none()) ||
        !store(attr_callable_registry, steal(PyDict_New())) || !store(attr_callable_lock, new_lock()) ||
        !store(attr_next_callable_id, steal(PyLong_FromLong(1)))) {
        return nullptr;
    }
    // Every request reads three of these through a view of the dict (see
    // FieldView), which needs a dict that sees every write.
    return own_dict(self) < 0 ? nullptr : none().release();
}

PyObject* set_send_handler(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    static constexpr const char* names[] = {"self", "handler"};
    static const Signature sig("Messaging.set_send_handler", names, 2);
    Bound<2> a(sig, args, nargsf, kwnames);
    if (!a.ok() || PyObject_SetAttr(a[0], attr_send_handler, a[1]) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace com_like::messaging
