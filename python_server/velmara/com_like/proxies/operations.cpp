// The five remote operations behind the proxies: GET, SET, GETITEM, CALL and
// DEL requests, built, sent through `messaging`, checked and decoded.
//
// They are plain module functions taking the proxy as `self`, so that a
// host or a test can rebind any of them in the module namespace and the
// proxies pick the new one up at the next operation.
#include "../capi/args.hpp"
#include "../capi/classes.hpp"
#include "../capi/error.hpp"
#include "../capi/instance.hpp"
#include "../capi/mapping.hpp"
#include "../capi/state.hpp"
#include "names.hpp"
#include "proxies.hpp"

namespace com_like::proxies {

namespace {

bool is_one_of(PyObject* name, std::initializer_list<PyObject*> names) {
    for (PyObject* candidate : names) {
        if (same_text(name, candidate)) {
            return true;
        }
    }
    return false;
}

bool is_get_field(PyObject* name) {
    return is_one_of(name, {attr_internal_id, attr_internal_type_name, attr_msg_guid, attr_typ, attr_internal_cache});
}

// SET answers one name fewer: an assignment to _internal_cache is sent.
bool is_set_field(PyObject* name) { return is_one_of(name, {attr_internal_id, attr_internal_type_name, attr_msg_guid, attr_typ}); }

// messaging._guid, read by every operation but DEL: through a view of the
// messaging instance's dict while it holds it.
FieldView epoch_field{&attr_guid};

// A proxy from an earlier messaging epoch must not reach the add-in. The
// proxy's own epoch is read before `messaging` is looked up, so a half-built
// proxy reports its missing field whatever the namespace holds. Returns the
// `messaging` that the request then goes through.
Ref current_messaging(PyObject* self) {
    static GenericReadCache msg_guid_read;
    Ref mine = generic_attr(self, attr_msg_guid, msg_guid_read);
    Ref messaging_obj = mine ? lookup_global(global_messaging) : Ref();
    if (!messaging_obj) {
        return {};
    }
    Ref current;
    if (!epoch_field.read(messaging_obj.get(), &current)) {
        current = steal(PyObject_GetAttr(messaging_obj.get(), attr_guid));
        if (!current) {
            return {};
        }
        epoch_field.learn(messaging_obj.get());
    }
    const int stale = PyObject_RichCompareBool(mine.get(), current.get(), Py_NE);
    if (stale != 0) {
        if (stale > 0) {
            PyErr_SetString(PyExc_RuntimeError, "Excel Object used after messaging context was stopped");
        }
        return {};
    }
    return messaging_obj;
}

// {"method": method, "name": name, ["value"/"args": payload,] "caller": self._internal_id}
Ref build_body(PyObject* self, PyObject* method, PyObject* name, PyObject* payload_key, PyObject* payload) {
    static GenericReadCache internal_id_read;
    Ref caller = generic_attr(self, attr_internal_id, internal_id_read);
    Ref body = caller ? steal(PyDict_New()) : Ref();
    if (!body || PyDict_SetItem(body.get(), key_method, method) < 0 || PyDict_SetItem(body.get(), key_name, name) < 0 ||
        (payload_key && PyDict_SetItem(body.get(), payload_key, payload) < 0) ||
        PyDict_SetItem(body.get(), key_caller, caller.get()) < 0) {
        return {};
    }
    return body;
}

Ref send(PyObject* messaging_obj, PyObject* body) {
    PyObject* args[] = {messaging_obj, body};
    return steal(PyObject_VectorcallMethod(attr_send_request_sync, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Raise `exc_type` with the response's error text unless "ok" is true.
// The default text is built only when it is needed.
template <typename DefaultText>
bool check_response(PyObject* response, PyObject* exc_type, DefaultText default_text) {
    Ref ok = get_member(response, key_ok);
    if (!ok) {
        return false;
    }
    const int succeeded = PyObject_IsTrue(ok.get());
    if (succeeded != 0) {
        return succeeded > 0;
    }
    Ref text = error_message(response, default_text, BareError::refuse);
    // The text is the exception's one argument whatever it is: handed to
    // PyErr_SetObject directly, a tuple would be spread into several
    // arguments, None would give no argument, and an exception instance
    // would be raised itself.
    Ref exc = text ? steal(PyObject_CallOneArg(exc_type, text.get())) : Ref();
    if (exc) {
        PyErr_SetObject(exc_type, exc.get());
    }
    return false;
}

Ref decode_result(PyObject* response) {
    Ref result = get_member(response, key_result);
    Ref serializer_cls = result ? lookup_global(global_serializer) : Ref();
    if (!serializer_cls) {
        return {};
    }
    PyObject* args[] = {serializer_cls.get(), result.get()};
    return steal(PyObject_VectorcallMethod(attr_from_wire, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref encode(PyObject* value) {
    Ref serializer_cls = lookup_global(global_serializer);
    if (!serializer_cls) {
        return {};
    }
    PyObject* args[] = {serializer_cls.get(), value};
    return steal(PyObject_VectorcallMethod(attr_to_wire, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The text of a GETITEM index: "start:stop:step" for a slice (None parts
// empty), str(index) for an int; null with TypeError for anything else.
Ref index_text(PyObject* index) {
    if (PySlice_Check(index)) {
        PyObject* parts[3] = {};
        PySliceObject* s = reinterpret_cast<PySliceObject*>(index);
        PyObject* members[3] = {s->start, s->stop, s->step};
        Ref rendered[3];
        for (int i = 0; i < 3; ++i) {
            rendered[i] = steal(PyObject_Format(members[i] == Py_None ? text_empty : members[i], text_empty));
            if (!rendered[i]) {
                return {};
            }
            parts[i] = rendered[i].get();
        }
        return steal(PyUnicode_FromFormat("%U:%U:%U", parts[0], parts[1], parts[2]));
    }
    if (PyLong_Check(index)) {
        return steal(PyObject_Str(index));
    }
    PyErr_SetString(PyExc_TypeError, "Index must be an integer or a slice");
    return {};
}

// --- GET -------------------------------------------------------------------

PyObject* cw_getattr(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    static constexpr const char* names[] = {"self", "name"};
    static const Signature sig("_cw__getattr__", names, 2);
    Bound<2> a(sig, args, nargsf, kwnames);
    if (!a.ok() || !require_exact(a[1], &PyUnicode_Type, "name")) {
        return nullptr;
    }
    PyObject* self = a[0];
    PyObject* name = a[1];
    if (is_get_field(name)) {
        return PyObject_GenericGetAttr(self, name);
    }
    Ref messaging_obj = current_messaging(self);
    if (!messaging_obj) {
        return nullptr;
    }
    Ref body = build_body(self, method_get, name, nullptr, nullptr);
    Ref response = body ? send(messaging_obj.get(), body.get()) : Ref();
    if (!response || !check_response(response.get(), PyExc_AttributeError, [name] {
            return steal(PyUnicode_FromFormat("GET failed for %U", name));
        })) {
        return nullptr;
    }
    return decode_result(response.get()).release();
}

// --- SET -------------------------------------------------------------------

PyObject* cw_setattr(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    static constexpr const char* names[] = {"self", "name", "value"};
    static const Signature sig("_cw__setattr__", names, 3);
    Bound<3> a(sig, args, nargsf, kwnames);
    if (!a.ok() || !require_exact(a[1], &PyUnicode_Type, "name")) {
        return nullptr;
    }
    PyObject* self = a[0];
    PyObject* name = a[1];
    if (is_set_field(name)) {
        if (PyObject_GenericSetAttr(self, name, a[2]) < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    Ref messaging_obj = current_messaging(self);
    if (!messaging_obj) {
        return nullptr;
    }
    Ref wire = encode(a[2]);
    Ref body = wire ? build_body(self, method_set, name, key_value, wire.get()) : Ref();
    Ref response = body ? send(messaging_obj.get(), body.get()) : Ref();
    if (!response || !check_response(response.get(), PyExc_AttributeError, [name] {
            return steal(PyUnicode_FromFormat("SET failed for %U", name));
        })) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// --- GETITEM ---------------------------------------------------------------

PyObject* cw_getitem(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    static constexpr const char* names[] = {"self", "index"};
    static const Signature sig("_cw__getitem__", names, 2);
    Bound<2> a(sig, args, nargsf, kwnames);
    if (!a.ok()) {
        return nullptr;
    }
    PyObject* self = a[0];
    PyObject* index = a[1];
    Ref text = index_text(index);  // a bad index is reported even on a stale proxy
    if (!text) {
        return nullptr;
    }
    Ref messaging_obj = current_messaging(self);
    if (!messaging_obj) {
        return nullptr;
    }
    Ref body = build_body(self, method_getitem, text.get(), nullptr, nullptr);
    Ref response = body ? send(messaging_obj.get(), body.get()) : Ref();
    if (!response || !check_response(response.get(), PyExc_AttributeError, [index] {
            Ref shown = steal(PyObject_Format(index, text_empty));
            return shown ? steal(PyUnicode_FromFormat("GET ITEM failed for %U", shown.get())) : Ref();
        })) {
        return nullptr;
    }
    return decode_result(response.get()).release();
}

// --- CALL ------------------------------------------------------------------

// One entry of the CALL argument list.
Ref call_argument(PyObject* keyword, PyObject* value) {
    Ref wire = encode(value);
    Ref entry = wire ? steal(PyDict_New()) : Ref();
    if (!entry || PyDict_SetItem(entry.get(), key_arg_type, keyword ? text_named : text_placed) < 0 ||
        (keyword && PyDict_SetItem(entry.get(), key_name, keyword) < 0) ||
        PyDict_SetItem(entry.get(), key_value, wire.get()) < 0) {
        return {};
    }
    return entry;
}

PyObject* cw_call(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    PyObject* self = nullptr;
    VarArgs call;
    if (!bind_var_args("_cw__call__", args, nargsf, kwnames, SelfKeyword::python_function, self, call)) {
        return nullptr;
    }
    Ref messaging_obj = current_messaging(self);
    if (!messaging_obj) {
        return nullptr;
    }
    Ref type_name = steal(PyObject_GetAttr(self, attr_internal_type_name));
    if (!type_name) {
        return nullptr;
    }
    const int not_function = PyObject_RichCompareBool(type_name.get(), tag_function, Py_NE);
    if (not_function != 0) {
        if (not_function > 0) {
            PyErr_SetString(PyExc_TypeError, "Only Function-typed SpecialObjects are callable");
        }
        return nullptr;
    }
    Ref arg_list = steal(PyList_New(0));
    if (!arg_list) {
        return nullptr;
    }
    for (std::size_t i = 0; i < call.npositional; ++i) {
        Ref entry = call_argument(nullptr, call.positional[i]);
        if (!entry || PyList_Append(arg_list.get(), entry.get()) < 0) {
            return nullptr;
        }
    }
    const bool encoded = call.each_keyword([&arg_list](PyObject* keyword, PyObject* value) {
        Ref entry = call_argument(keyword, value);
        return entry && PyList_Append(arg_list.get(), entry.get()) == 0;
    });
    if (!encoded) {
        return nullptr;
    }
    Ref body = build_body(self, method_call, text_dunder_call, key_args, arg_list.get());
    Ref response = body ? send(messaging_obj.get(), body.get()) : Ref();
    if (!response || !check_response(response.get(), PyExc_RuntimeError,
                                     [] { return steal(PyUnicode_FromString("CALL failed")); })) {
        return nullptr;
    }
    return decode_result(response.get()).release();
}

// --- DEL -------------------------------------------------------------------

PyObject* cw_del(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    static constexpr const char* names[] = {"self"};
    static const Signature sig("_cw__del__", names, 1);
    Bound<1> a(sig, args, nargsf, kwnames);
    if (!a.ok()) {
        return nullptr;
    }
    // Whatever goes wrong with the delete request itself (no handler, a
    // time-out, a refusal, a half-built proxy) is nobody's business.
    Ref messaging_obj = lookup_global(global_messaging);
    Ref body = messaging_obj ? build_body(a[0], method_del, text_dunder_del, nullptr, nullptr) : Ref();
    Ref response = body ? send(messaging_obj.get(), body.get()) : Ref();
    if (!response) {
        Raised failure;
        if (!failure.is_exception()) {
            failure.restore();
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

constexpr const char* kGetattrAnnotations[] = {"name", "str", "return", "Any", nullptr};
constexpr const char* kSetattrAnnotations[] = {"name", "str", "value", "Any", "return", "None", nullptr};
constexpr const char* kGetitemAnnotations[] = {"index", "Any", "return", "Any", nullptr};
constexpr const char* kCallAnnotations[] = {"args", "Any", "kwargs", "Any", "return", "Any", nullptr};
constexpr const char* kDelAnnotations[] = {"return", "None", nullptr};

const FunctionDef kOperations[] = {
    {"_cw__getattr__", "_cw__getattr__(self, str name: str)\n\nGet attribute proxy method for OfficeJsObject.",
     cw_getattr, "(self, name)", kGetattrAnnotations},
    {"_cw__getitem__", "_cw__getitem__(self, index)\n\nGet item proxy method for OfficeJsObject.", cw_getitem,
     "(self, index)", kGetitemAnnotations},
    {"_cw__setattr__",
     "_cw__setattr__(self, str name: str, value)\n\nSet attribute proxy method for OfficeJsObject.", cw_setattr,
     "(self, name, value)", kSetattrAnnotations},
    {"_cw__call__",
     "_cw__call__(self, *args, **kwargs)\n\nCall proxy method for OfficeJsObject (Function type).", cw_call,
     "(self, *args, **kwargs)", kCallAnnotations},
    {"_cw__del__", "_cw__del__(self)\n\nDelete proxy method for OfficeJsObject.", cw_del, "(self)",
     kDelAnnotations},
};

}  // namespace

int define_remote_operations(PyObject* globals, PyObject* module_name) noexcept {
    if (intern_names() < 0) {
        return -1;
    }
    for (const FunctionDef& def : kOperations) {
        if (add_function(globals, def, module_name) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace com_like::proxies
