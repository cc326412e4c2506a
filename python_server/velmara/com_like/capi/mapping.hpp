// Reading members of dicts that come from elsewhere.
#pragma once

#include "names.hpp"

namespace com_like {

// mapping.get(key, fallback): a direct lookup for an exact dict, the
// object's own `get` method for anything else. `fallback` may be null for
// None. Null with an error set on failure.
Ref get_member_slow(PyObject* mapping, PyObject* key, PyObject* fallback) noexcept;

// Inline: the decoder reads two members of every wire value.
inline Ref get_member(PyObject* mapping, PyObject* key, PyObject* fallback = nullptr) noexcept {
    if (PyDict_CheckExact(mapping)) {
        PyObject* value = nullptr;
        if (PyDict_GetItemRef(mapping, key, &value) < 0) {
            return {};
        }
        return value ? steal(value) : borrow(fallback ? fallback : Py_None);
    }
    return get_member_slow(mapping, key, fallback);
}

// How an "error" member without a `get` method (None, a text, a list) is read.
enum class BareError {
    refuse,      // AttributeError, as `.get` on it would raise
    as_message,  // its text when it is a non-empty str, the fallback otherwise
};

// The add-in's error text of a failed response:
// response.get("error", {}).get("message", fallback). `make_fallback()` is
// called once the "error" member has been read. The member is held
// strongly: reading it may run code that changes the response.
template <typename MakeFallback>
Ref error_message(PyObject* response, MakeFallback make_fallback, BareError bare) noexcept {
    Ref error;
    if (PyDict_CheckExact(response)) {
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(response, key_error, &found) < 0) {
            return {};
        }
        if (!found) {
            return make_fallback();  // {}.get("message", fallback)
        }
        error = steal(found);
    } else {
        Ref empty = steal(PyDict_New());
        error = empty ? get_member(response, key_error, empty.get()) : Ref();
    }
    Ref fallback = error ? make_fallback() : Ref();
    if (!fallback) {
        return {};
    }
    if (bare == BareError::as_message && !PyDict_CheckExact(error.get())) {
        PyObject* getter = nullptr;
        if (PyObject_GetOptionalAttr(error.get(), attr_get, &getter) < 0) {
            return {};
        }
        Ref get = steal(getter);
        if (!get) {
            const bool text = PyUnicode_CheckExact(error.get()) && PyUnicode_GET_LENGTH(error.get()) > 0;
            return text ? std::move(error) : std::move(fallback);
        }
        PyObject* args[] = {key_message, fallback.get()};
        return steal(PyObject_Vectorcall(get.get(), args, 2, nullptr));
    }
    return get_member(error.get(), key_message, fallback.get());
}

}  // namespace com_like
