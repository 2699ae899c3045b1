// The merge rule (see merge.h) and the table of recently received keys
// beside it.  Relies on the class lookup cache (class_lookup.h) for what a
// record's class holds under a key, and on attribute setting as the
// module's classes do it (classes.h).
#include "merge.h"

#include "classes.h"
#include "items.h"
#include "names.h"
#include "same_bytes.h"

#include <cstdint>
#include <cstring>
#include <iterator>

namespace pemu {

namespace {

// Whether two exact str objects hold the same text, as their == would say.
inline bool same_text(PyObject* a, PyObject* b) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(a) < 0 || PyUnicode_READY(b) < 0) throw_error();
#endif
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return same_bytes(static_cast<const char*>(PyUnicode_DATA(a)),
                      static_cast<const char*>(PyUnicode_DATA(b)),
                      static_cast<std::size_t>(length) * PyUnicode_KIND(a));
}

// Recently merged keys, by hash: each with its interned twin, and what the
// record type it was last merged into holds under it.  A key fresh from
// JSON is a new str each time, while the interpreter's attribute cache, the
// records' shared key tables and the class lookups match names fastest by
// identity.  Finding the twin here (a hash and a text comparison) costs far
// less than interning the key again, whose table holds every name of the
// process.  Each slot keeps the last name that hashed to it, so payloads
// with ever new keys cannot grow the table.  A slot fills one cache line and
// holds the text of short names itself: a key is matched, and the class's
// answer found, without reading anything else, much of which the JSON
// decoding in between has likely pushed out of the nearest cache.
struct alignas(64) ReceivedKey {
    Py_hash_t hash;
    PyObject* twin;         // owned, for good; null while the slot is empty
    PyTypeObject* type;     // the record type of `on_class`; compared, never followed
    Py_ssize_t length;      // the twin's length in code points,
    unsigned int tag;       // the record type's version tag for `on_class`
    ClassEntry on_class;
    std::uint8_t kind;      // the twin's bytes per code point,
    char text[24];          // and its text, when that fits here
};
static_assert(sizeof(ReceivedKey) == 64, "a slot fills a cache line");
ReceivedKey received_keys[256] = {};

// Whether `slot` holds the twin of `key`, a ready exact str of that hash.
bool holds_twin(const ReceivedKey& slot, PyObject* key, Py_hash_t hash) {
    if (slot.twin == nullptr || slot.hash != hash || slot.length != PyUnicode_GET_LENGTH(key) ||
        slot.kind != PyUnicode_KIND(key))
        return false;
    std::size_t bytes = static_cast<std::size_t>(slot.length) * slot.kind;
    const char* held = bytes <= sizeof slot.text
                           ? slot.text
                           : static_cast<const char*>(PyUnicode_DATA(slot.twin));
    return same_bytes(held, static_cast<const char*>(PyUnicode_DATA(key)), bytes);
}

// The slot of `key` (an exact str that is not interned) holding its twin.
ReceivedKey& received_key_slot(PyObject* key) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(key) < 0) throw_error();
#endif
    // A str keeps its hash once computed (JSON's decoder computes it for
    // every key it memoizes).
    Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(key)->hash;
    if (hash == -1) hash = PyObject_Hash(key);
    if (hash == -1) throw_error();
    ReceivedKey& slot = received_keys[static_cast<std::size_t>(hash) % std::size(received_keys)];
    if (holds_twin(slot, key, hash)) return slot;
    Py_INCREF(key);
    PyObject* name = key;
    PyUnicode_InternInPlace(&name);
    Ref replaced = Ref::steal_or_null(slot.twin);  // a str: freeing it runs no code
    slot.hash = hash;
    slot.twin = name;
    slot.type = nullptr;
    slot.length = PyUnicode_GET_LENGTH(name);
    slot.kind = static_cast<std::uint8_t>(PyUnicode_KIND(name));
    std::size_t bytes = static_cast<std::size_t>(slot.length) * slot.kind;
    if (bytes <= sizeof slot.text) std::memcpy(slot.text, PyUnicode_DATA(name), bytes);
    return slot;
}

// Swaps `key` (an exact str) for its interned twin, and answers what `type`
// holds under it.
ClassEntry swap_for_twin(Ref& key, PyTypeObject* type) {
    if (PyUnicode_CHECK_INTERNED(key.get())) return class_entry(type, key.get());
    ReceivedKey& slot = received_key_slot(key.get());
    key = Ref::borrow(slot.twin);
    if (version_holds(type, slot.tag) && slot.type == type) return slot.on_class;
    ClassEntry on_class = class_entry(type, key.get());
    // The class lookup may have run code (comparisons of the class's keys)
    // that put another name in the slot.
    if (on_class.lasting && slot.twin == key.get()) {
        slot.type = type;
        slot.tag = type->tp_version_tag;
        slot.on_class = on_class;
    }
    return on_class;
}

