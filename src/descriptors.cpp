// The three metadata descriptors: their constructors, and the update and
// to_dict they share (see descriptors.h).
#include "descriptors.h"

#include "calls.h"
#include "classes.h"
#include "merge.h"
#include "names.h"

#include <algorithm>
#include <charconv>
#include <cstring>

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
