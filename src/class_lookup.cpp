// The class lookup cache's slow path (see class_lookup.h): what the
// interpreter's lookup answers, and whether that answer may be kept.
#include "class_lookup.h"

namespace pemu::class_lookup_detail {

namespace {

// Whether no class of the type's method resolution order holds `name`,
// each lookup checked for failure.  The interpreter's own lookup treats a
// failed comparison of keys as absence without saying so; such an answer
// is not one to keep.
bool certainly_absent(PyTypeObject* type, PyObject* name) {
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) return false;
        PyObject* dict = reinterpret_cast<PyTypeObject*>(base)->tp_dict;
        if (dict == nullptr || !PyDict_Check(dict)) return false;
        if (PyDict_GetItemWithError(dict, name) != nullptr) return false;
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

}  // namespace

ClassEntry look_up(PyTypeObject* type, PyObject* name, Slot& slot) {
    // The interpreter's lookup gives the type a version tag when it can.
    PyObject* found = _PyType_Lookup(type, name);
    unsigned int tag = current_tag(type);
    ClassEntry entry{false, false, false, false};
    bool lasting;
    if (found != nullptr) {
        PyTypeObject* kind = Py_TYPE(found);
        entry = {true, kind->tp_descr_get != nullptr, kind->tp_descr_set != nullptr, false};
        lasting = !PyType_HasFeature(kind, Py_TPFLAGS_HEAPTYPE);
    } else {
        // The check may run comparisons of the class's keys, which may
        // change the class: the tag is compared again below.
        Py_INCREF(name);
        lasting = certainly_absent(type, name);
        Py_DECREF(name);
    }
    if (lasting && version_holds(type, tag)) {
        entry.lasting = true;
        Py_INCREF(name);
        PyObject* replaced = slot.name;
        slot = {type, name, tag, entry};
        Py_XDECREF(replaced);  // a str: freeing it runs no code
    }
    return entry;
}

}  // namespace pemu::class_lookup_detail
