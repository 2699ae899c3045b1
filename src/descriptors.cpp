#include "descriptors.h"

#include "classes.h"
#include "names.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <iterator>

namespace pemu {

namespace {
// The getter behind the __dict__ attribute of plain classes (all share it),
// learnt from a class the module made.
getter instance_dict_getter = nullptr;
}  // namespace

void learn_instance_dict(PyObject* cls) {
    PyObject* found = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), N->dunder_dict);
    if (found != nullptr && Py_TYPE(found) == &PyGetSetDescr_Type)
        instance_dict_getter = reinterpret_cast<PyGetSetDescrObject*>(found)->d_getset->get;
}

// ---- Pairs of items() ----

namespace {

[[gnu::cold]] void raise_need_more_values(Py_ssize_t found) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                 found == 1 ? "" : "s");
    throw_error();
}

[[gnu::cold]] void raise_too_many_values() {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    throw_error();
}

// The next value of an unpacking iterator; null at its end (StopIteration
// is not an error here), throws on any other failure.
Ref next_value(PyObject* iter) {
    Ref value = Ref::steal_or_null(PyIter_Next(iter));
    if (!value && PyErr_Occurred()) throw_error();
    return value;
}

// Unpacks one element of items() into exactly two values.
void unpack_pair(PyObject* item, Ref& first, Ref& second) {
    if (PyTuple_Check(item)) {
        Py_ssize_t size = PyTuple_GET_SIZE(item);
        if (size < 2) raise_need_more_values(size);
        if (size > 2) raise_too_many_values();
        first = Ref::borrow(PyTuple_GET_ITEM(item, 0));
        second = Ref::borrow(PyTuple_GET_ITEM(item, 1));
        return;
    }
    Ref iter = Ref::steal(PyObject_GetIter(item));
    first = next_value(iter.get());
    if (!first) raise_need_more_values(0);
    second = next_value(iter.get());
    if (!second) raise_need_more_values(1);
    if (next_value(iter.get())) raise_too_many_values();
}

}  // namespace

ItemIterator::ItemIterator(PyObject* mapping) {
    if (PyDict_CheckExact(mapping)) {
        dict_ = Ref::borrow(mapping);
        size_ = PyDict_GET_SIZE(mapping);
        return;
    }
    Ref items = call_method(mapping, N->items);
    iter_ = Ref::steal(PyObject_GetIter(items.get()));
}

bool ItemIterator::next_item(Ref& key, Ref& value) {
    Ref item = next_value(iter_.get());
    if (!item) return false;
    unpack_pair(item.get(), key, value);
    return true;
}

void ItemIterator::raise_changed_size() {
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
    throw_error();
}

// ---- The merge rule ----

