// The function type of the module's methods and, from 3.9 on, its
// bound-method type (see function.h).  Calls go to binding.cpp, which binds
// the arguments and runs the body.
#include "function.h"

#include "binding.h"
#include "names.h"

#include <string>
#include <vector>

#if PY_VERSION_HEX < 0x030900A4
#define Py_SET_REFCNT(ob, refcnt) (Py_REFCNT(ob) = (refcnt))
#endif

namespace pemu {

namespace {

// ---- The function object ----

FunctionFields& fields(PyObject* self) noexcept { return function_fields(self); }

// A field's object, or None where it is empty.
PyObject* get_field(const Ref& field) {
    Ref value = field ? field : none();
    return value.release();
}

// "(self, a, b=None, **kwargs)", with the defaults' reprs: what inspect
// reads to give these functions a signature.  Without the instance for a
// bound method.
Ref text_signature(const FunctionFields& f, bool skip_self) {
    Ref parts = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = skip_self ? 1 : 0; i < f.nparams; ++i) {
        Ref part = Ref::borrow(PyTuple_GET_ITEM(f.params.get(), i));
        if (i >= f.nrequired) {
            PyObject* value = PyTuple_GET_ITEM(f.defaults.get(), i - f.nrequired);
            part = Ref::steal(PyUnicode_FromFormat("%U=%R", part.get(), value));
        }
        check(PyList_Append(parts.get(), part.get()));
    }
    if (f.collects) {
        Ref part = Ref::steal(PyUnicode_FromString("**kwargs"));
        check(PyList_Append(parts.get(), part.get()));
    }
    Ref separator = Ref::steal(PyUnicode_FromString(", "));
    Ref joined = Ref::steal(PyUnicode_Join(separator.get(), parts.get()));
    return Ref::steal(PyUnicode_FromFormat("(%U)", joined.get()));
}

#if PY_VERSION_HEX >= 0x03090000
// ---- Bound methods (3.9 and later) ----
//
// From 3.9 on, the interpreter's own bound methods turn a call's keyword
// dict into a vector and refuse a key that is not a str with a message of
// their own, before the function runs.  Read through an instance, a method
// therefore gives one of these instead: it hands the keyword dict to
// binding unchanged, so the message names the method as on 3.7.  It
// answers __self__, __func__, __doc__ and the signature without the
// instance, passes other attribute reads to the function, and compares and
// hashes by the pair.  On 3.7 and 3.8 the interpreter's bound methods do.

struct BoundFields {
    Ref func;
    Ref self;
};

struct BoundObject {
    PyObject_HEAD
    BoundFields b;
};

PyTypeObject bound_type{};

BoundFields& bound(PyObject* o) { return reinterpret_cast<BoundObject*>(o)->b; }

PyObject* bound_call(PyObject* o, PyObject* args, PyObject* kwargs) noexcept {
    return entry_ref([&] {
        BoundFields held = bound(o);  // held for the call
        if (!held.self) {             // emptied by the garbage collector
            PyErr_SetString(PyExc_SystemError, "method called after it was cleared");
            throw_error();
        }
        // The instance first, then the call's own positional arguments.
        Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        std::vector<PyObject*> argv(static_cast<std::size_t>(nargs) + 1);
        argv[0] = held.self.get();
        for (Py_ssize_t i = 0; i < nargs; ++i) argv[i + 1] = PyTuple_GET_ITEM(args, i);
        return bind_and_run(held.func.get(), argv.data(), nargs + 1, kwargs);
    });
}

// What the bound object's type defines first, then the function's attributes.
PyObject* bound_getattro(PyObject* o, PyObject* name) noexcept {
    if (_PyType_Lookup(Py_TYPE(o), name) != nullptr) return PyObject_GenericGetAttr(o, name);
    return PyObject_GetAttr(bound(o).func.get(), name);
}

PyObject* bound_get_self(PyObject* o, void*) noexcept { return Ref(bound(o).self).release(); }
PyObject* bound_get_func(PyObject* o, void*) noexcept { return Ref(bound(o).func).release(); }
PyObject* bound_get_doc(PyObject* o, void*) noexcept {
    return get_field(fields(bound(o).func.get()).doc);
}
PyObject* bound_get_text_signature(PyObject* o, void*) noexcept {
    return entry_ref([&] { return text_signature(fields(bound(o).func.get()), true); });
}

// Read as a class attribute it stays bound, as the interpreter's own do.
PyObject* bound_descr_get(PyObject* o, PyObject*, PyObject*) noexcept {
    return Ref::borrow(o).release();
}

PyObject* bound_richcompare(PyObject* a, PyObject* b, int op) noexcept {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(b) != &bound_type) Py_RETURN_NOTIMPLEMENTED;
    bool same = bound(a).func.is(bound(b).func.get()) && bound(a).self.is(bound(b).self.get());
    return Ref::borrow(same == (op == Py_EQ) ? Py_True : Py_False).release();
}

