// Loading the module: the entry point and the two steps of multi-phase
// initialisation.
//
// The module is initialised at most once per process, in one interpreter.
// The create step hands out the one module object again on later imports
// (also after its sys.modules entry was removed), and the execute step then
// does nothing for it; the body runs only for a fresh object.
#include "../capi/error.hpp"
#include "../capi/state.hpp"
#include "body.hpp"

#include <cstdint>

namespace com_like {

namespace {

constexpr const char kFullName[] = "velmara_master.python_server.velmara.com_like";

constexpr const char kModuleDoc[] =
    "Velmara - Synchronous COM-like bridge between Python and Excel Office.js.\n"
    "\n"
    "This module provides a synchronous proxy to Office.js objects, so that\n"
    "Python code can work with Excel through a COM-like interface.\n"
    "\n"
    "Classes:\n"
    "    Serializer: Handles marshaling of data types between Python and JavaScript.\n"
    "    Messaging: Handles message passing with synchronous send and wait\n"
    "        (no WebSocket server).\n"
    "    OfficeJsObject: Dynamic proxy for Office.js objects.\n"
    "    OfficeJsArray: Specialised proxy for arrays.\n"
    "    OfficeJsDict: Specialised proxy for dictionaries.\n"
    "\n"
    "Globals:\n"
    "    Excel: The root proxy object (ID 1).\n"
    "    Context: The context proxy object (ID 0).\n";

// Copy spec.<attr> to module.<name>; a missing attribute is skipped.
int copy_spec_attribute(PyObject* spec, const char* attr, PyObject* module, const char* name,
                        bool skip_none) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttrString(spec, attr, &value) < 0) {
        return -1;
    }
    Ref owned = steal(value);
    if (!owned || (skip_none && owned.get() == Py_None)) {
        return 0;
    }
    return PyObject_SetAttrString(module, name, owned.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current < 0) {
        return nullptr;
    }
    State& st = state();
    if (st.interpreter >= 0 && current != st.interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    st.interpreter = current;

    if (st.module) {
        return Py_NewRef(st.module);
    }
    Ref name = steal(PyObject_GetAttrString(spec, "name"));
    Ref module = name ? steal(PyModule_NewObject(name.get())) : Ref();
    if (!module) {
        return nullptr;
    }
    if (copy_spec_attribute(spec, "loader", module.get(), "__loader__", false) < 0 ||
        copy_spec_attribute(spec, "origin", module.get(), "__file__", false) < 0 ||
        copy_spec_attribute(spec, "parent", module.get(), "__package__", false) < 0 ||
        copy_spec_attribute(spec, "submodule_search_locations", module.get(), "__path__", true) < 0) {
        return nullptr;
    }
    return module.release();
}

// Forget a module whose body failed, so that the next import starts afresh.
void drop_failed_module(PyObject* module, bool added_to_sys_modules) {
    ErrorGuard keep;
    if (added_to_sys_modules) {
        PyObject* modules = PyImport_GetModuleDict();
        PyObject* entry = nullptr;
        if (PyDict_GetItemRef(modules, state().module_name, &entry) > 0) {
            if (entry == module) {
                PyDict_DelItem(modules, state().module_name);
            }
            Py_DECREF(entry);
        }
    }
    state().globals = nullptr;
    Ref old = steal(state().module);
    state().module = nullptr;
}

int module_exec(PyObject* module) {
    State& st = state();
    if (st.module) {
        if (st.module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'com_like' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (!st.module_name && !(st.module_name = PyUnicode_InternFromString(kFullName))) {
        return -1;
    }
    PyObject* globals = PyModule_GetDict(module);
    if (!globals) {
        return -1;
    }
    st.module = Py_NewRef(module);
    st.globals = globals;

    bool added = false;
    PyObject* modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, st.module_name);
    if (present == 0) {
        added = PyDict_SetItem(modules, st.module_name, module) == 0;
    }
    if (present < 0 || (present == 0 && !added) ||
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0 || run_module_body(globals) < 0) {
        drop_failed_module(module, added);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "com_like", kModuleDoc, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace com_like

PyMODINIT_FUNC PyInit_com_like(void) { return PyModuleDef_Init(&com_like::module_def); }
