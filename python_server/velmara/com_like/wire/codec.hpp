// Shared pieces of the encoder and the decoder.
#pragma once

#include "../capi/ref.hpp"
#include "../capi/state.hpp"
#include "names.hpp"

#include <cstddef>

namespace com_like::wire {

// `Serializer.<name>` as the module namespace has it now.
inline Ref serializer_method(PyObject* name) noexcept {
    Ref serializer = lookup_global(global_serializer);
    return serializer ? steal(PyObject_GetAttr(serializer.get(), name)) : Ref();
}

// The vectorcall entry points of the two static methods.
PyObject* to_wire_entry(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);
PyObject* from_wire_entry(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);

// Imports the datetime C API for the encoder's date texts.
int init_encoder() noexcept;

}  // namespace com_like::wire
