// Preparing the module's classes, and setting their instances'
// attributes (see classes.h).  Relies on the interpreter
// resetting a class's tp_init whenever __init__ is assigned or deleted on
// it or its bases are replaced: our slot runs only while the class is as
// the module made it.
#include "classes.h"

#include "binding.h"
#include "names.h"

#include <vector>

namespace pemu {

namespace {

// The tp_init that `type` gives a class whose __init__ is defined in Python
// terms: it looks __init__ up on the instance's type, binds it and calls it.
initproc generic_init = nullptr;

int init_slot(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;

// The classes prepared so far, each with the __init__ it had then.  Held for
// the life of the process, as the module holds its classes (never
// destroyed: that would release them after the interpreter has gone).
struct PreparedClass {
    Ref type;
    Ref init;
};
std::vector<PreparedClass>& prepared_classes() {
    static auto* classes = new std::vector<PreparedClass>;
    return *classes;
}


// The tp_init of the module's classes: the same lookup, and when it finds
// one of our functions, the call goes straight to its binding and body,
// without the bound method and the argument tuple that the instance would
// be prepended to.  Anything else goes the generic way.  Assigning or
// deleting __init__ on the class makes the interpreter reset the slot, so
// this runs only while the class is as the module made it.
int init_slot(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return entry<int>(-1, [&] {
        Ref init = class_init(Py_TYPE(self));
        if (!init || !is_function(init.get())) {
            check(generic_init(self, args, kwargs));
            return 0;
        }
        Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        if (nargs >= static_cast<Py_ssize_t>(kMaxParams)) {
            // More than any of our methods takes: the binder reports it.
            Ref bound = Ref::steal(Py_TYPE(init.get())->tp_descr_get(init.get(), self, nullptr));
            expect_none_from_init(Ref::steal(PyObject_Call(bound.get(), args, kwargs)));
            return 0;
        }
        PyObject* argv[kMaxParams];
        argv[0] = self;
        for (Py_ssize_t i = 0; i < nargs; ++i) argv[i + 1] = PyTuple_GET_ITEM(args, i);
        RecursionGuard guard;
        expect_none_from_init(bind_and_run(init.get(), argv, nargs + 1, kwargs));
        return 0;
    });
}

}  // namespace

// type.__init__ as a lookup on the class would find it.  While a prepared
// class keeps our tp_init, that is the function it had when prepared:
// assigning or deleting __init__ on it, or replacing its bases, makes the
// interpreter reset the slot for good.
Ref class_init(PyTypeObject* type) {
    if (type->tp_init == init_slot) {
        for (const PreparedClass& c : prepared_classes())
            if (c.type.is(reinterpret_cast<PyObject*>(type))) return c.init;
    }
    return Ref::borrow(_PyType_Lookup(type, N->dunder_init));
}

[[gnu::cold]] void raise_init_result(PyObject* result) {
    PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                 Py_TYPE(result)->tp_name);
    throw_error();
}

void prepare_class(PyObject* cls, const char* attributes) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    if (generic_init == nullptr) generic_init = type->tp_init;
    if (type->tp_init == generic_init) {
        prepared_classes().push_back(
            {Ref::borrow(cls), Ref::borrow(_PyType_Lookup(type, N->dunder_init))});
        type->tp_init = init_slot;
    }
    // Only the dict of a class's first instance grows the table of names
    // that its instances share, and only through the generic setting.  A
    // throwaway first instance given every attribute in order sizes it, so
    // that the dicts of later instances are never resized out of sharing
    // when the constructor fills them directly.
    std::vector<ParamText> names = parse_params(attributes);
    if (names.empty()) return;
    Ref instance = Ref::steal(type->tp_new(type, N->empty_tuple, nullptr));
    for (const ParamText& name : names) {
        Ref text = Ref::steal(PyUnicode_InternFromString(name.name.c_str()));
        check(PyObject_SetAttr(instance.get(), text.get(), Py_None));
    }
}

void set_attribute(PyObject* obj, PyObject* name, PyObject* value) {
#if PY_VERSION_HEX < 0x030B0000
    // (From 3.11 on instances keep their attributes outside a dict until
    // one is asked for; the generic setting serves them best.)
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_init == init_slot && type->tp_setattro == PyObject_GenericSetAttr &&
        PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name)) {
        if (!class_entry(type, name).set) {
            // The dict is borrowed, as the generic setting borrows it; the
            // first attribute makes it.
            PyObject** slot = dict_slot(obj);
            if (slot != nullptr && *slot != nullptr) {
                dict_set(*slot, name, value);
                return;
            }
            Ref made = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
            dict_set(made.get(), name, value);
            return;
        }
    }
#endif
    setattr(obj, name, value);
}


}  // namespace pemu
