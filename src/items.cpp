// The pairs of items() (see items.h): an exact dict walked directly,
// anything else through its items() and the iterator protocol.
#include "items.h"

#include "names.h"

namespace pemu {

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

}  // namespace pemu