Py_hash_t hash_pointer(const void* p) noexcept {
    // Rotated so that the alignment's zero bits do not all land low.
    std::size_t y = reinterpret_cast<std::size_t>(p);
    return static_cast<Py_hash_t>((y >> 4) | (y << (8 * sizeof(y) - 4)));
}

Py_hash_t bound_hash(PyObject* o) noexcept {
    Py_hash_t h = hash_pointer(bound(o).self.get()) ^ hash_pointer(bound(o).func.get());
    return h == -1 ? -2 : h;
}

PyObject* bound_repr(PyObject* o) noexcept {
    PyObject* self = bound(o).self ? bound(o).self.get() : Py_None;
    return PyUnicode_FromFormat("<bound method %U of %R>",
                                fields(bound(o).func.get()).qualname.get(), self);
}

int bound_traverse(PyObject* o, visitproc visit, void* arg) noexcept {
    Py_VISIT(bound(o).func.get());
    Py_VISIT(bound(o).self.get());
    return 0;
}

int bound_clear(PyObject* o) noexcept {
    Ref old = std::move(bound(o).self);
    return 0;
}

void bound_dealloc(PyObject* o) noexcept {
    PyObject_GC_UnTrack(o);
    bound(o).~BoundFields();
    PyObject_GC_Del(o);
}

