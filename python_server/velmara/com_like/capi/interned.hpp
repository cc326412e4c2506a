// Interned strings kept for the life of the process.
//
// Each subsystem lists the constant strings of its hot paths once, as
//   #define MY_NAMES(X) X(key_request_id, "requestId") X(key_kind, "kind")
// declares them with COM_LIKE_DECLARE_NAMES(MY_NAMES), defines them in one
// source file with COM_LIKE_DEFINE_NAMES(MY_NAMES), and interns them from its
// set-up step with COM_LIKE_INTERN_NAMES(MY_NAMES). Nothing on a hot path
// builds a string it could have kept.
#pragma once

#include "ref.hpp"

#define COM_LIKE_NAME_DECLARE_(id, text) extern PyObject* id;
#define COM_LIKE_NAME_DEFINE_(id, text) PyObject* id = nullptr;
#define COM_LIKE_NAME_INTERN_(id, text)                               \
    if (!id && !(id = PyUnicode_InternFromString(text))) {           \
        return -1;                                                    \
    }

#define COM_LIKE_DECLARE_NAMES(LIST) LIST(COM_LIKE_NAME_DECLARE_)
#define COM_LIKE_DEFINE_NAMES(LIST) LIST(COM_LIKE_NAME_DEFINE_)
#define COM_LIKE_INTERN_NAMES(LIST) LIST(COM_LIKE_NAME_INTERN_)

namespace com_like {

// Text equality of two str objects, cheapest test first (interned names
// usually match by identity).
inline bool same_text(PyObject* a, PyObject* b) noexcept {
    if (a == b) {
        return true;
    }
    if (!PyUnicode_Check(a) || !PyUnicode_Check(b) || PyUnicode_GET_LENGTH(a) != PyUnicode_GET_LENGTH(b)) {
        return false;
    }
    return PyUnicode_Compare(a, b) == 0;
}

}  // namespace com_like
