// Shared pieces of the encoder and the decoder.
#pragma once

#include "../capi/ref.hpp"
#include "../module/state.hpp"
#include "names.hpp"

#include <cstddef>

namespace com_like::wire {

// Our own function objects behind `Serializer.to_wire` and
// `Serializer.from_wire`, kept for the process. When the module global
// resolves to one of them, nested values are handled without a round trip
// through the interpreter.
struct NativeEntries {
    PyObject* to_wire = nullptr;
    PyObject* from_wire = nullptr;
};
NativeEntries& native_entries() noexcept;

// {"type": tag, "value": value, "isSpec": is_spec}, in that key order.
// `value` is consumed; a null `value` (a failed conversion) gives null.
inline Ref make_wire(PyObject* tag, Ref value, bool is_spec) noexcept {
    if (!value) {
        return {};
    }
    Ref wire = steal(PyDict_New());
    if (!wire || PyDict_SetItem(wire.get(), wire_names::type_key, tag) < 0 ||
        PyDict_SetItem(wire.get(), wire_names::value_key, value.get()) < 0 ||
        PyDict_SetItem(wire.get(), wire_names::is_spec_key, is_spec ? Py_True : Py_False) < 0) {
        return {};
    }
    return wire;
}

// `Serializer.<name>` as the module namespace has it now.
inline Ref serializer_method(PyObject* name) noexcept {
    Ref serializer = lookup_global(wire_names::g_serializer);
    return serializer ? steal(PyObject_GetAttr(serializer.get(), name)) : Ref();
}

// The vectorcall entry points of the two static methods.
PyObject* to_wire_entry(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);
PyObject* from_wire_entry(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);

// One top-level encoding or decoding, for native callers inside the module.
Ref encode(PyObject* value) noexcept;
Ref decode(PyObject* wire) noexcept;  // `wire` must be an exact dict

}  // namespace com_like::wire
