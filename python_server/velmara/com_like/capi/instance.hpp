// Reading an object's own instance attributes on a hot path.
//
// An ordinary attribute read looks the name up along the class's MRO (for
// a descriptor) before it reads the instance's dict. For a name that the
// class does not define, that first step finds nothing, every time: while
// the class is unchanged (its version tag says so; CPython gives a class a
// new tag whenever it or a base changes), the read can go to the instance's
// dict directly. Anything else (a class that defines the name, a custom
// __getattribute__ or __getattr__, a missing entry, a class without a
// version tag) takes the ordinary read, so the result is always the same.
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <initializer_list>

namespace com_like {

// What one call site learnt about the class it reads from: the class and
// its version tag at which `name` was found to be undefined on it.
struct InstanceAttrCache {
    PyTypeObject* type = nullptr;  // borrowed; compared only while the tag matches
    unsigned int version = 0;
};

// self.<name>; null with an error set on failure.
Ref instance_attr(PyObject* self, PyObject* name, InstanceAttrCache& cache) noexcept;

// What one call site learnt about the classes whose attribute reads start
// with object.__getattribute__ (whatever __getattr__ they add): each class
// with its version tag, a few at a time (the three proxy classes pass the
// same call sites).
struct GenericReadCache {
    static constexpr unsigned kClasses = 4;
    PyTypeObject* type[kClasses] = {};  // borrowed; compared only while the tag matches
    unsigned int version[kClasses] = {};
    unsigned int next = 0;  // the entry a newly learnt class takes
};

// self.<name>. A class that defines __getattr__ reads every attribute
// through a slot that looks __getattribute__ and __getattr__ up along the
// MRO first; while the class is unchanged and its __getattribute__ is
// object's, the read that one makes is made here directly. When it finds
// nothing (AttributeError), the ordinary read runs, so __getattr__ answers
// as it would (a property that raised goes once more). Null with an error
// set on failure.
Ref generic_attr(PyObject* self, PyObject* name, GenericReadCache& cache) noexcept;

// Several own attributes of one object that a hot path reads on every call
// (the messaging instance's handler, table and lock), kept as borrowed
// pointers into the object's instance dict while nothing can have changed
// them. Three things would: a change of the class (its version tag moves),
// a change of the dict (a dict watcher drops the view before the change is
// made, and when the dict goes) and another dict in the object's place (it
// is compared on every read). An object whose class defines one of the
// names, reads attributes its own way or lacks one of them is never viewed;
// its callers take the ordinary read, as they do on every miss.
class FieldView {
public:
    static constexpr std::size_t kMaxFields = 4;

    // `names`: the addresses of interned names, read once they are set up.
    FieldView(std::initializer_list<PyObject* const*> names) noexcept;
    FieldView(const FieldView&) = delete;
    FieldView& operator=(const FieldView&) = delete;

    // Every field of `self` (new references, in the order of the names)
    // when the view holds them; false, with no error set, otherwise.
    bool read(PyObject* self, Ref* out) noexcept;

    // Takes `self`'s fields into the view if it can: call after an ordinary
    // read succeeded. Leaves no error set.
    void learn(PyObject* self) noexcept;

    // The dict watcher's part: drops the view of `dict`.
    static void forget(PyObject* dict) noexcept;

private:
    PyObject* const* names_[kMaxFields] = {};
    std::size_t count_ = 0;
    PyTypeObject* type_ = nullptr;  // borrowed; compared only while the tag matches
    unsigned int version_ = 0;
    PyObject* dict_ = nullptr;  // borrowed and watched; null: no view
    PyObject* pending_ = nullptr;  // the dict being learnt; cleared by any change to it
    PyObject* values_[kMaxFields] = {};
    FieldView* next_ = nullptr;  // every view that learnt something, for forget()
    bool listed_ = false;
};

// Gives `self` a dict of its own with the same entries, in the same order,
// when its attributes live in the object itself (writes to those reach no
// dict watcher, so no view is ever taken of them). 0 also when the class
// refuses; -1 with an error set.
int own_dict(PyObject* self) noexcept;

// Interns the names above, registers the dict watcher; without a watcher
// (all slots taken) views stay empty.
int init_field_views() noexcept;

}  // namespace com_like
