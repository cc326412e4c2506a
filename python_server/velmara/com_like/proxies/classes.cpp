// The proxy classes OfficeJsObject, OfficeJsArray (a list) and OfficeJsDict
// (a dict): construction, fields, reprs, and their class tables.
//
// The five fields live in the ordinary instance __dict__, in the order the
// constructor stores them, written with the base-object attribute store:
// the classes' own __setattr__ routes elsewhere.
#include "../capi/args.hpp"
#include "../capi/classes.hpp"
#include "../capi/state.hpp"
#include "names.hpp"
#include "proxies.hpp"
#include "routing.hpp"
#include "routing_methods.hpp"

namespace com_like::proxies {

namespace {

bool store(PyObject* self, PyObject* field, PyObject* value) {
    return PyObject_GenericSetAttr(self, field, value) == 0;
}

// _msg_guid, _typ and _internal_cache: the fields every proxy stores last.
bool store_epoch_and_tail(PyObject* self, PyObject* kind) {
    Ref messaging_obj = lookup_global(global_messaging);
    Ref epoch = messaging_obj ? steal(PyObject_GetAttr(messaging_obj.get(), attr_guid)) : Ref();
    if (!epoch || !store(self, attr_msg_guid, epoch.get()) || !store(self, attr_typ, kind)) {
        return false;
    }
    Ref cache = steal(PyDict_New());
    return cache && store(self, attr_internal_cache, cache.get());
}

PyObject* object_init(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    static constexpr const char* names[] = {"self", "object_id", "type_name"};
    static const Signature sig("OfficeJsObject.__init__", names, 3);
    Bound<3> a(sig, args, nargsf, kwnames);
    if (!a.ok()) {
        return nullptr;
    }
    PyObject* self = a[0];
    Ref object_id = convert_int_argument(a[1], "object_id");
    if (!object_id || !require_exact(a[2], &PyUnicode_Type, "type_name")) {
        return nullptr;
    }
    if (!store(self, attr_internal_id, object_id.get()) || !store(self, attr_internal_type_name, a[2]) ||
        !store_epoch_and_tail(self, text_typ_object)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// super().__init__() as seen from `cls`: the base initialiser with no
// arguments (a list empties, a dict keeps its entries).
bool init_base(PyObject* cls, PyObject* self, PyTypeObject* base) {
    if (Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(cls)) {
        Ref no_args = steal(PyTuple_New(0));
        return no_args && base->tp_init(self, no_args.get(), nullptr) == 0;
    }
    PyObject* super_args[] = {cls, self};
    Ref sup = steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PySuper_Type), super_args, 2, nullptr));
    Ref init = sup ? steal(PyObject_GetAttr(sup.get(), attr_init)) : Ref();
    Ref done = init ? steal(PyObject_CallNoArgs(init.get())) : Ref();
    return bool(done);
}

PyObject* container_init(const Signature& sig, PyObject* cls, PyTypeObject* base, PyObject* type_name,
                         PyObject* kind, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    Bound<2> a(sig, args, nargsf, kwnames);
    if (!a.ok()) {
        return nullptr;
    }
    PyObject* self = a[0];
    Ref object_id = convert_int_argument(a[1], "object_id");
    if (!object_id || !init_base(cls, self, base) || !store(self, attr_internal_id, object_id.get()) ||
        !store(self, attr_internal_type_name, type_name) || !store_epoch_and_tail(self, kind)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

constexpr const char* kIdOnly[] = {"self", "object_id"};

PyObject* array_init(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    static const Signature sig("OfficeJsArray.__init__", kIdOnly, 2);
    return container_init(sig, state().array_class, &PyList_Type, tag_array, text_typ_array, args, nargsf, kwnames);
}

PyObject* dict_init(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    static const Signature sig("OfficeJsDict.__init__", kIdOnly, 2);
    return container_init(sig, state().dict_class, &PyDict_Type, tag_dict, text_typ_dict, args, nargsf, kwnames);
}

// format(value, "") of a field read by ordinary attribute lookup.
Ref formatted_field(PyObject* self, PyObject* field) {
    Ref value = steal(PyObject_GetAttr(self, field));
    return value ? steal(PyObject_Format(value.get(), text_empty)) : Ref();
}

PyObject* object_repr(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    static const Signature sig("OfficeJsObject.__repr__", kSelf, 1);
    Bound<1> a(sig, args, nargsf, kwnames);
    if (!a.ok()) {
        return nullptr;
    }
    Ref type_name = formatted_field(a[0], attr_internal_type_name);
    Ref id = type_name ? formatted_field(a[0], attr_internal_id) : Ref();
    if (!id) {
        return nullptr;
    }
    return PyUnicode_FromFormat("<OfficeJsObject %U id=%U>", type_name.get(), id.get());
}

PyObject* array_repr(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    static const Signature sig("OfficeJsArray.__repr__", kSelf, 1);
    Bound<1> a(sig, args, nargsf, kwnames);
    if (!a.ok()) {
        return nullptr;
    }
    Ref id = formatted_field(a[0], attr_internal_id);
    if (!id) {
        return nullptr;
    }
    const Py_ssize_t length = PyObject_Length(a[0]);
    if (length < 0) {
        return nullptr;
    }
    return PyUnicode_FromFormat("<OfficeJsArray id=%U len=%zd>", id.get(), length);
}

PyObject* dict_repr(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    static const Signature sig("OfficeJsDict.__repr__", kSelf, 1);
    Bound<1> a(sig, args, nargsf, kwnames);
    if (!a.ok()) {
        return nullptr;
    }
    Ref id = formatted_field(a[0], attr_internal_id);
    Ref keys = id ? steal(PyObject_CallMethodNoArgs(a[0], attr_keys)) : Ref();
    Ref listed = keys ? steal(PySequence_List(keys.get())) : Ref();
    if (!listed) {
        return nullptr;
    }
    return PyUnicode_FromFormat("<OfficeJsDict id=%U keys=%S>", id.get(), listed.get());
}

struct ObjectNames {
    static constexpr const char* getattr = "OfficeJsObject.__getattr__";
    static constexpr const char* getitem = "OfficeJsObject.__getitem__";
    static constexpr const char* setattr = "OfficeJsObject.__setattr__";
    static constexpr const char* del = "OfficeJsObject.__del__";
    static constexpr const char* call = "OfficeJsObject.__call__";
    static constexpr bool dict = false;
    static constexpr const char* refuse_setattr = nullptr;
};
struct ArrayNames {
    static constexpr const char* getattr = "OfficeJsArray.__getattr__";
    static constexpr const char* getitem = "";
    static constexpr const char* setattr = "OfficeJsArray.__setattr__";
    static constexpr const char* del = "OfficeJsArray.__del__";
    static constexpr const char* call = "OfficeJsArray.__call__";
    static constexpr bool dict = false;
    static constexpr const char* refuse_setattr = "Cannot set attributes on OfficeJsArray";
};
struct DictNames {
    static constexpr const char* getattr = "OfficeJsDict.__getattr__";
    static constexpr const char* getitem = "";
    static constexpr const char* setattr = "OfficeJsDict.__setattr__";
    static constexpr const char* del = "OfficeJsDict.__del__";
    static constexpr const char* call = "OfficeJsDict.__call__";
    static constexpr bool dict = true;
    static constexpr const char* refuse_setattr = nullptr;
};

using ObjectMethods = Methods<ObjectNames>;
using ArrayMethods = Methods<ArrayNames>;
using DictMethods = Methods<DictNames>;

constexpr const char kObjectDoc[] =
    "\n"
    "    Dynamic proxy class for Office.js objects.\n"
    "\n"
    "    Provides __getattr__, __setattr__, __call__, __getitem__ to proxy\n"
    "    operations to the Office.js Add-in via WebSocket.\n"
    "    ";

constexpr const char* kObjectInitAnnotations[] = {"object_id", "int", "type_name", "str", nullptr};
constexpr const char* kIdAnnotations[] = {"object_id", "int", nullptr};
constexpr const char* kNameAnnotations[] = {"name", "str", nullptr};

const FunctionDef kObjectMethods[] = {
    {"__init__", "OfficeJsObject.__init__(self, int object_id: int, str type_name: str)", object_init,
     "($self, object_id, type_name)", kObjectInitAnnotations},
    {"__getattr__", "OfficeJsObject.__getattr__(self, str name: str)", ObjectMethods::getattr, "($self, name)",
     kNameAnnotations},
    {"__getitem__", "OfficeJsObject.__getitem__(self, index)", ObjectMethods::getitem, "($self, index)"},
    {"__setattr__", "OfficeJsObject.__setattr__(self, str name: str, value)", ObjectMethods::setattr,
     "($self, name, value)", kNameAnnotations},
    {"__call__", "OfficeJsObject.__call__(self, *args, **kwargs)", ObjectMethods::call,
     "($self, *args, **kwargs)"},
    {"__del__", "OfficeJsObject.__del__(self)", ObjectMethods::del, "($self)"},
    {"__repr__", "OfficeJsObject.__repr__(self)", object_repr, "($self)"},
};

const FunctionDef kArrayMethods[] = {
    {"__init__", "OfficeJsArray.__init__(self, int object_id: int)", array_init, "($self, object_id)",
     kIdAnnotations},
    {"__getattr__", "OfficeJsArray.__getattr__(self, str name: str)", ArrayMethods::getattr, "($self, name)",
     kNameAnnotations},
    {"__setattr__", "OfficeJsArray.__setattr__(self, str name: str, value)", ArrayMethods::setattr,
     "($self, name, value)", kNameAnnotations},
    {"__call__", "OfficeJsArray.__call__(self, *args, **kwargs)", ArrayMethods::call, "($self, *args, **kwargs)"},
    {"__del__", "OfficeJsArray.__del__(self)", ArrayMethods::del, "($self)"},
    {"__repr__", "OfficeJsArray.__repr__(self)", array_repr, "($self)"},
};

const FunctionDef kDictMethods[] = {
    {"__init__", "OfficeJsDict.__init__(self, int object_id: int)", dict_init, "($self, object_id)",
     kIdAnnotations},
    {"__getattr__", "OfficeJsDict.__getattr__(self, str name: str)", DictMethods::getattr, "($self, name)",
     kNameAnnotations},
    {"__setattr__", "OfficeJsDict.__setattr__(self, str name: str, value)", DictMethods::setattr,
     "($self, name, value)", kNameAnnotations},
    {"__call__", "OfficeJsDict.__call__(self, *args, **kwargs)", DictMethods::call, "($self, *args, **kwargs)"},
    {"__del__", "OfficeJsDict.__del__(self)", DictMethods::del, "($self)"},
    {"__repr__", "OfficeJsDict.__repr__(self)", dict_repr, "($self)"},
};

int bind_class(PyObject* globals, const ClassDef& def, PyObject* base, PyObject* module_name, PyObject** keep) {
    Ref cls = make_class(def, base, module_name);
    if (!cls || PyDict_SetItemString(globals, def.name, cls.get()) < 0 || refuse_copies(cls.get()) < 0) {
        return -1;
    }
    if (keep) {
        Py_XSETREF(*keep, cls.release());  // kept for the process
    }
    return 0;
}

}  // namespace

int define_internal_names(PyObject* globals) noexcept {
    Ref names = steal(PyList_New(0));
    if (!names) {
        return -1;
    }
    for (PyObject* name : {global_cw_getattr, global_cw_getitem, global_cw_setattr, global_cw_call, global_cw_del}) {
        if (PyList_Append(names.get(), name) < 0) {
            return -1;
        }
    }
    for (const char* name : {"__getattr__", "__getitem__", "__setattr__", "__call__", "__del__"}) {
        Ref text = steal(PyUnicode_InternFromString(name));
        if (!text || PyList_Append(names.get(), text.get()) < 0) {
            return -1;
        }
    }
    return PyDict_SetItem(globals, global_internal_names, names.get());
}

int define_proxy_classes(PyObject* globals, PyObject* module_name) noexcept {
    static const ClassDef object_def{"OfficeJsObject", kObjectDoc, kObjectMethods};
    static const ClassDef array_def{"OfficeJsArray", "Specialized proxy for arrays returned from Office.js.",
                                    kArrayMethods};
    static const ClassDef dict_def{"OfficeJsDict", "Specialized proxy for dictionaries returned from Office.js.",
                                   kDictMethods};
    if (bind_class(globals, object_def, nullptr, module_name, nullptr) < 0 ||
        bind_class(globals, array_def, reinterpret_cast<PyObject*>(&PyList_Type), module_name, &state().array_class) < 0 ||
        bind_class(globals, dict_def, reinterpret_cast<PyObject*>(&PyDict_Type), module_name, &state().dict_class) < 0) {
        return -1;
    }
    return 0;
}

}  // namespace com_like::proxies
