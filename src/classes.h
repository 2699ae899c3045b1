// The module's five classes: what the loader needs to make each one with
// `type`, and how the module readies them and sets their attributes.
//
// Each concept's file describes its own class (a ClassSpec).  Once made, a
// class is prepared: its construction slot calls its __init__ (while that
// is one of our functions) without a bound method, and the table of
// attribute names that its instances' dicts share is sized for its
// constructor.
#pragma once

#include "function.h"

#include <cstddef>

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

// type.__init__ as a lookup on the class would find it.  While a prepared
// class keeps its prepared tp_init, that is the function it had when
// prepared, without a lookup.
Ref class_init(PyTypeObject* type);

// The TypeError of an __init__ that returned `result`, not None.
[[noreturn, gnu::cold]] void raise_init_result(PyObject* result);
inline void expect_none_from_init(const Ref& result) {
    if (!result.is_none()) raise_init_result(result.get());
}

// obj.name = value.  With an interned str name, on an instance of one of the
// module's classes as prepared (not a subclass), plain data goes straight
// into the instance dict, all that the generic setting would do with it.
void set_attribute(PyObject* obj, PyObject* name, PyObject* value);

}  // namespace pemu
