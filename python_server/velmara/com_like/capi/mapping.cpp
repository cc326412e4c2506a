#include "mapping.hpp"

#include "names.hpp"

namespace com_like {

Ref get_member_slow(PyObject* mapping, PyObject* key, PyObject* fallback) noexcept {
    PyObject* missing = fallback ? fallback : Py_None;
    PyObject* args[] = {mapping, key, missing};
    return steal(PyObject_VectorcallMethod(attr_get, args, (fallback ? 3 : 2) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           nullptr));
}

}  // namespace com_like
