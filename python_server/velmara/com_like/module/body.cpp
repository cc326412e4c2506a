// The module body: binds the namespace in its fixed order.
//
//   base64, concurrent, dt, threading, uuid, pd, np, Any, Dict,
//   Serializer, Messaging, _cw__getattr__ .. _cw__del__,
//   _internal_officejs_names, OfficeJsObject, OfficeJsArray, OfficeJsDict,
//   messaging, Context, Excel, GetSetting
//
// Each step stops the import on its first failure.
#include "body.hpp"

#include "../capi/names.hpp"
#include "../capi/state.hpp"
#include "../messaging/messaging.hpp"
#include "../proxies/proxies.hpp"
#include "../wire/serializer.hpp"

namespace com_like {

namespace {

// `import <module> [as <alias>]`; for a dotted module the top-level package
// is bound, as the import statement does.
int import_as(PyObject* globals, const char* module, const char* alias) {
    Ref name = steal(PyUnicode_FromString(module));
    Ref top = name ? steal(PyImport_ImportModuleLevelObject(name.get(), globals, nullptr, nullptr, 0)) : Ref();
    if (!top) {
        return -1;
    }
    return PyDict_SetItemString(globals, alias, top.get());
}

// `from typing import Any, Dict`
int import_typing_names(PyObject* globals) {
    Ref typing = steal(PyImport_ImportModule("typing"));
    if (!typing) {
        return -1;
    }
    for (const char* name : {"Any", "Dict"}) {
        Ref value = steal(PyObject_GetAttrString(typing.get(), name));
        if (!value || PyDict_SetItemString(globals, name, value.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

// `name = factory(**kwargs)` with the factory read from the namespace.
int bind_call(PyObject* globals, const char* name, const char* factory, PyObject* kwargs) {
    PyObject* callable = nullptr;
    if (PyDict_GetItemStringRef(globals, factory, &callable) <= 0) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", factory);
        }
        return -1;
    }
    Ref owned = steal(callable);
    Ref empty = steal(PyTuple_New(0));
    Ref value = empty ? steal(PyObject_Call(owned.get(), empty.get(), kwargs)) : Ref();
    if (!value) {
        return -1;
    }
    return PyDict_SetItemString(globals, name, value.get());
}

int bind_root_proxy(PyObject* globals, const char* name, long object_id, const char* type_name) {
    Ref kwargs = steal(Py_BuildValue("{s:l,s:s}", "object_id", object_id, "type_name", type_name));
    return kwargs ? bind_call(globals, name, "OfficeJsObject", kwargs.get()) : -1;
}

}  // namespace

int run_module_body(PyObject* globals) noexcept {
    PyObject* module_name = state().module_name;
    if (init_capi() < 0) {
        return -1;
    }
    if (import_as(globals, "base64", "base64") < 0 || import_as(globals, "concurrent.futures", "concurrent") < 0 ||
        import_as(globals, "datetime", "dt") < 0 ||
        import_as(globals, "threading", "threading") < 0 || import_as(globals, "uuid", "uuid") < 0 ||
        import_as(globals, "pandas", "pd") < 0 || import_as(globals, "numpy", "np") < 0 ||
        import_typing_names(globals) < 0) {
        return -1;
    }
    if (wire::define_serializer(globals, module_name) < 0 || messaging::define_messaging(globals, module_name) < 0 ||
        proxies::define_remote_operations(globals, module_name) < 0 || proxies::define_internal_names(globals) < 0 ||
        proxies::define_proxy_classes(globals, module_name) < 0) {
        return -1;
    }
    if (bind_call(globals, "messaging", "Messaging", nullptr) < 0) {
        return -1;
    }
    if (bind_root_proxy(globals, "Context", 0, "RequestContext") < 0 ||
        bind_root_proxy(globals, "Excel", 1, "Excel") < 0 || bind_root_proxy(globals, "GetSetting", 2, "Function") < 0) {
        return -1;
    }
    return 0;
}

}  // namespace com_like
