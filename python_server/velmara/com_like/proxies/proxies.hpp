// Proxies: the proxy classes, the five remote operations and the routing of
// Python syntax on proxies to those operations.
#pragma once

#include "../capi/ref.hpp"

namespace com_like::proxies {

// _cw__getattr__, _cw__getitem__, _cw__setattr__, _cw__call__, _cw__del__
int define_remote_operations(PyObject* globals, PyObject* module_name) noexcept;

// _internal_officejs_names
int define_internal_names(PyObject* globals) noexcept;

// OfficeJsObject, OfficeJsArray, OfficeJsDict
int define_proxy_classes(PyObject* globals, PyObject* module_name) noexcept;

// Registers a reducer in copyreg's dispatch table that refuses copy.copy and
// pickle for `cls`.
int refuse_copies(PyObject* cls) noexcept;

}  // namespace com_like::proxies
