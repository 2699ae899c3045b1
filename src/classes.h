// The five classes as data: what the module's loader needs to make each
// one with `type`.  Each concept's file defines its own specs.
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

}  // namespace pemu
