#include "serializer.hpp"

namespace com_like {

int define_serializer(PyObject*, PyObject*) noexcept { return 0; }

}  // namespace com_like
