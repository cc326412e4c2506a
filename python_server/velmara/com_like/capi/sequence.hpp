// Building lists and unpacking pairs, for the walks over user containers.
#pragma once

#include "ref.hpp"

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

}  // namespace com_like
