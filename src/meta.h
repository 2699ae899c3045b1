// Meta's operations that the envelope calls directly when it finds them in
// place on the envelope's Meta (see bound_body).
#pragma once

#include "function.h"
#include "refs.h"

namespace pemu {

// Method bodies of Meta.
Ref meta_update_source(const Call& c);
Ref meta_update_frame_format(const Call& c);
Ref meta_update_module(const Call& c);
Ref meta_to_dict(const Call& c);

// meta.<component>.update(info), None standing for a new empty mapping.
void forward_update(PyObject* meta, PyObject* component_name, PyObject* info);

// The metadata mapping that Meta.to_dict returns.
Ref metadata_mapping(PyObject* meta);

}  // namespace pemu
