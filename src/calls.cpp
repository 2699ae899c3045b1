// The module's calls into its own code and others' (see calls.h).
#include "calls.h"

#include "binding.h"
#include "classes.h"
#include "names.h"

namespace pemu {

Ref invoke(PyObject* function, PyObject* self, std::initializer_list<PyObject*> args,
           std::initializer_list<Keyword> keywords) {
    PyObject* argv[kMaxParams + 1] = {};
    Py_ssize_t nargs = 0;
    if (self != nullptr) argv[nargs++] = self;
    for (PyObject* arg : args) argv[nargs++] = arg;  // the module passes at most two
    // Keywords naming the parameters that follow the positional ones, in
    // order and by the parameters' own objects, bind as if given by
    // position.
    const FunctionFields& f = function_fields(function);
    std::size_t placed = 0;
    for (const Keyword& kw : keywords) {
        Py_ssize_t at = nargs + static_cast<Py_ssize_t>(placed);
        if (at >= f.nparams || kw.name != PyTuple_GET_ITEM(f.params.get(), at)) break;
        argv[at] = kw.value;
        ++placed;
    }
    RecursionGuard guard;
    Ref hold = Ref::borrow(function);
    if (placed == keywords.size())
        return bind_and_run(function, argv, nargs + static_cast<Py_ssize_t>(placed), nullptr, 0);
    return bind_and_run(function, argv, nargs, keywords.begin(), keywords.size());
}

Ref call_with(PyObject* callable, std::initializer_list<PyObject*> args,
              std::initializer_list<Keyword> keywords) {
    if (is_function(callable)) return invoke(callable, nullptr, args, keywords);
    if (PyMethod_Check(callable) && is_function(PyMethod_GET_FUNCTION(callable)))
        return invoke(PyMethod_GET_FUNCTION(callable), PyMethod_GET_SELF(callable), args,
                      keywords);
    PyObject* func;
    PyObject* self;
    if (unbind(callable, func, self)) return invoke(func, self, args, keywords);
    // Anything else through the interpreter: positional values, then the
    // keywords' values, with a tuple of their names.
    PyObject* argv[kMaxParams] = {};
    Py_ssize_t n = 0;
    for (PyObject* arg : args) argv[n++] = arg;
    Ref kwnames;
    if (keywords.size() != 0) {
        kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
        Py_ssize_t i = 0;
        for (const Keyword& kw : keywords) {
            Py_INCREF(kw.name);
            PyTuple_SET_ITEM(kwnames.get(), i++, kw.name);
            argv[n++] = kw.value;
        }
    }
    return vcall(callable, argv, static_cast<Py_ssize_t>(args.size()), kwnames.get());
}

Method get_method(PyObject* obj, PyObject* name) {
    // As generic attribute access resolves it: a function of ours found on
    // the type is a non-data descriptor, so the instance dict comes first;
    // only when that does not hold the name is the function bound.
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro == PyObject_GenericGetAttr) {
        Ref found = Ref::borrow(_PyType_Lookup(type, name));
        if (found && is_function(found.get())) {
            PyObject** slot = dict_slot(obj);
            if (slot != nullptr && *slot != nullptr) {
                Ref dict = Ref::borrow(*slot);  // held through the lookup
                Ref value = dict_lookup(dict.get(), name);
                if (value) return {std::move(value), Ref()};
            }
            return {std::move(found), Ref::borrow(obj)};
        }
    }
    return {getattr(obj, name), Ref()};
}

MethodBody bound_body(const Method& method) noexcept {
    if (!method.self) return nullptr;
    const FunctionFields& f = function_fields(method.callable.get());
    return f.globals ? f.method->body : nullptr;  // a cleared function fails when called
}

Ref call(const Method& method, std::initializer_list<PyObject*> args,
         std::initializer_list<Keyword> keywords) {
    if (method.self) return invoke(method.callable.get(), method.self.get(), args, keywords);
    return call_with(method.callable.get(), args, keywords);
}

Ref instantiate(PyObject* cls, std::initializer_list<Keyword> keywords) {
    // What type.__call__ does for a plain class (metaclass type, object's
    // __new__) whose __init__ is one of ours: make the instance, run
    // __init__, insist on None.
    if (Py_TYPE(cls) == &PyType_Type) {
        PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
        if (type->tp_new == PyBaseObject_Type.tp_new) {
            Ref init = class_init(type);
            if (init && is_function(init.get())) {
                Ref instance = Ref::steal(type->tp_new(type, N->empty_tuple, nullptr));
                expect_none_from_init(invoke(init.get(), instance.get(), {}, keywords));
                return instance;
            }
        }
    }
    return call_with(cls, {}, keywords);
}

}  // namespace pemu
