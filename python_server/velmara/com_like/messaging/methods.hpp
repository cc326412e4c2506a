// The methods of Messaging, as vectorcall entry points (args[0] is self).
#pragma once

#include "../capi/ref.hpp"

#include <cstddef>

namespace com_like::messaging {

PyObject* init(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);
PyObject* set_send_handler(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);
PyObject* on_message(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);
PyObject* send_request_sync(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);
PyObject* reset(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);
PyObject* register_callable(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);
PyObject* get_callable(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);
PyObject* unregister_callable(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);

// Attribute read and write on the instance, by interned name.
Ref get(PyObject* self, PyObject* name) noexcept;

}  // namespace com_like::messaging
