// References and errors: the two conventions every other file follows.
//
// Ownership
//   Ref     owns one strong reference.  Make it with Ref::steal(p) from a
//           new reference that the C API returned (a null pointer means a
//           Python error is set, and steal() throws), or with
//           Ref::borrow(p) from a borrowed one (it takes a reference of its
//           own).  It never converts to PyObject* by itself: get() lends the
//           pointer for a call, release() hands the reference to the caller.
//   PyObject* parameters are borrowed for the duration of the call; a
//           function that keeps an object takes a Ref of its own.
//
// Errors
//   A failure is a Python error set in the interpreter, then a thrown
//   PyError, which unwinds to the one entry point that called into us.
//   Entry points (type slots and method bodies) are noexcept and go
//   through entry(), which turns PyError back into the C API's error
//   return.  Nothing else catches PyError except code that inspects the
//   pending Python error on purpose (fetch it, test it, clear it).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "class_lookup.h"

#include <new>
#include <utility>

namespace pemu {

// Thrown after a Python error has been set; carries nothing itself.
struct PyError {};

// Unwinds with the Python error that is already set.
[[noreturn, gnu::cold]] inline void throw_error() { throw PyError{}; }

// For C API calls that return -1 (or another negative value) on failure.
inline int check(int status) {
    if (status < 0) throw_error();
    return status;
}

class Ref {
public:
    Ref() noexcept = default;
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference; a null pointer means an error is set.
    static Ref steal(PyObject* p) {
        if (p == nullptr) throw_error();
        return Ref(p);
    }
    // Takes over a new reference that may be null without an error set.
    static Ref steal_or_null(PyObject* p) noexcept { return Ref(p); }
    // Takes a reference of its own to a borrowed object (which may be null).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(PyObject* other) const noexcept { return p_ == other; }
    bool is_none() const noexcept { return p_ == Py_None; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

inline Ref none() { return Ref::borrow(Py_None); }

// Runs the body of an entry point and translates a failure into the C
// API's error value; `fail` is what the slot returns on error.
template <class Result, class Body>
Result entry(Result fail, Body&& body) noexcept {
    try {
        return body();
    } catch (const PyError&) {
        return fail;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return fail;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in pemu_data");
        return fail;
    }
}

// The usual entry point shape: a body that returns a Ref, handed over as a
// new reference (null on failure).
template <class Body>
PyObject* entry_ref(Body&& body) noexcept {
    return entry<PyObject*>(nullptr, [&]() { return body().release(); });
}

// ---- Small helpers over the C API, all throwing on failure. ----

inline bool truth(PyObject* o) {
    if (o == Py_None || o == Py_False) return false;
    if (o == Py_True) return true;
    return check(PyObject_IsTrue(o)) != 0;
}

// Where o keeps its instance dict (the slot may hold null), or null when
// it has none: _PyObject_GetDictPtr, with the usual fixed-size object's
// slot computed here.
inline PyObject** dict_slot(PyObject* o) {
    Py_ssize_t offset = Py_TYPE(o)->tp_dictoffset;
    if (offset > 0) return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + offset);
    return offset == 0 ? nullptr : _PyObject_GetDictPtr(o);
}

// o.name.  On a type whose attribute access is the generic one, a name
// that the class does not hold as a data descriptor is looked up in the
// instance dict first, as the generic access does; what that does not
// answer (class attributes, methods, a missing name, a failed lookup) goes
// through the interpreter.
inline Ref getattr(PyObject* o, PyObject* name) {
#if PY_VERSION_HEX < 0x030B0000
    // (From 3.11 on instances keep their attributes outside a dict until
    // one is asked for, and the interpreter reads them best itself.)
    PyTypeObject* type = Py_TYPE(o);
    if (type->tp_getattro == PyObject_GenericGetAttr && type->tp_dictoffset != 0 &&
        PyUnicode_CheckExact(name)) {
        ClassEntry on_class = class_entry(type, name);
        if (!on_class.present || !on_class.get || !on_class.set) {
            PyObject** slot = dict_slot(o);
            if (slot != nullptr && *slot != nullptr) {
                Ref dict = Ref::borrow(*slot);  // held through the lookup
                Ref value = Ref::borrow(PyDict_GetItemWithError(dict.get(), name));
                if (value) return value;
                PyErr_Clear();  // asked again below, where the version's own rule applies
            }
        }
    }
#endif
    return Ref::steal(PyObject_GetAttr(o, name));
}
// o.name = value.  With an interned str name (the module's own names) on
// a type whose attribute setting is the generic one, the generic setting
// is called directly: all that the general entry adds is interning the name.
inline void setattr(PyObject* o, PyObject* name, PyObject* value) {
    if (Py_TYPE(o)->tp_setattro == PyObject_GenericSetAttr && PyUnicode_CheckExact(name) &&
        PyUnicode_CHECK_INTERNED(name))
        check(PyObject_GenericSetAttr(o, name, value));
    else
        check(PyObject_SetAttr(o, name, value));
}

// module.name, for a name that the module type itself does not define (so
// that only the module's namespace can answer it).  Read from the
// namespace directly when `module` is exactly a module; anything else, and
// a name the namespace lacks, goes through attribute access.
inline Ref module_attribute(PyObject* module, PyObject* name) {
    // A module made by ModuleType.__new__ alone has no namespace yet.
    PyObject** namespace_slot = PyModule_CheckExact(module) ? dict_slot(module) : nullptr;
    if (namespace_slot != nullptr && *namespace_slot != nullptr) {
        PyObject* value = PyDict_GetItemWithError(*namespace_slot, name);
        if (value != nullptr) return Ref::borrow(value);
        if (PyErr_Occurred()) throw_error();
    }
    return getattr(module, name);
}

inline Ref new_dict() { return Ref::steal(PyDict_New()); }

inline void dict_set(PyObject* dict, PyObject* key, PyObject* value) {
    check(PyDict_SetItem(dict, key, value));
}

// o[key] = value, with the direct route for an exact dict (which cannot
// override item assignment).
inline void setitem(PyObject* o, PyObject* key, PyObject* value) {
    if (PyDict_CheckExact(o))
        check(PyDict_SetItem(o, key, value));
    else
        check(PyObject_SetItem(o, key, value));
}

// Looks a key up in a dict; null when absent, throws on a failed lookup.
inline Ref dict_lookup(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr && PyErr_Occurred()) throw_error();
    return Ref::borrow(value);
}

// `op` applied with the interpreter's rich comparison; its truth value.
inline bool compare(PyObject* left, PyObject* right, int op) {
    Ref result = Ref::steal(PyObject_RichCompare(left, right, op));
    return truth(result.get());
}

// callable(*args[:nargs], **dict(zip(kwnames, args[nargs:]))): the
// interpreter's fast calling convention, under its name in each version.
inline Ref vcall(PyObject* callable, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames = nullptr) {
#if PY_VERSION_HEX >= 0x03090000
    return Ref::steal(PyObject_Vectorcall(callable, args, static_cast<size_t>(nargs), kwnames));
#elif PY_VERSION_HEX >= 0x03080000
    return Ref::steal(_PyObject_Vectorcall(callable, args, static_cast<size_t>(nargs), kwnames));
#else
    return Ref::steal(_PyObject_FastCallKeywords(callable, args, nargs, kwnames));
#endif
}

// Counts against the interpreter's recursion limit while it lives, as a
// call through the interpreter does; throws RecursionError past it.
//
// From 3.12 on, the limit for calls in C is one of its own, a number of
// levels (10000 on 3.13) sized for the interpreter's own frames.  One level
// of the module's direct calls (invoke, the binder, a method's body and
// what it calls back into invoke) takes some 850 bytes of stack, so at one
// level each, a cycle of them through the module alone (a to_dict rebound
// to its caller's) reaches the end of an 8 MB stack before the limit.  Each
// such call counts two levels there, which keeps that depth under 5 MB.
class RecursionGuard {
public:
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while calling a Python object")) throw_error();
#if PY_VERSION_HEX >= 0x030C0000
        if (Py_EnterRecursiveCall(" while calling a Python object")) {
            Py_LeaveRecursiveCall();
            throw_error();
        }
#endif
    }
    ~RecursionGuard() {
        Py_LeaveRecursiveCall();
#if PY_VERSION_HEX >= 0x030C0000
        Py_LeaveRecursiveCall();
#endif
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// callable().  A built-in function that takes no arguments (time.time) is
// called the way the interpreter calls it, without the general dispatch.
inline Ref call_no_args(PyObject* callable) {
    if (PyCFunction_Check(callable) && PyCFunction_GET_FLAGS(callable) == METH_NOARGS) {
        PyObject* result;
        {
            RecursionGuard guard;
            result = PyCFunction_GET_FUNCTION(callable)(PyCFunction_GET_SELF(callable), nullptr);
        }
        if (result == nullptr && !PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "NULL result without error in call");
        return Ref::steal(result);
    }
    return vcall(callable, nullptr, 0);
}

// callable(*args), the arguments borrowed PyObject*.
template <class... Args>
Ref call(PyObject* callable, Args... args) {
    PyObject* argv[sizeof...(Args) + 1] = {static_cast<PyObject*>(args)...};
    return vcall(callable, argv, sizeof...(Args));
}

// o.name(*args): the attribute is looked up, then called.
template <class... Args>
Ref call_method(PyObject* o, PyObject* name, Args... args) {
    Ref method = getattr(o, name);
    return call(method.get(), args...);
}

// A keyword argument of a call made by this module.
struct Keyword {
    PyObject* name;
    PyObject* value;
};

}  // namespace pemu
