#include "descriptors.h"

#include "classes.h"
#include "names.h"

namespace pemu {

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

bool ItemIterator::next(Ref& key, Ref& value) {
    if (dict_) {
        if (PyDict_GET_SIZE(dict_.get()) != size_) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            throw_error();
        }
        PyObject* k;
        PyObject* v;
        if (!PyDict_Next(dict_.get(), &pos_, &k, &v)) return false;
        key = Ref::borrow(k);
        value = Ref::borrow(v);
        return true;
    }
    Ref item = next_value(iter_.get());
    if (!item) return false;
    unpack_pair(item.get(), key, value);
    return true;
}

// ---- The merge rule ----

namespace {

// True when `key` names a descriptor found on the record's class: one of its
// operations (update, to_dict, __init__, ...) or an attribute that the
// interpreter manages (__dict__, __class__, ...).  Merged, such a key would
// hide the operation on this record or replace its storage, and a single
// received payload would break the envelope that parsed it for good.
// Decided by the key's text: a str subclass's own hash or comparison, which
// may fail or answer differently the next time, has no say.
bool names_class_descriptor(PyObject* record, PyObject* key) {
    Ref text = PyUnicode_CheckExact(key) ? Ref::borrow(key)
                                         : Ref::steal(PyUnicode_FromObject(key));
    // Borrowed, and no error is left set; held while its type is read.
    Ref attribute = Ref::borrow(_PyType_Lookup(Py_TYPE(record), text.get()));
    return attribute && Py_TYPE(attribute.get())->tp_descr_get != nullptr;
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
        if (names_class_descriptor(record, key.get())) continue;
        // A presence check (any failure to read counts as absent), then a
        // second read for the comparison.
        bool store = true;
        Ref present = Ref::steal_or_null(PyObject_GetAttr(record, key.get()));
        if (!present) {
            PyErr_Clear();
        } else {
            present = Ref();
            Ref current = getattr(record, key.get());
            store = compare(current.get(), value.get(), Py_NE);
        }
        if (store) setattr(record, key.get(), value.get());
    }
}

// ---- Shared by the three descriptors ----

namespace {

Ref to_dict_body(const Call& c) { return getattr(c.self(), N->dunder_dict); }

Ref update_body(const Call& c) {
    merge(c.self(), c.arg(1));
    return none();
}

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

// A new str: the text of `head`, "_", the text of `port`.  The two values
// are rendered in that order.
Ref joined_key(PyObject* head, PyObject* port) {
    Ref head_text = render(head);
    Ref port_text = render(port);
    Ref left = Ref::steal(PyUnicode_Concat(head_text.get(), N->underscore));
    return Ref::steal(PyUnicode_Concat(left.get(), port_text.get()));
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
        setattr(self, name, value.get());
    }
    Ref source_name;
    if (truth(src_name)) {
        source_name = Ref::borrow(src_name);
    } else {
        Ref type = node_get(node, N->type, false);
        source_name = joined_key(type.get(), port);
    }
    setattr(self, N->source_name, source_name.get());
    Ref id = node_get(node, N->id, false);
    Ref source_key = joined_key(id.get(), port);
    setattr(self, N->source_key, source_key.get());
    setattr(self, N->output_port_idx, port);
    setattr(self, N->frame_id, Py_None);
    Ref time = c.global(N->time);
    Ref now = call_method(time.get(), N->time);
    setattr(self, N->ts, now.get());
    return none();
}

const MethodSpec kMetaSourceMethods[] = {
    {"__init__", "self, src_node=None, src_output_port=None, src_name=None", nullptr, source_init},
    {"update", "self, source_info", nullptr, update_body},
    {"to_dict", "self", nullptr, to_dict_body},
};

// ---- MetaModule ----

Ref module_init(const Call& c) {
    PyObject* self = c.self();
    PyObject* node = c.arg(1);
    if (node == Py_None) return none();
    for (PyObject* name : {N->id, N->type}) {
        Ref value = node_get(node, name, true);
        setattr(self, name, value.get());
    }
    setattr(self, N->feed_port_idx, c.arg(2));
    return none();
}

const MethodSpec kMetaModuleMethods[] = {
    {"__init__", "self, cur_node=None, feed_port_idx=None", nullptr, module_init},
    {"to_dict", "self", nullptr, to_dict_body},
    {"update", "self, module_info", nullptr, update_body},
};

// ---- MetaFrameFormat ----

// Every keyword becomes an attribute, in the order given; None included.
Ref frame_format_init(const Call& c) {
    PyObject* kwargs = c.arg(1);  // the collector: a new dict of our own
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
    {"to_dict", "self", nullptr, to_dict_body},
    {"update", "self, frame_format_info", nullptr, update_body},
};

}  // namespace

const ClassSpec kMetaSourceClass = {
    "MetaSource",
    "id=None, type=None, name=None, source_name=None, source_key=None, output_port_idx=None, "
    "frame_id=None, ts=None",
    kMetaSourceMethods, 3};

const ClassSpec kMetaModuleClass = {"MetaModule", "id=None, type=None, feed_port_idx=None",
                                    kMetaModuleMethods, 3};

const ClassSpec kMetaFrameFormatClass = {"MetaFrameFormat", "encoder=None, with_base64=False",
                                         kMetaFrameFormatMethods, 3};

}  // namespace pemu
