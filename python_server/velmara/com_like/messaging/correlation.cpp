// Request/response correlation: envelopes, waiters, responses and reset.
//
// Locking rules: `_waiters_lock` is held only around one insertion or
// removal in `waiters` (or the snapshot-and-clear of reset) and never while
// Python code of someone else's may run: attributes are read before the
// lock is taken, futures are completed or cancelled after it is released.
// A future's done()/cancel() can trigger a garbage collection, whose
// finalizers may send a request of their own on this very thread.
#include "../capi/args.hpp"
#include "../capi/error.hpp"
#include "../capi/instance.hpp"
#include "../capi/lock.hpp"
#include "../capi/mapping.hpp"
#include "../capi/state.hpp"
#include "methods.hpp"
#include "names.hpp"
#include "request_id.hpp"

#include <vector>

namespace com_like::messaging {

namespace {

// The instance fields that every request and response reads: through the
// view while it holds them, else one by one.
InstanceAttrCache send_handler_field, waiters_field, waiters_lock_field;
FieldView fields{&attr_waiters, &attr_waiters_lock, &attr_send_handler};
enum Field { kWaiters, kWaitersLock, kSendHandler, kFields };

// The waiters table and its lock read the ordinary way, after which the
// view learns `self` again. False with an error set.
bool read_waiters_and_lock(PyObject* self, Ref& table, Ref& lock) {
    table = instance_attr(self, attr_waiters, waiters_field);
    lock = table ? instance_attr(self, attr_waiters_lock, waiters_lock_field) : Ref();
    if (!lock) {
        return false;
    }
    fields.learn(self);
    return true;
}

// concurrent.futures.Future(). A class call goes through the type's call
// slot, which looks __init__ up along the MRO and packs the arguments for
// it on every call. While the class is unchanged (its version tag says so)
// and its __init__ is a plain function, the same two steps are made here
// directly: the type's own tp_new, then that function.
Ref new_waiter() {
    State& s = state();
    auto* type = reinterpret_cast<PyTypeObject*>(s.future_type);
    if (s.future_init && type->tp_version_tag != 0 && type->tp_version_tag == s.future_version) {
        Ref waiter = steal(type->tp_new(type, s.empty_tuple, nullptr));
        if (!waiter || !PyObject_TypeCheck(waiter.get(), type)) {
            return waiter;  // as a class call: what __new__ made, uninitialised, when it is no Future
        }
        Ref init = borrow(s.future_init);  // held: a nested request may learn the class anew meanwhile
        PyObject* args[] = {waiter.get()};
        Ref result = steal(PyObject_Vectorcall(init.get(), args, 1, nullptr));
        if (!result) {
            return {};
        }
        if (result.get() != Py_None) {
            PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(result.get())->tp_name);
            return {};
        }
        return waiter;
    }
    Ref waiter = steal(PyObject_CallNoArgs(s.future_type));
    Py_CLEAR(s.future_init);
    s.future_version = 0;
    if (waiter && PyType_Check(s.future_type) && Py_IS_TYPE(s.future_type, &PyType_Type) &&
        Py_IS_TYPE(waiter.get(), type) && type->tp_version_tag != 0) {
        // Learn the class as it is now. Its metaclass is `type`, so the call
        // above was type.__call__: tp_new, then __init__ from the MRO.
        Ref init = steal(PyObject_GetAttr(s.future_type, attr_init));
        if (!init) {
            return {};
        }
        if (PyFunction_Check(init.get())) {
            s.future_init = init.release();
            s.future_version = type->tp_version_tag;
        }
    }
    return waiter;
}

// waiters.pop(request_id, None) under the lock; the popped waiter (or null
// when none was registered). Returns false with an error set.
bool pop_waiter(PyObject* table, PyObject* lock, PyObject* request_id, Ref& popped) {
    LockGuard guard;
    if (!guard.acquire(lock)) {
        return false;
    }
    if (PyDict_CheckExact(table)) {
        PyObject* value = nullptr;
        if (PyDict_Pop(table, request_id, &value) < 0) {
            return false;
        }
        popped = steal(value);
        if (popped.get() == Py_None) {
            popped.reset();  // a None stored by someone else is no waiter
        }
        return true;
    }
    PyObject* args[] = {table, request_id, Py_None};
    popped = steal(PyObject_VectorcallMethod(attr_pop, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!popped) {
        return false;
    }
    if (popped.get() == Py_None) {
        popped.reset();
    }
    return true;
}

// The response's "error" text; an "error" that is a plain text is taken as
// the message itself.
Ref error_text(PyObject* message) {
    return error_message(message, [] { return borrow(text_remote_error); }, BareError::as_message);
}

Ref call_method0(PyObject* obj, PyObject* name) {
    return steal(PyObject_CallMethodNoArgs(obj, name));
}

// The id under which a response is looked up. A waiter key is always an
// exact str, so anything else can match only through foreign __eq__ code,
// which must not run under the lock: it is hashed here (so an unhashable id
// fails as a dict lookup would) and then matches nothing. A str subclass is
// looked up by its plain text.
bool lookup_key(PyObject* request_id, Ref& key) {
    if (PyUnicode_CheckExact(request_id)) {
        key = borrow(request_id);
        return true;
    }
    if (PyObject_Hash(request_id) == -1) {
        return false;
    }
    if (PyUnicode_Check(request_id)) {
        key = steal(PyUnicode_FromObject(request_id));
        return bool(key);
    }
    key.reset();
    return true;
}

// waiter.<method>(value); a waiter that is already done refuses with
// InvalidStateError and is left as it is.
void complete(PyObject* waiter, PyObject* method, PyObject* value, FirstFailure& failures) {
    PyObject* call_args[] = {waiter, value};
    Ref set = steal(PyObject_VectorcallMethod(method, call_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!set) {
        if (PyErr_ExceptionMatches(state().invalid_state_error)) {
            PyErr_Clear();
        } else {
            failures.note();
        }
    }
}

// Ends a waiter that was taken out of the table for `message`: a done
// waiter is left alone; otherwise it gets the message when "ok" is true,
// else RuntimeError with the error text. A message that cannot be read (an
// "ok" whose lookup or truth test raises, an "error" whose text cannot be
// worked out) still ends the wait, as a failed response with the default
// text; the host gets that exception.
PyObject* end_waiter(PyObject* waiter, PyObject* message) {
    FirstFailure failures;
    Ref ok = get_member(message, key_ok);  // held: its __bool__ may change the message
    if (ok.get() == Py_True) {
        // The usual answer, read without running anyone's code. A waiter
        // that is already done refuses set_result and stays as it is, so
        // this needs no done() call of its own (a Python-level call with a
        // critical section, on every response).
        complete(waiter, attr_set_result, message, failures);
        return failures.finish();
    }
    Raised ok_lookup;  // a failed lookup counts once the waiter is known not to be done
    Ref done = call_method0(waiter, attr_done);
    const int finished = done ? PyObject_IsTrue(done.get()) : -1;
    if (finished > 0) {
        if (ok_lookup) {
            ok_lookup.restore();
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    if (finished < 0) {
        failures.note();  // not known to be done: completing it is still tried
    }
    if (ok_lookup) {
        ok_lookup.restore();
        failures.note();
    }
    const int succeeded = ok ? PyObject_IsTrue(ok.get()) : -1;
    if (succeeded > 0) {
        complete(waiter, attr_set_result, message, failures);
        return failures.finish();
    }
    if (succeeded < 0 && ok) {
        failures.note();
    }
    Ref text = error_text(message);
    if (!text) {
        failures.note();
        text = borrow(text_remote_error);
    }
    Ref exc = steal(PyObject_CallOneArg(PyExc_RuntimeError, text.get()));
    if (!exc) {
        // Not even the RuntimeError could be made (no memory): the waiter
        // gets what stopped it.
        Raised failure;
        exc = borrow(failure.get());
        failure.restore();
        failures.note();
    }
    complete(waiter, attr_set_exception, exc.get(), failures);
    return failures.finish();
}

}  // namespace

PyObject* send_request_sync(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    static constexpr const char* names[] = {"self", "req", "timeout"};
    static const Signature sig("Messaging.send_request_sync", names, 2);
    Bound<3> a(sig, args, nargsf, kwnames);
    if (!a.ok()) {
        return nullptr;
    }
    PyObject* self = a[0];
    PyObject* req = a[1];
    Ref timeout = a[2] ? convert_float_argument(a[2]) : borrow(state().default_timeout);
    if (!timeout || !require_exact(req, &PyDict_Type, "req")) {
        return nullptr;
    }
    Ref field[kFields];
    const bool viewed = fields.read(self, field);
    Ref handler = viewed ? std::move(field[kSendHandler]) : instance_attr(self, attr_send_handler, send_handler_field);
    if (!handler) {
        return nullptr;
    }
    const int usable = PyObject_IsTrue(handler.get());
    if (usable <= 0) {
        if (usable == 0) {
            PyErr_SetString(PyExc_RuntimeError, "No send handler registered");
        }
        return nullptr;
    }
    Ref request_id = new_hex_id();
    Ref envelope = request_id ? steal(PyDict_Copy(req)) : Ref();
    if (!envelope || PyDict_SetItem(envelope.get(), key_request_id, request_id.get()) < 0 ||
        PyDict_SetItem(envelope.get(), key_kind, text_request) < 0) {
        return nullptr;
    }
    Ref waiter = new_waiter();
    if (!waiter) {
        return nullptr;
    }
    Ref table = viewed ? std::move(field[kWaiters]) : Ref();
    Ref lock = viewed ? std::move(field[kWaitersLock]) : Ref();
    if (!viewed && !read_waiters_and_lock(self, table, lock)) {
        return nullptr;
    }
    {
        LockGuard guard;
        if (!guard.acquire(lock.get()) || PyObject_SetItem(table.get(), request_id.get(), waiter.get()) < 0) {
            return nullptr;
        }
    }

    // The waiter is registered before the handler runs, so a response that
    // arrives during the handler call (even from inside it) is matched.
    Ref sent = steal(PyObject_CallOneArg(handler.get(), envelope.get()));
    handler.reset();
    Ref response;
    if (sent) {
        sent.reset();
        PyObject* wait_args[] = {waiter.get(), timeout.get()};
        response = steal(PyObject_VectorcallMethod(attr_result, wait_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                   nullptr));
        if (response) {
            return response.release();
        }
    }

    // Every way out of the wait removes the entry, an interrupt included.
    Raised failure;
    Ref stale;
    if (!pop_waiter(table.get(), lock.get(), request_id.get(), stale)) {
        chain_to(std::move(failure));
        return nullptr;
    }
    stale.reset();
    if (failure.is_exception() && failure.is_instance(PyExc_TimeoutError)) {
        raise_with_context(PyExc_TimeoutError, "Timed out waiting for Office.js response", std::move(failure));
        return nullptr;
    }
    failure.restore();
    return nullptr;
}

PyObject* on_message(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    static constexpr const char* names[] = {"self", "message"};
    static const Signature sig("Messaging.on_message", names, 2);
    Bound<2> a(sig, args, nargsf, kwnames);
    if (!a.ok()) {
        return nullptr;
    }
    PyObject* self = a[0];
    PyObject* message = a[1];
    if (!require_exact(message, &PyDict_Type, "message")) {
        return nullptr;
    }
    Ref keep_id = get_member(message, key_request_id);  // held: the message may change under foreign code
    if (!keep_id) {
        return nullptr;
    }
    PyObject* request_id = keep_id.get();
    const int present = PyObject_IsTrue(request_id);
    if (present <= 0) {
        if (present < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    Ref key;
    if (!lookup_key(request_id, key)) {
        return nullptr;
    }
    Ref field[kFields];
    const bool viewed = fields.read(self, field);
    Ref table = viewed ? std::move(field[kWaiters]) : Ref();
    Ref lock = viewed ? std::move(field[kWaitersLock]) : Ref();
    if (!viewed && !read_waiters_and_lock(self, table, lock)) {
        return nullptr;
    }
    Ref waiter;
    if (key && !pop_waiter(table.get(), lock.get(), key.get(), waiter)) {
        return nullptr;
    }
    if (!waiter) {
        Py_RETURN_NONE;
    }
    // From here on the waiter is ours alone and must end before we return,
    // whatever the message holds: a caller left waiting would only see the
    // time-out. The host gets the first failure met on the way.
    return end_waiter(waiter.get(), message);
}

namespace {

// Takes every waiter out of the table under its lock (no code of anyone
// else's runs there) and cancels the ones not yet done after it is
// released. The table no longer knows them, so each must be ended here: a
// failure on one (an interrupt in its done() or cancel()) does not stop the
// sweep.
void cancel_waiters(PyObject* self, FirstFailure& failures) {
    Ref table = get(self, attr_waiters);
    Ref lock = table ? get(self, attr_waiters_lock) : Ref();
    if (!lock) {
        return failures.note();
    }
    std::vector<Ref> pending;
    {
        LockGuard guard;
        if (!guard.acquire(lock.get())) {
            return failures.note();
        }
        if (PyDict_CheckExact(table.get())) {
            Py_ssize_t pos = 0;
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            pending.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(table.get())));
            while (PyDict_Next(table.get(), &pos, &key, &value)) {
                pending.push_back(borrow(value));
            }
            PyDict_Clear(table.get());
        } else {
            Ref values = call_method0(table.get(), attr_values);
            Ref snapshot = values ? steal(PySequence_List(values.get())) : Ref();
            Ref cleared = snapshot ? call_method0(table.get(), attr_clear) : Ref();
            if (!cleared) {
                return failures.note();
            }
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i) {
                pending.push_back(borrow(PyList_GET_ITEM(snapshot.get(), i)));
            }
        }
    }
    for (Ref& waiter : pending) {
        Ref done = call_method0(waiter.get(), attr_done);
        const int finished = done ? PyObject_IsTrue(done.get()) : -1;
        if (finished < 0 || (finished == 0 && !call_method0(waiter.get(), attr_cancel))) {
            failures.note();
        }
        waiter.reset();
    }
}

// Stores the new epoch (null: keeps the current one); false with the
// failure noted.
bool store_epoch(PyObject* self, Ref& epoch, FirstFailure& failures) {
    if (epoch && PyObject_SetAttr(self, attr_guid, epoch.get()) < 0) {
        failures.note();
        epoch.reset();  // the roots stay with the epoch that is still current
        return false;
    }
    return true;
}

// Moves the registry into the new epoch: the epoch is stored, the registry
// emptied and its counter restarted in one critical section. A registration
// therefore gets either the old prefix (and is cleared here) or the new one
// with a counter that starts at 1; were the epoch stored before the lock, a
// registration in between would mint a new-prefix id that a later one
// repeats, and a callback could then reach the wrong callable. The cleared
// callables are let go only after the lock is released: their finalizers
// may run any code, a registration or a request included.
void clear_registry(PyObject* self, Ref& epoch, FirstFailure& failures) {
    Ref registry = get(self, attr_callable_registry);
    Ref registry_lock = registry ? get(self, attr_callable_lock) : Ref();
    Ref one = registry_lock ? steal(PyLong_FromLong(1)) : Ref();
    if (!one) {
        failures.note();
        store_epoch(self, epoch, failures);
        return;
    }
    Ref released;
    {
        LockGuard guard;
        if (!guard.acquire(registry_lock.get())) {
            failures.note();
            store_epoch(self, epoch, failures);
            return;
        }
        store_epoch(self, epoch, failures);
        if (PyDict_CheckExact(registry.get())) {
            released = steal(PyDict_Copy(registry.get()));
            if (!released) {
                return failures.note();
            }
            PyDict_Clear(registry.get());
        } else if (!call_method0(registry.get(), attr_clear)) {
            return failures.note();
        }
        if (PyObject_SetAttr(self, attr_next_callable_id, one.get()) < 0) {
            return failures.note();
        }
    }
    released.reset();
}

// Moves the root proxies into the new epoch. Any Exception is swallowed (the
// globals may not exist at all); an interrupt is kept, and the next root is
// still re-stamped.
void restamp_roots(PyObject* epoch, FirstFailure& failures) {
    for (PyObject* root_name : {global_context, global_excel}) {
        Ref root = lookup_global(root_name);
        if (!root || PyObject_SetAttr(root.get(), attr_msg_guid, epoch) < 0) {
            Raised swallowed;
            if (!swallowed.is_exception()) {
                swallowed.restore();
                failures.note();
            }
        }
    }
}

}  // namespace

PyObject* reset(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    static constexpr const char* names[] = {"self"};
    static const Signature sig("Messaging.reset", names, 1);
    Bound<1> a(sig, args, nargsf, kwnames);
    if (!a.ok()) {
        return nullptr;
    }
    PyObject* self = a[0];
    // Every step runs whatever happened in the ones before (an interrupt in
    // the cancel sweep must not leave old proxies current or old callables
    // registered); the first failure is raised at the end.
    FirstFailure failures;
    // The new epoch is drawn first: drawing may refill the random pool
    // through os.urandom, which lets other threads run, and a caller woken
    // by the cancel sweep should find the new epoch already in place.
    Ref epoch = new_hex_id();
    Raised draw_failure;  // counted after the sweep, in the order of the steps
    cancel_waiters(self, failures);
    if (!epoch) {
        draw_failure.restore();
        failures.note();
    }
    clear_registry(self, epoch, failures);
    if (epoch) {
        restamp_roots(epoch.get(), failures);
    }
    return failures.finish();
}

}  // namespace com_like::messaging
