// Proxies refuse copy.copy and pickle (mend M10).
//
// A copy would be a second proxy of the same remote object that the add-in
// knows nothing about: it counted one reference, would receive two releases,
// and once the twin is finalized it frees the object under the original.
// copy.copy and pickle both consult copyreg's dispatch table under the
// object's exact class, so a reducer registered there refuses both without
// adding a method to the classes or a name to the module. copy.deepcopy does
// not consult it and is left as it is.
#include "../capi/ref.hpp"
#include "proxies.hpp"

namespace com_like::proxies {

namespace {

PyObject* refuse_copy(PyObject* cls, PyObject*) {
    Ref name = steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(cls)));
    if (name) {
        PyErr_Format(PyExc_TypeError, "cannot copy or pickle %U proxies", name.get());
    }
    return nullptr;
}

PyMethodDef refuse_copy_def = {"refuse_copy", refuse_copy, METH_O,
                               "Refuse to copy or pickle a proxy of a remote object."};

}  // namespace

int refuse_copies(PyObject* cls) noexcept {
    Ref copyreg = steal(PyImport_ImportModule("copyreg"));
    Ref table = copyreg ? steal(PyObject_GetAttrString(copyreg.get(), "dispatch_table")) : Ref();
    Ref reducer = table ? steal(PyCFunction_New(&refuse_copy_def, cls)) : Ref();
    if (!reducer) {
        return -1;
    }
    return PyObject_SetItem(table.get(), cls, reducer.get());
}

}  // namespace com_like::proxies