PyGetSetDef bound_getset[] = {
    {const_cast<char*>("__self__"), bound_get_self, nullptr, nullptr, nullptr},
    {const_cast<char*>("__func__"), bound_get_func, nullptr, nullptr, nullptr},
    {const_cast<char*>("__doc__"), bound_get_doc, nullptr, nullptr, nullptr},
    {const_cast<char*>("__text_signature__"), bound_get_text_signature, nullptr, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

void init_bound_type() {
    if (bound_type.tp_flags & Py_TPFLAGS_READY) return;
    PyTypeObject& t = bound_type;
    Py_SET_REFCNT(&t, 1);
    t.tp_name = "pemu_sdk.redis.pemu_data.method";
    t.tp_basicsize = sizeof(BoundObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_dealloc = bound_dealloc;
    t.tp_traverse = bound_traverse;
    t.tp_clear = bound_clear;
    t.tp_repr = bound_repr;
    t.tp_hash = bound_hash;
    t.tp_richcompare = bound_richcompare;
    t.tp_call = bound_call;
    t.tp_descr_get = bound_descr_get;
    t.tp_getattro = bound_getattro;
    t.tp_getset = bound_getset;
    check(PyType_Ready(&t));
}

PyObject* bind_instance(PyObject* func, PyObject* obj) {
    PyObject* raw = PyObject_GC_New(PyObject, &bound_type);
    if (raw == nullptr) return nullptr;
    new (&bound(raw)) BoundFields{Ref::borrow(func), Ref::borrow(obj)};
    PyObject_GC_Track(raw);
    return raw;
}

#else
void init_bound_type() {}
PyObject* bind_instance(PyObject* func, PyObject* obj) { return PyMethod_New(func, obj); }
#endif

// ---- The function's slots ----

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return entry_ref([&] {
        return bind_and_run(self, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), kwargs);
    });
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return bind_instance(self, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", fields(self).qualname.get(), self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionFields& f = fields(self);
    for (Ref* r : {&f.params, &f.defaults, &f.name, &f.qualname, &f.module, &f.doc, &f.globals,
                   &f.builtins}) {
        Py_VISIT(r->get());
    }
    return 0;
}

int function_clear(PyObject* self) noexcept {
    FunctionFields& f = fields(self);
    // Each field is emptied before the old value is released, as Py_CLEAR does.
    for (Ref* r : {&f.module, &f.doc, &f.globals, &f.builtins}) {
        Ref old = std::move(*r);
    }
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    fields(self).~FunctionFields();
    PyObject_GC_Del(self);
}

// __name__ and __qualname__ take str only, as on def-functions.
int set_text(Ref& field, PyObject* value, const char* message) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    field = Ref::borrow(value);
    return 0;
}

PyObject* get_name(PyObject* self, void*) noexcept { return get_field(fields(self).name); }
int set_name(PyObject* self, PyObject* value, void*) noexcept {
    return set_text(fields(self).name, value, "__name__ must be set to a string object");
}
PyObject* get_qualname(PyObject* self, void*) noexcept { return get_field(fields(self).qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return set_text(fields(self).qualname, value, "__qualname__ must be set to a string object");
}
PyObject* get_doc(PyObject* self, void*) noexcept { return get_field(fields(self).doc); }
int set_doc(PyObject* self, PyObject* value, void*) noexcept {
    fields(self).doc = Ref::borrow(value);  // deleting leaves None
    return 0;
}
PyObject* get_module(PyObject* self, void*) noexcept { return get_field(fields(self).module); }
int set_module(PyObject* self, PyObject* value, void*) noexcept {
    fields(self).module = Ref::borrow(value);
    return 0;
}
PyObject* get_defaults(PyObject* self, void*) noexcept { return get_field(fields(self).defaults); }
PyObject* get_kwdefaults(PyObject*, void*) noexcept { return none().release(); }

PyObject* get_text_signature(PyObject* self, void*) noexcept {
    return entry_ref([&] { return text_signature(fields(self), false); });
}

PyGetSetDef function_getset[] = {
    {const_cast<char*>("__name__"), get_name, set_name, nullptr, nullptr},
    {const_cast<char*>("__qualname__"), get_qualname, set_qualname, nullptr, nullptr},
    {const_cast<char*>("__doc__"), get_doc, set_doc, nullptr, nullptr},
    {const_cast<char*>("__module__"), get_module, set_module, nullptr, nullptr},
    {const_cast<char*>("__defaults__"), get_defaults, nullptr, nullptr, nullptr},
    {const_cast<char*>("__kwdefaults__"), get_kwdefaults, nullptr, nullptr, nullptr},
    {const_cast<char*>("__text_signature__"), get_text_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject function_type{};

#if PY_VERSION_HEX >= 0x03090000
bool unbind(PyObject* callable, PyObject*& func, PyObject*& self) noexcept {
    if (Py_TYPE(callable) != &bound_type || !bound(callable).self) return false;
    func = bound(callable).func.get();
    self = bound(callable).self.get();
    return true;
}
#else
bool unbind(PyObject*, PyObject*&, PyObject*&) noexcept { return false; }
#endif

Ref module_global(PyObject* globals, PyObject* builtins, PyObject* name) {
    Ref value = dict_lookup(globals, name);
    if (!value) value = dict_lookup(builtins, name);
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw_error();
    }
    return value;
}

Ref make_function(const MethodSpec& method, PyObject* class_name, PyObject* globals,
                  PyObject* builtins, DefaultResolver resolve_default) {
    std::vector<Ref> names;
    std::vector<Ref> defaults;
    bool collects = false;
    for (const ParamText& param : parse_params(method.signature)) {
        if (param.collector) {
            collects = true;
            continue;
        }
        names.push_back(Ref::steal(PyUnicode_InternFromString(param.name.c_str())));
        if (!param.value.empty())
            defaults.push_back(resolve_default(param.value.c_str(), globals, builtins));
    }

    if (names.size() + (collects ? 1 : 0) > kMaxParams) {
        PyErr_Format(PyExc_SystemError, "pemu_data: %s has too many parameters", method.name);
        throw_error();
    }
    Ref params = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    for (std::size_t i = 0; i < names.size(); ++i)
        PyTuple_SET_ITEM(params.get(), i, names[i].release());
    Ref defaults_tuple = none();
    if (!defaults.empty()) {
        defaults_tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(defaults.size())));
        for (std::size_t i = 0; i < defaults.size(); ++i)
            PyTuple_SET_ITEM(defaults_tuple.get(), i, defaults[i].release());
    }
    Ref name = Ref::steal(PyUnicode_InternFromString(method.name));
    Ref qualname = Ref::steal(PyUnicode_FromFormat("%U.%U", class_name, name.get()));
    Ref doc = method.doc != nullptr ? Ref::steal(PyUnicode_FromString(method.doc)) : none();

    PyObject* raw = PyObject_GC_New(PyObject, &function_type);
    if (raw == nullptr) throw_error();
    FunctionObject* fn = reinterpret_cast<FunctionObject*>(raw);
    Py_ssize_t nparams = static_cast<Py_ssize_t>(names.size());
    new (&fn->f) FunctionFields{&method,
                                nparams,
                                nparams - static_cast<Py_ssize_t>(defaults.size()),
                                collects,
                                std::move(params),
                                std::move(defaults_tuple),
                                std::move(name),
                                std::move(qualname),
                                Ref::borrow(N->module_name),
                                std::move(doc),
                                Ref::borrow(globals),
                                Ref::borrow(builtins)};
    PyObject_GC_Track(raw);
    return Ref::steal(raw);
}

void init_function_type() {
    if (function_type.tp_flags & Py_TPFLAGS_READY) return;
    PyTypeObject& t = function_type;
    Py_SET_REFCNT(&t, 1);
    t.tp_name = "pemu_sdk.redis.pemu_data.function";
    t.tp_basicsize = sizeof(FunctionObject);
    // Py_TPFLAGS_DEFAULT expands to "0 | ... | 0", which the check reads as
    // a repeated operand.
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;  // NOLINT(misc-redundant-expression)
    t.tp_dealloc = function_dealloc;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_repr = function_repr;
    t.tp_call = function_call;
    t.tp_descr_get = function_descr_get;
    t.tp_getset = function_getset;
    check(PyType_Ready(&t));
    init_bound_type();
}

}  // namespace pemu
