// Routing of Python syntax on proxies to the remote operations.
//
//   p.name            -> __getattr__ -> _cw__getattr__(p, name)   (after ordinary lookup fails)
//   p.name = value    -> __setattr__ -> _cw__setattr__(p, name, value)
//   p[index]          -> __getitem__ -> _cw__getitem__(p, index)  (OfficeJsObject only)
//   p(*args, **kw)    -> __call__    -> _cw__call__(p, *args, **kw)
//   finalization      -> __del__     -> _cw__del__(p)
//
// The operation is found by name in the module namespace at each call, so
// rebinding one takes effect at once. Exceptions come back through one
// re-raise rule (forward_to_operation).
#include "routing.hpp"

#include "../capi/args.hpp"
#include "../capi/error.hpp"
#include "../capi/state.hpp"
#include "names.hpp"
#include "routing_methods.hpp"

#include <vector>

namespace com_like::proxies {

namespace {

// The routing machinery failed while trimming: that failure leaves in place
// of the original exception, which becomes its context.
PyObject* replace_exception(Raised original) {
    chain_to(std::move(original));
    return nullptr;
}

// Is the code name of this traceback entry one of the listed internal names?
// The list is read from the module namespace at each step.
int is_internal_entry(PyObject* tb) {
    Ref names = lookup_global(global_internal_names);
    if (!names) {
        return -1;
    }
    PyFrameObject* frame = reinterpret_cast<PyTracebackObject*>(tb)->tb_frame;
    Ref code = steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    return PySequence_Contains(names.get(), reinterpret_cast<PyCodeObject*>(code.get())->co_name);
}

PyObject* reraise_trimmed(Raised error) {
    Ref tb = steal(PyException_GetTraceback(error.get()));
    while (tb && PyTraceBack_Check(tb.get())) {
        const int internal = is_internal_entry(tb.get());
        if (internal < 0) {
            return replace_exception(std::move(error));
        }
        if (!internal) {
            break;
        }
        tb = borrow(reinterpret_cast<PyObject*>(reinterpret_cast<PyTracebackObject*>(tb.get())->tb_next));
    }
    PyObject* call_args[] = {error.get(), tb ? tb.get() : Py_None};
    Ref same = steal(
        PyObject_VectorcallMethod(attr_with_traceback, call_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!same) {
        return replace_exception(std::move(error));
    }
    if (PyExceptionInstance_Check(same.get())) {
        PyException_SetCause(same.get(), nullptr);  // `raise e from None`
        PyErr_SetRaisedException(same.release());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return nullptr;
}

}  // namespace

PyObject* forward_to_operation(PyObject* op_name, PyObject* const* args, std::size_t nargsf,
                               PyObject* kwnames) noexcept {
    Ref op = lookup_global_or_builtin(op_name);
    if (op) {
        PyObject* result = PyObject_Vectorcall(op.get(), args, nargsf, kwnames);
        if (result) {
            return result;
        }
    }
    Raised error;
    if (!error.is_exception()) {
        error.restore();
        return nullptr;
    }
    return reraise_trimmed(std::move(error));
}

PyObject* getattr_impl(const Signature& sig, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    Bound<2> a(sig, args, nargsf, kwnames);
    if (!a.ok() || !require_exact(a[1], &PyUnicode_Type, "name")) {
        return nullptr;
    }
    PyObject* forwarded[] = {a[0], a[1]};
    return forward_to_operation(global_cw_getattr, forwarded, 2, nullptr);
}

PyObject* dict_getattr_impl(const Signature& sig, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    Bound<2> a(sig, args, nargsf, kwnames);
    if (!a.ok() || !require_exact(a[1], &PyUnicode_Type, "name")) {
        return nullptr;
    }
    const int held = PySequence_Contains(a[0], a[1]);
    if (held < 0) {
        return nullptr;
    }
    if (held) {
        return PyObject_GetItem(a[0], a[1]);
    }
    PyObject* forwarded[] = {a[0], a[1]};
    return forward_to_operation(global_cw_getattr, forwarded, 2, nullptr);
}

PyObject* getitem_impl(const Signature& sig, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    Bound<2> a(sig, args, nargsf, kwnames);
    if (!a.ok()) {
        return nullptr;
    }
    PyObject* forwarded[] = {a[0], a[1]};
    return forward_to_operation(global_cw_getitem, forwarded, 2, nullptr);
}

PyObject* setattr_impl(const Signature& sig, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    Bound<3> a(sig, args, nargsf, kwnames);
    if (!a.ok() || !require_exact(a[1], &PyUnicode_Type, "name")) {
        return nullptr;
    }
    PyObject* forwarded[] = {a[0], a[1], a[2]};
    return forward_to_operation(global_cw_setattr, forwarded, 3, nullptr);
}

PyObject* refuse_setattr_impl(const Signature& sig, const char* message, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) {
    Bound<3> a(sig, args, nargsf, kwnames);
    if (!a.ok() || !require_exact(a[1], &PyUnicode_Type, "name")) {
        return nullptr;
    }
    PyErr_SetString(PyExc_AttributeError, message);
    return nullptr;
}

PyObject* dict_setattr_impl(const Signature& sig, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    Bound<3> a(sig, args, nargsf, kwnames);
    if (!a.ok() || !require_exact(a[1], &PyUnicode_Type, "name")) {
        return nullptr;
    }
    const int held = PySequence_Contains(a[0], a[1]);
    if (held < 0) {
        return nullptr;
    }
    if (!held) {
        PyErr_SetString(PyExc_AttributeError, "Cannot set attributes on OfficeJsDict");
        return nullptr;
    }
    if (PyObject_SetItem(a[0], a[1], a[2]) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* call_impl(const char* qualname, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    PyObject* self = nullptr;
    VarArgs rest;
    // A missing self names the method as a Python function would; a keyword
    // self collides with the proxy the way a keyword merged into a call does.
    if (!bind_var_args(qualname, args, nargsf, kwnames, SelfKeyword::keyword_argument, self, rest, "__call__")) {
        return nullptr;
    }
    if (rest.bound_self < 0) {
        // The usual case: the arguments go on exactly as they came.
        return forward_to_operation(global_cw_call, args, nargsf, kwnames);
    }
    // self came as a keyword: pass it by position instead.
    const Py_ssize_t nkw = rest.nkwnames() - 1;
    Ref names = steal(PyTuple_New(nkw));
    if (!names) {
        return nullptr;
    }
    std::vector<PyObject*> forwarded(static_cast<std::size_t>(nkw) + 1);
    forwarded[0] = self;
    Py_ssize_t k = 0;
    rest.each_keyword([&](PyObject* name, PyObject* value) {
        PyTuple_SET_ITEM(names.get(), k, Py_NewRef(name));
        forwarded[1 + k] = value;
        ++k;
        return true;
    });
    return forward_to_operation(global_cw_call, forwarded.data(), 1, nkw ? names.get() : nullptr);
}

PyObject* del_impl(const Signature& sig, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    Bound<1> a(sig, args, nargsf, kwnames);
    if (!a.ok()) {
        return nullptr;
    }
    PyObject* forwarded[] = {a[0]};
    PyObject* result = forward_to_operation(global_cw_del, forwarded, 1, nullptr);
    if (!result && Py_IsFinalizing()) {
        // At exit the module's globals are already gone; the interpreter
        // would print an "Exception ignored" report for every proxy.
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return result;
}

}  // namespace com_like::proxies
