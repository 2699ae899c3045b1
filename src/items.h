// The (key, value) pairs of a mapping's items(), as a for loop over
// `mapping.items()` unpacking each element into two names would give them.
#pragma once

#include "refs.h"

namespace pemu {

// Visits the (key, value) pairs of `mapping.items()` in order.  An exact
// dict is walked directly, and a change of its size during the walk raises
// RuntimeError; anything else has its items() called and iterated, each
// element unpacked into exactly two values.
class ItemIterator {
public:
    // `mapping` must not be None (the caller reports that in its own words).
    explicit ItemIterator(PyObject* mapping);
    // The next pair into key and value; false at the end.
    bool next(Ref& key, Ref& value) {
        if (!dict_) return next_item(key, value);
        if (PyDict_GET_SIZE(dict_.get()) != size_) raise_changed_size();
        PyObject* k;
        PyObject* v;
        if (!PyDict_Next(dict_.get(), &pos_, &k, &v)) return false;
        key = Ref::borrow(k);
        value = Ref::borrow(v);
        return true;
    }

private:
    bool next_item(Ref& key, Ref& value);
    [[noreturn, gnu::cold]] static void raise_changed_size();

    Ref dict_;  // the exact dict walked directly, or null
    Ref iter_;  // otherwise the iterator over items()
    Py_ssize_t pos_ = 0;
    Py_ssize_t size_ = 0;
};

}  // namespace pemu
