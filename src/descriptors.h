// The merge rule and the three metadata descriptors (source, module, frame
// format).  The descriptors keep their data only in their instance
// attribute dictionary, which to_dict returns itself; update applies a
// mapping to it by the merge rule.
#pragma once

#include "function.h"
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

// Applies `mapping` to `record`: entries whose value is None are skipped,
// and so are entries that would hide a method of the record's class
// (update, to_dict, ...) or replace its __dict__; an attribute is set when
// the record lacks it or holds a value that compares unequal.  Not atomic:
// entries before a failure stay applied.
void merge(PyObject* record, PyObject* mapping);

// The descriptors' to_dict and update bodies, and what to_dict returns:
// record.__dict__.  Other methods of the module that find these bodies in
// place (see bound_body) do their work directly.
Ref record_to_dict(const Call& c);
Ref record_update(const Call& c);
Ref record_dict(PyObject* record);

// Learns from `cls`, a plain class the module made, how its instances'
// __dict__ is read, so that to_dict can fetch it directly.
void learn_instance_dict(PyObject* cls);

}  // namespace pemu
