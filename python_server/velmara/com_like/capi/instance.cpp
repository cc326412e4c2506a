#include "instance.hpp"

#include "interned.hpp"

namespace com_like {

namespace {

#define INSTANCE_NAMES(X) X(attr_dict, "__dict__") X(attr_getattribute, "__getattribute__")
COM_LIKE_DEFINE_NAMES(INSTANCE_NAMES)
PyObject* object_getattribute_wrapper = nullptr;  // object.__getattribute__, kept for the process

// Whether `type` (through its MRO) leaves `name` undefined and reads
// attributes the generic way; -1 with an error set.
int plain_instance_name(PyTypeObject* type, PyObject* name) {
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        return 0;
    }
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) {
        return 0;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        Ref dict = steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
        if (!dict) {
            return 0;
        }
        const int found = PyDict_Contains(dict.get(), name);
        if (found != 0) {
            return found < 0 ? -1 : 0;
        }
    }
    return 1;
}

// Whether `dict` keeps its values itself. The dict of an object whose
// attributes live in the object (a split table over its inline values) is
// written through the object on `self.name = value`, which tells no dict
// watcher; only a dict with a combined table sees every write.
bool own_values(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_values == nullptr;
}

FieldView* views = nullptr;  // every view that learnt something
int watcher = -1;

int on_dict_event(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) noexcept {
    FieldView::forget(dict);
    return 0;
}

}  // namespace

Ref instance_attr(PyObject* self, PyObject* name, InstanceAttrCache& cache) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    const unsigned int version = type->tp_version_tag;
    if (version == 0 || type != cache.type || version != cache.version) {
        // Learn (or re-learn) the class through the ordinary read, which
        // also gives the class a version tag when it has none.
        Ref value = steal(PyObject_GetAttr(self, name));
        if (value && type->tp_version_tag != 0) {
            const int plain = plain_instance_name(type, name);
            if (plain < 0) {
                return {};
            }
            cache.type = plain ? type : nullptr;
            cache.version = plain ? type->tp_version_tag : 0;
        }
        return value;
    }
    Ref dict = steal(PyObject_GenericGetDict(self, nullptr));
    if (dict) {
        PyObject* value = nullptr;
        if (PyDict_GetItemRef(dict.get(), name, &value) > 0) {
            return steal(value);
        }
    }
    PyErr_Clear();  // not there after all: the ordinary read says why
    return steal(PyObject_GetAttr(self, name));
}

namespace {

// Whether `type` reads attributes with object.__getattribute__ (found along
// its MRO as object's own slot wrapper).
bool object_getattribute(PyTypeObject* type) {
    Ref found = steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), attr_getattribute));
    if (!found) {
        PyErr_Clear();
        return false;
    }
    return found.get() == object_getattribute_wrapper;
}

}  // namespace

Ref generic_attr(PyObject* self, PyObject* name, GenericReadCache& cache) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    const unsigned int version = type->tp_version_tag;
    bool known = false;
    for (unsigned int i = 0; i < GenericReadCache::kClasses && !known; ++i) {
        known = version != 0 && cache.type[i] == type && cache.version[i] == version;
    }
    if (!known) {
        Ref value = steal(PyObject_GetAttr(self, name));
        if (value && type->tp_version_tag != 0) {
            if (object_getattribute(type)) {
                const unsigned int slot = cache.next++ % GenericReadCache::kClasses;
                cache.type[slot] = type;
                cache.version[slot] = type->tp_version_tag;
            }
        }
        return value;
    }
    Ref value = steal(PyObject_GenericGetAttr(self, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return value;
    }
    PyErr_Clear();
    return steal(PyObject_GetAttr(self, name));
}

FieldView::FieldView(std::initializer_list<PyObject* const*> names) noexcept {
    for (PyObject* const* name : names) {
        if (count_ < kMaxFields) {
            names_[count_++] = name;
        }
    }
}

bool FieldView::read(PyObject* self, Ref* out) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    if (!dict_ || type != type_ || type->tp_version_tag != version_) {
        return false;
    }
    Ref dict = steal(PyObject_GenericGetDict(self, nullptr));
    if (dict.get() != dict_) {
        PyErr_Clear();  // another dict (or none could be made): the ordinary read
        return false;
    }
    for (std::size_t i = 0; i < count_; ++i) {
        out[i] = borrow(values_[i]);
    }
    return true;
}

void FieldView::learn(PyObject* self) noexcept {
    dict_ = nullptr;
    PyTypeObject* type = Py_TYPE(self);
    const unsigned int version = type->tp_version_tag;
    if (watcher < 0 || version == 0 || PyErr_Occurred()) {
        return;
    }
    for (std::size_t i = 0; i < count_; ++i) {
        if (plain_instance_name(type, *names_[i]) != 1) {
            PyErr_Clear();
            return;
        }
    }
    Ref dict = steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict || !PyDict_CheckExact(dict.get()) || !own_values(dict.get()) || PyDict_Watch(watcher, dict.get()) < 0) {
        PyErr_Clear();
        return;
    }
    if (!listed_) {
        next_ = views;
        views = this;
        listed_ = true;
    }
    // A lookup may run foreign code (a key of another type with an __eq__
    // of its own) that changes the dict: any change made from here on
    // clears `pending_`, and the values are taken only if none was.
    pending_ = dict.get();
    Ref values[kMaxFields];
    for (std::size_t i = 0; i < count_; ++i) {
        PyObject* value = nullptr;
        if (PyDict_GetItemRef(dict.get(), *names_[i], &value) <= 0) {
            PyErr_Clear();
            pending_ = nullptr;
            return;
        }
        values[i] = steal(value);
    }
    if (pending_ != dict.get() || type->tp_version_tag != version) {
        pending_ = nullptr;
        return;
    }
    pending_ = nullptr;
    for (std::size_t i = 0; i < count_; ++i) {
        values_[i] = values[i].get();  // the dict holds them until it changes
    }
    type_ = type;
    version_ = version;
    dict_ = dict.get();  // self holds it; the watcher says when it changes or goes
}

void FieldView::forget(PyObject* dict) noexcept {
    for (FieldView* view = views; view; view = view->next_) {
        if (view->dict_ == dict) {
            view->dict_ = nullptr;
        }
        if (view->pending_ == dict) {
            view->pending_ = nullptr;
        }
    }
}

int own_dict(PyObject* self) noexcept {
    Ref dict = steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) {
        return -1;
    }
    if (!PyDict_CheckExact(dict.get()) || own_values(dict.get())) {
        return 0;
    }
    Ref copy = steal(PyDict_New());
    if (!copy || PyDict_Update(copy.get(), dict.get()) < 0) {
        return -1;
    }
    // Through the class's __dict__ descriptor, which moves the attributes
    // out of the object; PyObject_GenericSetDict would leave them there.
    // A class that refuses is only read the ordinary way.
    if (PyObject_SetAttr(self, attr_dict, copy.get()) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            return -1;
        }
        PyErr_Clear();
    }
    return 0;
}

int init_field_views() noexcept {
    COM_LIKE_INTERN_NAMES(INSTANCE_NAMES)
    if (!object_getattribute_wrapper &&
        !(object_getattribute_wrapper =
              PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyBaseObject_Type), attr_getattribute))) {
        return -1;
    }
    if (watcher >= 0) {
        return 0;
    }
    watcher = PyDict_AddWatcher(on_dict_event);
    if (watcher < 0) {
        PyErr_Clear();  // every slot is taken: reads take the ordinary way
    }
    return 0;
}

}  // namespace com_like
