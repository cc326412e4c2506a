// Building lists and unpacking pairs, for the walks over user containers.
#pragma once

#include "names.hpp"

namespace com_like {

// A list filled in place. Its length is reserved up front (more items are
// appended, fewer shrink it at the end). Until finish() the list is hidden
// from the garbage collector, so code that runs while it is filled (a
// value's __str__, a callback) cannot reach its empty slots through
// gc.get_objects() or gc.get_referrers().
class ListBuilder {
public:
    explicit ListBuilder(Py_ssize_t reserve) noexcept;
    ListBuilder(const ListBuilder&) = delete;
    ListBuilder& operator=(const ListBuilder&) = delete;

    bool ok() const noexcept { return bool(list_); }

    // Consumes `item`. False with an error set; a null `item` (a failed
    // conversion, error already set) is refused the same way.
    bool push(Ref item) noexcept {
        if (!item) {
            return false;
        }
        if (filled_ < reserved_) {
            PyList_SET_ITEM(list_.get(), filled_++, item.release());
            return true;
        }
        return append(item.get());
    }

    // The finished list, visible to the collector again.
    Ref finish() noexcept;

private:
    bool append(PyObject* item) noexcept;

    Ref list_;
    Py_ssize_t reserved_;
    Py_ssize_t filled_ = 0;
};

// `first, second = item`, with the interpreter's errors for items that are
// not iterable or do not hold exactly two values.
bool unpack_pair(PyObject* item, Ref& first, Ref& second) noexcept;

// The walks over user containers that the encoder and the decoder share.
// `fn(item)` returns the converted item as a new reference, null on failure.

// [fn(item) for item in items] as a list. An exact list or tuple is walked
// by index (a list that grows meanwhile is walked to its new end, as its
// iterator would), anything else through its iterator; `size_hint`
// presizes. Null with an error set on failure.
template <typename Fn>
Ref map_items(PyObject* items, Py_ssize_t size_hint, Fn fn) {
    const bool is_list = PyList_CheckExact(items);
    if (is_list || PyTuple_CheckExact(items)) {
        ListBuilder out(Py_SIZE(items));
        if (!out.ok()) {
            return {};
        }
        for (Py_ssize_t i = 0; i < Py_SIZE(items); ++i) {
            Ref item = borrow(is_list ? PyList_GET_ITEM(items, i) : PyTuple_GET_ITEM(items, i));
            if (!out.push(fn(item.get()))) {
                return {};
            }
        }
        return out.finish();
    }
    Ref iterator = steal(PyObject_GetIter(items));
    if (!iterator) {
        return {};
    }
    ListBuilder out(size_hint);
    if (!out.ok()) {
        return {};
    }
    while (Ref item = steal(PyIter_Next(iterator.get()))) {
        if (!out.push(fn(item.get()))) {
            return {};
        }
    }
    return PyErr_Occurred() ? Ref() : out.finish();
}

// out[key] = fn(value) for every entry, keys kept as they are. An exact
// dict is walked directly and must not change size meanwhile; anything
// else goes through its items(). False with an error set on failure.
template <typename Fn>
bool map_entries(PyObject* entries, PyObject* out, Fn fn) {
    if (PyDict_CheckExact(entries)) {
        const Py_ssize_t size = PyDict_GET_SIZE(entries);
        Py_ssize_t pos = 0;
        PyObject* key_ptr;
        PyObject* value_ptr;
        while (PyDict_Next(entries, &pos, &key_ptr, &value_ptr)) {
            Ref key = borrow(key_ptr);
            Ref value = borrow(value_ptr);
            Ref converted = fn(value.get());
            if (!converted || PyDict_SetItem(out, key.get(), converted.get()) < 0) {
                return false;
            }
            if (PyDict_GET_SIZE(entries) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return false;
            }
        }
        return true;
    }
    Ref pairs = steal(PyObject_CallMethodNoArgs(entries, attr_items));
    Ref iterator = pairs ? steal(PyObject_GetIter(pairs.get())) : Ref();
    if (!iterator) {
        return false;
    }
    while (Ref pair = steal(PyIter_Next(iterator.get()))) {
        Ref key, value;
        if (!unpack_pair(pair.get(), key, value)) {
            return false;
        }
        Ref converted = fn(value.get());
        if (!converted || PyDict_SetItem(out, key.get(), converted.get()) < 0) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

}  // namespace com_like
