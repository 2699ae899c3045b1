// The three metadata descriptors (source, module, frame format).  They
// keep their data only in their instance attribute dictionary, which
// to_dict returns itself; update applies a mapping to it by the merge rule
// (merge.h).
#pragma once

#include "function.h"

namespace pemu {

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
