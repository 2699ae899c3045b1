// What a class holds under an attribute name, as the generic attribute
// access sees it, with a small cache in front of the interpreter's lookup.
//
// The generic access decides between the class and the instance dict by
// what the class (or a base) holds under the name: nothing, a plain value,
// an object whose type has __get__ only (a method), or one whose type has
// __set__ (a data descriptor).  Only that answer is cached, never the
// object, under the class's version tag, which the interpreter renews
// whenever the class or one of its bases changes (an attribute assigned or
// deleted, the bases replaced).  An answer is kept only when nothing else
// can change it: the class holds nothing under the name, or an object of a
// type that cannot be changed (a built-in or extension type, such as None
// or a function of this module).  An object of a class made in Python may
// gain a __get__ or __set__ at any time, so it is asked each time.
//
// Tags are unique while the interpreter's 32-bit counter lasts.  Before
// 3.12 it starts over once it runs out (after some four billion changes of
// classes); a class could then meet its old tag again by coincidence, and
// the answer kept for it would be stale: an answer, never an object, so it
// could misdirect one attribute, not crash.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace pemu {

struct ClassEntry {
    bool present : 1;  // the class holds an object under the name
    bool get : 1;      // its type has __get__
    bool set : 1;      // its type has __set__ (and __delete__)
    bool lasting : 1;  // the answer holds while the class's version tag does
};

// Whether `tag`, read from `type` when an answer was kept, still stands for
// the class as it is now.  Before 3.13 a change of the class clears its
// valid-tag flag; from 3.13 on that flag is never set, and a change resets
// the tag to 0 instead.
inline bool version_holds(PyTypeObject* type, unsigned int tag) {
#if PY_VERSION_HEX >= 0x030D0000
    return tag != 0 && type->tp_version_tag == tag;
#else
    return tag != 0 && type->tp_version_tag == tag &&
           PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
#endif
}

// The version tag that stands for the class as it is now, or 0 when none does.
inline unsigned int current_tag(PyTypeObject* type) {
    return version_holds(type, type->tp_version_tag) ? type->tp_version_tag : 0;
}

namespace class_lookup_detail {

// 24 bytes; the table is kept small enough to stay in the nearest cache.
struct Slot {
    PyTypeObject* type;  // compared, never followed
    PyObject* name;      // owned: no other name can take its address
    unsigned int tag;
    ClassEntry entry;
};

constexpr unsigned kSlotBits = 9;
inline Slot slots[1U << kSlotBits];

ClassEntry look_up(PyTypeObject* type, PyObject* name, Slot& slot);

}  // namespace class_lookup_detail

// What `type` holds under `name`, an exact str.
inline ClassEntry class_entry(PyTypeObject* type, PyObject* name) {
    using namespace class_lookup_detail;
    std::uint64_t mixed = (reinterpret_cast<std::uintptr_t>(name) >> 4) ^
                          (reinterpret_cast<std::uintptr_t>(type) >> 6);
    Slot& slot = slots[(mixed * 0x9E3779B97F4A7C15ULL) >> (64 - kSlotBits)];
    if (slot.name == name && slot.type == type && version_holds(type, slot.tag))
        return slot.entry;
    return look_up(type, name, slot);
}

}  // namespace pemu
