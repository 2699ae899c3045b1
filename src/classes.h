// The module's five classes: what the loader needs to make each one with
// `type`, and how the module readies them and sets their attributes.
//
// Each concept's file defines its own class spec.  Once made, a class is
// prepared: its construction slot calls its __init__ (while that is one of
// our functions) without a bound method, and the table of attribute names
// that its instances' dicts share is sized for its constructor.
#pragma once

#include "function.h"

#include <cstddef>
#include <initializer_list>

namespace pemu {

struct ClassSpec {
    const char* name;
    // Class-level attributes in class-body order, as "name=value, ...",
    // with values written like method defaults ("None", "False").
    const char* attributes;
    const MethodSpec* methods;  // in class-body order
    std::size_t nmethods;
    // The instance attributes the constructor sets, in its order, as
    // "a, b, c" (see prepare_class).
    const char* instance_attributes;
};

extern const ClassSpec kMetaSourceClass;       // descriptors.cpp
extern const ClassSpec kMetaModuleClass;       // descriptors.cpp
extern const ClassSpec kMetaFrameFormatClass;  // descriptors.cpp
extern const ClassSpec kMetaClass;             // meta.cpp
extern const ClassSpec kPemuDataClass;         // envelope.cpp

// Readies `cls`, a class the module made with `type`: a tp_init that calls
// its __init__ (when that is one of our functions) without a bound method,
// and a table of attribute names shared by its instances' dicts that holds
// `attributes` (the instance attributes its constructor sets, in order,
// written "a, b, c").
void prepare_class(PyObject* cls, const char* attributes);

// cls(**keywords).  For a plain class whose __init__ is one of ours, as
// type.__call__ would do it, without the bound method and argument tuple.
Ref instantiate(PyObject* cls, std::initializer_list<Keyword> keywords);

// obj.name = value.  With an interned str name, on an instance of one of the
// module's classes as prepared (not a subclass), plain data goes straight
// into the instance dict, all that the generic setting would do with it.
void set_attribute(PyObject* obj, PyObject* name, PyObject* value);

}  // namespace pemu
