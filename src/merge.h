// The merge rule: how the descriptors' update applies a mapping to a
// record's attributes.
#pragma once

#include "refs.h"

namespace pemu {

// Applies `mapping` to `record`: entries whose value is None are skipped,
// and so are entries that would hide a method of the record's class
// (update, to_dict, ...) or replace its __dict__; an attribute is set when
// the record lacks it or holds a value that compares unequal.  Not atomic:
// entries before a failure stay applied.
void merge(PyObject* record, PyObject* mapping);

}  // namespace pemu
