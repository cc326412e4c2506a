#include "sequence.hpp"

namespace com_like {

ListBuilder::ListBuilder(Py_ssize_t reserve) noexcept
    : list_(steal(PyList_New(reserve < 0 ? 0 : reserve))), reserved_(reserve < 0 ? 0 : reserve) {
    if (list_) {
        PyObject_GC_UnTrack(list_.get());
    }
}

bool ListBuilder::append(PyObject* item) noexcept {
    if (PyList_Append(list_.get(), item) < 0) {
        return false;
    }
    ++filled_;
    return true;
}

Ref ListBuilder::finish() noexcept {
    if (filled_ < reserved_) {
        Py_SET_SIZE(list_.get(), filled_);  // the slots beyond stay empty and unused
    }
    PyObject_GC_Track(list_.get());
    return std::move(list_);
}

bool unpack_pair(PyObject* item, Ref& first, Ref& second) noexcept {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        first = borrow(PyTuple_GET_ITEM(item, 0));
        second = borrow(PyTuple_GET_ITEM(item, 1));
        return true;
    }
    Ref iterator = steal(PyObject_GetIter(item));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        }
        return false;
    }
    Ref values[3];
    Py_ssize_t got = 0;
    for (; got < 3; ++got) {
        values[got] = steal(PyIter_Next(iterator.get()));
        if (!values[got]) {
            break;
        }
    }
    if (PyErr_Occurred()) {
        return false;
    }
    if (got < 2) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", got);
        return false;
    }
    if (got > 2) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    first = std::move(values[0]);
    second = std::move(values[1]);
    return true;
}

}  // namespace com_like
