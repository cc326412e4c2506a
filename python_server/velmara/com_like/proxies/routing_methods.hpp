// The routing methods of the three proxy classes, stamped out per class so
// that each carries its own qualified name in argument errors.
#pragma once

#include "../capi/args.hpp"

#include <cstddef>

namespace com_like::proxies {

PyObject* getattr_impl(const Signature& sig, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);
PyObject* dict_getattr_impl(const Signature& sig, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);
PyObject* getitem_impl(const Signature& sig, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);
PyObject* setattr_impl(const Signature& sig, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);
PyObject* refuse_setattr_impl(const Signature& sig, const char* message, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames);
PyObject* dict_setattr_impl(const Signature& sig, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);
PyObject* call_impl(const char* qualname, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);
PyObject* del_impl(const Signature& sig, PyObject* const* args, std::size_t nargsf, PyObject* kwnames);

inline constexpr const char* kSelfName[] = {"self", "name"};
inline constexpr const char* kSelfNameValue[] = {"self", "name", "value"};
inline constexpr const char* kSelfIndex[] = {"self", "index"};
inline constexpr const char* kSelf[] = {"self"};

// `Names` provides the qualified names: getattr, getitem, setattr, call, del.
template <typename Names>
struct Methods {
    static PyObject* getattr(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
        static const Signature sig(Names::getattr, kSelfName, 2);
        return Names::dict ? dict_getattr_impl(sig, args, nargsf, kwnames) : getattr_impl(sig, args, nargsf, kwnames);
    }
    static PyObject* getitem(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
        static const Signature sig(Names::getitem, kSelfIndex, 2);
        return getitem_impl(sig, args, nargsf, kwnames);
    }
    static PyObject* setattr(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
        static const Signature sig(Names::setattr, kSelfNameValue, 3);
        if constexpr (Names::dict) {
            return dict_setattr_impl(sig, args, nargsf, kwnames);
        } else if constexpr (Names::refuse_setattr != nullptr) {
            return refuse_setattr_impl(sig, Names::refuse_setattr, args, nargsf, kwnames);
        } else {
            return setattr_impl(sig, args, nargsf, kwnames);
        }
    }
    static PyObject* call(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
        return call_impl(Names::call, args, nargsf, kwnames);
    }
    static PyObject* del(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
        static const Signature sig(Names::del, kSelf, 1);
        return del_impl(sig, args, nargsf, kwnames);
    }
};

}  // namespace com_like::proxies