// True when merging a key would hide an operation of the record's class (a
// method, or any other descriptor with __get__ but no __set__: an instance
// attribute of that name would shadow it) or replace the record's attribute
// storage (__dict__).  Such keys are skipped: otherwise a single received
// payload could break the envelope that parsed it for good.  Attributes the
// class defines with a setter (properties) are merged through it as usual.
// `name` is the key's text and `on_class` what the class holds under it.
bool would_break_record(PyObject* name, const ClassEntry& on_class) {
    if (!on_class.present) return false;
    if (!on_class.set) return on_class.get;
    return name == N->dunder_dict || PyUnicode_CompareWithASCIIString(name, "__dict__") == 0;
}

// What record.<key> reads, for a type whose attribute access is the generic
// one and which holds no descriptor with __get__ under the key's text
// `name` (`on_class` says what it holds): the instance dict's entry, else
// the class attribute.  For such plain data the merge rule's two reads
// (presence, then comparison) read the same object, so one lookup serves
// both.  `plain` is false where that does not hold, and the interpreter's
// attribute access is used instead.
Ref read_plain(PyObject* record, PyObject* key, PyObject* name, const ClassEntry& on_class,
               bool& plain) {
    PyTypeObject* type = Py_TYPE(record);
    plain = type->tp_getattro == PyObject_GenericGetAttr && type->tp_dictoffset != 0 &&
            PyUnicode_CheckExact(key) && (!on_class.present || !on_class.get);
    if (!plain) return Ref();
    PyObject** slot = dict_slot(record);
    if (slot != nullptr && *slot != nullptr) {
        Ref dict = Ref::borrow(*slot);  // held through the lookup
        Ref value = Ref::borrow(PyDict_GetItemWithError(dict.get(), key));
        if (value) return value;
        if (PyErr_Occurred()) PyErr_Clear();  // as in attribute access: a miss
    }
    return on_class.present ? Ref::borrow(_PyType_Lookup(type, name)) : Ref();
}

// Whether `value != value` is certainly false without asking it: objects of
// the exact built-in types whose equality is reflexive (a float unless NaN).
bool reflexive(PyObject* value) {
    return PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyBool_Check(value) ||
           (PyFloat_CheckExact(value) && !Py_IS_NAN(PyFloat_AS_DOUBLE(value)));
}

// `current != value` by the interpreter's comparison.  Pairs of the exact
// built-in str, int and float types, whose comparison runs no user code,
// are compared here directly with the same outcome.
bool differs(PyObject* current, PyObject* value) {
    if (current == value && reflexive(value)) return false;
    PyTypeObject* type = Py_TYPE(current);
    if (type == Py_TYPE(value)) {
        if (type == &PyUnicode_Type) return !same_text(current, value);
        if (type == &PyFloat_Type) return PyFloat_AS_DOUBLE(current) != PyFloat_AS_DOUBLE(value);
        if (type == &PyLong_Type) {
            int overflow_a = 0;
            int overflow_b = 0;
            long a = PyLong_AsLongAndOverflow(current, &overflow_a);
            long b = PyLong_AsLongAndOverflow(value, &overflow_b);
            if (overflow_a == 0 && overflow_b == 0) return a != b;
        }
    }
    return compare(current, value, Py_NE);
}

// Whether the merge rule sets record.<key> to value: when the record lacks
// the attribute (any failure to read it counts as lacking) or holds a value
// that compares unequal.
bool should_store(PyObject* record, PyObject* key, PyObject* name, PyObject* value,
                  const ClassEntry& on_class) {
    bool plain;
    Ref current = read_plain(record, key, name, on_class, plain);
    if (!plain) {
        Ref present = Ref::steal_or_null(PyObject_GetAttr(record, key));
        if (!present) {
            PyErr_Clear();
            return true;
        }
        present = Ref();
        current = getattr(record, key);
    } else if (!current) {
        return true;
    }
    return differs(current.get(), value);
}

}  // namespace

void merge(PyObject* record, PyObject* mapping) {
    if (mapping == Py_None) {
        PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "items");
        throw_error();
    }
    ItemIterator items(mapping);
    Ref key;
    Ref value;
    while (items.next(key, value)) {
        if (value.is_none()) continue;
        if (!PyUnicode_Check(key.get())) {
            PyErr_SetString(PyExc_TypeError, "hasattr(): attribute name must be string");
            throw_error();
        }
        // An exact str is looked up and stored under its interned twin, as
        // setting the attribute would store it.  What the class holds is
        // asked under the key's text: a str subclass's own hash or
        // comparison, which may fail or answer differently the next time,
        // has no say.
        Ref text;  // an exact copy of a str subclass key
        ClassEntry on_class;
        if (PyUnicode_CheckExact(key.get())) {
            on_class = swap_for_twin(key, Py_TYPE(record));
        } else {
            text = Ref::steal(PyUnicode_FromObject(key.get()));
            on_class = class_entry(Py_TYPE(record), text.get());
        }
        PyObject* name = text ? text.get() : key.get();
        if (would_break_record(name, on_class)) continue;
        if (should_store(record, key.get(), name, value.get(), on_class))
            set_attribute(record, key.get(), value.get());
    }
}

}  // namespace pemu
