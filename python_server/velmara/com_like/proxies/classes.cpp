#include "proxies.hpp"

namespace com_like {

int define_remote_operations(PyObject*, PyObject*) noexcept { return 0; }
int define_internal_names(PyObject*) noexcept { return 0; }
int define_proxy_classes(PyObject*, PyObject*) noexcept { return 0; }
bool proxy_classes_defined(PyObject* globals) noexcept {
    return PyDict_GetItemString(globals, "OfficeJsObject") != nullptr;
}

}  // namespace com_like