namespace {

template <typename Word>
inline Word load(const char* p) {
    Word word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// Whether n bytes at p and q are equal.  Names and short values are a few
// bytes long: compared here a word at a time, the last word overlapping the
// one before it, which beats a call into the library.
inline bool same_bytes(const char* p, const char* q, std::size_t n) {
    if (n >= 8) {
        for (; n > 8; n -= 8, p += 8, q += 8)
            if (load<std::uint64_t>(p) != load<std::uint64_t>(q)) return false;
        return load<std::uint64_t>(p + n - 8) == load<std::uint64_t>(q + n - 8);
    }
    if (n >= 4)
        return load<std::uint32_t>(p) == load<std::uint32_t>(q) &&
               load<std::uint32_t>(p + n - 4) == load<std::uint32_t>(q + n - 4);
    if (n >= 2)
        return load<std::uint16_t>(p) == load<std::uint16_t>(q) &&
               load<std::uint16_t>(p + n - 2) == load<std::uint16_t>(q + n - 2);
    return n == 0 || *p == *q;
}

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
struct alignas(64) KnownName {
    Py_hash_t hash;
    PyObject* twin;         // owned, for good; null while the slot is empty
    PyTypeObject* type;     // the record type of `on_class`; compared, never followed
    Py_ssize_t length;      // the twin's length in code points,
    unsigned int tag;       // the record type's version tag for `on_class`
    ClassEntry on_class;
    std::uint8_t kind;      // the twin's bytes per code point,
    char text[24];          // and its text, when that fits here
};
static_assert(sizeof(KnownName) == 64, "a slot fills a cache line");
KnownName known_names[256] = {};

// Whether `slot` holds the twin of `key`, a ready exact str of that hash.
bool holds_twin(const KnownName& slot, PyObject* key, Py_hash_t hash) {
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
KnownName& known_name(PyObject* key) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(key) < 0) throw_error();
#endif
    // A str keeps its hash once computed (JSON's decoder computes it for
    // every key it memoizes).
    Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(key)->hash;
    if (hash == -1) hash = PyObject_Hash(key);
    if (hash == -1) throw_error();
    KnownName& slot = known_names[static_cast<std::size_t>(hash) % std::size(known_names)];
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
ClassEntry known_key(Ref& key, PyTypeObject* type) {
    if (PyUnicode_CHECK_INTERNED(key.get())) return class_entry(type, key.get());
    KnownName& slot = known_name(key.get());
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
            on_class = known_key(key, Py_TYPE(record));
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

// ---- Shared by the three descriptors ----

// self.__dict__.  Where that attribute is the plain classes' own, the
// instance dict is fetched directly; a __getattribute__ or a __dict__ of a
// subclass's making is honoured through attribute access.
Ref record_dict(PyObject* record) {
    PyTypeObject* type = Py_TYPE(record);
    if (type->tp_getattro == PyObject_GenericGetAttr && instance_dict_getter != nullptr) {
        PyObject* found = _PyType_Lookup(type, N->dunder_dict);
        if (found != nullptr && Py_TYPE(found) == &PyGetSetDescr_Type &&
            reinterpret_cast<PyGetSetDescrObject*>(found)->d_getset->get == instance_dict_getter)
            return Ref::steal(PyObject_GenericGetDict(record, nullptr));
    }
    return getattr(record, N->dunder_dict);
}

Ref record_to_dict(const Call& c) { return record_dict(c.self()); }

Ref record_update(const Call& c) {
    merge(c.self(), c.arg(1));
    return none();
}

namespace {

// node.get(key, None), or node.get(key) when `with_default` is false.  An
// exact dict cannot override get, so it is read directly.
Ref node_get(PyObject* node, PyObject* key, bool with_default) {
    if (PyDict_CheckExact(node)) {
        Ref value = dict_lookup(node, key);
        return value ? value : none();
    }
    Ref get = getattr(node, N->get);
    return with_default ? call(get.get(), key, Py_None) : call(get.get(), key);
}

// The text of a value: itself when exactly a str, else format(value, "").
Ref render(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    return Ref::steal(PyObject_Format(value, N->empty_str));
}

// Copies all of `from` into `to` (made wide enough) at `at`.
void copy_text(PyObject* to, Py_ssize_t at, PyObject* from) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(from);
    if (PyUnicode_KIND(from) == PyUnicode_KIND(to)) {
        int kind = PyUnicode_KIND(to);
        std::memcpy(static_cast<char*>(PyUnicode_DATA(to)) + at * kind, PyUnicode_DATA(from),
                    static_cast<std::size_t>(length) * static_cast<std::size_t>(kind));
        return;
    }
    check(static_cast<int>(PyUnicode_CopyCharacters(to, at, from, 0, length)));
}

// A new str: the text of `head`, "_", the text of `port`.  The two values
// are rendered in that order.  An exact int port (the usual case) is
// written as its decimal digits directly, the text format() gives it.
Ref joined_key(PyObject* head, PyObject* port) {
    Ref head_text = render(head);
    char digits[24];
    std::size_t ndigits = 0;
    Ref port_text;
    if (PyLong_CheckExact(port)) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(port, &overflow);
        if (overflow == 0) {
            std::to_chars_result written = std::to_chars(digits, digits + sizeof digits, value);
            ndigits = static_cast<std::size_t>(written.ptr - digits);
        }
    }
    if (ndigits == 0) port_text = render(port);
    PyObject* a = head_text.get();
    PyObject* b = port_text.get();
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(a) < 0 || (b != nullptr && PyUnicode_READY(b) < 0)) throw_error();
#endif
    Py_ssize_t a_length = PyUnicode_GET_LENGTH(a);
    Py_ssize_t b_length = b != nullptr ? PyUnicode_GET_LENGTH(b) : static_cast<Py_ssize_t>(ndigits);
    Py_UCS4 max_char = std::max<Py_UCS4>(
        {PyUnicode_MAX_CHAR_VALUE(a), b != nullptr ? PyUnicode_MAX_CHAR_VALUE(b) : 0, '_'});
    Ref joined = Ref::steal(PyUnicode_New(a_length + 1 + b_length, max_char));
    PyObject* out = joined.get();
    copy_text(out, 0, a);
    int kind = PyUnicode_KIND(out);
    void* data = PyUnicode_DATA(out);
    PyUnicode_WRITE(kind, data, a_length, '_');
    if (b != nullptr) {
        copy_text(out, a_length + 1, b);
    } else {
        for (std::size_t i = 0; i < ndigits; ++i)
            PyUnicode_WRITE(kind, data, a_length + 1 + static_cast<Py_ssize_t>(i), digits[i]);
    }
    return joined;
}

// ---- MetaSource ----

Ref source_init(const Call& c) {
    PyObject* self = c.self();
    PyObject* node = c.arg(1);
    PyObject* port = c.arg(2);
    PyObject* src_name = c.arg(3);
    if (node == Py_None) return none();

    for (PyObject* name : {N->id, N->type, N->name}) {
        Ref value = node_get(node, name, true);
        set_attribute(self, name, value.get());
    }
    Ref source_name;
    if (truth(src_name)) {
        source_name = Ref::borrow(src_name);
    } else {
        Ref type = node_get(node, N->type, false);
        source_name = joined_key(type.get(), port);
    }
    set_attribute(self, N->source_name, source_name.get());
    Ref id = node_get(node, N->id, false);
    Ref source_key = joined_key(id.get(), port);
    set_attribute(self, N->source_key, source_key.get());
    set_attribute(self, N->output_port_idx, port);
    set_attribute(self, N->frame_id, Py_None);
    Ref time = c.global(N->time);
    Ref time_function = module_attribute(time.get(), N->time);
    Ref now = call_no_args(time_function.get());
    set_attribute(self, N->ts, now.get());
    return none();
}

const MethodSpec kMetaSourceMethods[] = {
    {"__init__", "self, src_node=None, src_output_port=None, src_name=None", nullptr, source_init},
    {"update", "self, source_info", nullptr, record_update},
    {"to_dict", "self", nullptr, record_to_dict},
};

// ---- MetaModule ----

Ref module_init(const Call& c) {
    PyObject* self = c.self();
    PyObject* node = c.arg(1);
    if (node == Py_None) return none();
    for (PyObject* name : {N->id, N->type}) {
        Ref value = node_get(node, name, true);
        set_attribute(self, name, value.get());
    }
    set_attribute(self, N->feed_port_idx, c.arg(2));
    return none();
}

const MethodSpec kMetaModuleMethods[] = {
    {"__init__", "self, cur_node=None, feed_port_idx=None", nullptr, module_init},
    {"to_dict", "self", nullptr, record_to_dict},
    {"update", "self, module_info", nullptr, record_update},
};

// ---- MetaFrameFormat ----

// Every keyword becomes an attribute, in the order given; None included.
Ref frame_format_init(const Call& c) {
    PyObject* kwargs = c.arg(1);  // the collector: a new dict, or null when empty
    if (kwargs == nullptr) return none();
    Py_ssize_t pos = 0;
    PyObject* k;
    PyObject* v;
    while (PyDict_Next(kwargs, &pos, &k, &v)) {
        Ref key = Ref::borrow(k);
        Ref value = Ref::borrow(v);
        setattr(c.self(), key.get(), value.get());
    }
    return none();
}

const MethodSpec kMetaFrameFormatMethods[] = {
    {"__init__", "self, **kwargs", nullptr, frame_format_init},
    {"to_dict", "self", nullptr, record_to_dict},
    {"update", "self, frame_format_info", nullptr, record_update},
};

}  // namespace

const ClassSpec kMetaSourceClass = {
    "MetaSource",
    "id=None, type=None, name=None, source_name=None, source_key=None, output_port_idx=None, "
    "frame_id=None, ts=None",
    kMetaSourceMethods, 3,
    "id, type, name, source_name, source_key, output_port_idx, frame_id, ts"};

const ClassSpec kMetaModuleClass = {"MetaModule", "id=None, type=None, feed_port_idx=None",
                                    kMetaModuleMethods, 3, "id, type, feed_port_idx"};

const ClassSpec kMetaFrameFormatClass = {"MetaFrameFormat", "encoder=None, with_base64=False",
                                         kMetaFrameFormatMethods, 3, ""};

}  // namespace pemu
