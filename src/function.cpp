#include "function.h"

#include "names.h"

#include <cstring>
#include <string>
#include <vector>

#if PY_VERSION_HEX < 0x030900A4
#define Py_SET_REFCNT(ob, refcnt) (Py_REFCNT(ob) = (refcnt))
#endif

namespace pemu {

namespace {

// ---- The function object ----

struct FunctionFields {
    const MethodSpec* method;
    Py_ssize_t nparams;    // named parameters, the instance included
    Py_ssize_t nrequired;  // leading parameters without a default
    bool collects;         // a keyword collector follows them
    Ref params;            // tuple of the parameter names (interned)
    Ref defaults;          // tuple of the defaults, or None
    Ref name;
    Ref qualname;
    Ref module;
    Ref doc;
    Ref globals;
    Ref builtins;
};

struct FunctionObject {
    PyObject_HEAD
    FunctionFields f;
};

PyTypeObject function_type{};

FunctionFields& fields(PyObject* self) {
    return reinterpret_cast<FunctionObject*>(self)->f;
}

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

// ---- Argument binding ----

[[gnu::cold]] void raise_arg_count(const FunctionFields& f, Py_ssize_t given) {
    Py_ssize_t expected = f.nparams;
    const char* more_or_less = "at most";
    if (given < f.nrequired) {
        expected = f.nrequired;
        more_or_less = "at least";
    }
    if (f.nrequired == f.nparams) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 f.method->name, more_or_less, expected, expected == 1 ? "" : "s", given);
    throw_error();
}

// Index of `key` among parameters [from, to): by identity when `by_identity`,
// else by text.  -1 when absent.
Py_ssize_t find_param(const FunctionFields& f, PyObject* key, Py_ssize_t from, Py_ssize_t to,
                      bool by_identity) {
    for (Py_ssize_t i = from; i < to; ++i) {
        PyObject* param = PyTuple_GET_ITEM(f.params.get(), i);
        if (param == key) return i;
        if (!by_identity && PyUnicode_Compare(param, key) == 0) return i;
    }
    return -1;
}

// The keywords of a call as the interpreter passes them: a dict, or null.
class DictKeywords {
public:
    explicit DictKeywords(PyObject* dict) noexcept : dict_(dict) {}
    Py_ssize_t size() const noexcept { return dict_ != nullptr ? PyDict_GET_SIZE(dict_) : 0; }
    Ref lookup(PyObject* name) const { return dict_lookup(dict_, name); }
    // The entry after `pos`, held: hashing a str subclass may run code that
    // changes the caller's dict while it is bound.
    bool next(Py_ssize_t& pos, Ref& key, Ref& value) const noexcept {
        PyObject* k;
        PyObject* v;
        if (!PyDict_Next(dict_, &pos, &k, &v)) return false;
        key = Ref::borrow(k);
        value = Ref::borrow(v);
        return true;
    }

private:
    PyObject* dict_;
};

// The keywords of a call made by this module itself.
class ArrayKeywords {
public:
    ArrayKeywords(const Keyword* begin, std::size_t size) noexcept
        : begin_(begin), size_(static_cast<Py_ssize_t>(size)) {}
    Py_ssize_t size() const noexcept { return size_; }
    // The module passes the parameter names' own interned objects, so a
    // match by identity is tried on every keyword before any text compare.
    Ref lookup(PyObject* name) const {
        for (Py_ssize_t i = 0; i < size_; ++i)
            if (begin_[i].name == name) return Ref::borrow(begin_[i].value);
        for (Py_ssize_t i = 0; i < size_; ++i)
            if (PyUnicode_Compare(begin_[i].name, name) == 0) return Ref::borrow(begin_[i].value);
        return Ref();
    }
    bool next(Py_ssize_t& pos, Ref& key, Ref& value) const noexcept {
        if (pos >= size_) return false;
        key = Ref::borrow(begin_[pos].name);
        value = Ref::borrow(begin_[pos].value);
        ++pos;
        return true;
    }

private:
    const Keyword* begin_;
    Py_ssize_t size_;
};

// The full check of the keywords that the name lookups left over: each must
// be a str naming a parameter not given by position, or go to the collector.
template <class Keywords>
void bind_remaining_keywords(const FunctionFields& f, const Keywords& keywords,
                             Py_ssize_t nargs, Ref* out, PyObject* collected) {
    Py_ssize_t pos = 0;
    Ref key;
    Ref value;
    while (keywords.next(pos, key, value)) {
        Py_ssize_t i = find_param(f, key.get(), nargs, f.nparams, true);
        if (i >= 0) {
            out[i] = value;
            continue;
        }
        if (!PyUnicode_Check(key.get())) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f.method->name);
            throw_error();
        }
        i = find_param(f, key.get(), nargs, f.nparams, false);
        if (i >= 0) {
            out[i] = value;
            continue;
        }
        if (find_param(f, key.get(), 0, nargs, false) >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         f.method->name, key.get());
            throw_error();
        }
        if (collected == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         f.method->name, key.get());
            throw_error();
        }
        dict_set(collected, key.get(), value.get());
    }
}

// Binds a call's arguments to out[0 .. nparams) (and the keyword collector
// to out[nparams]).  Every bound value is held by `out`, so the caller's
// dict may change during the body without pulling values from under it.
//
// Order of the checks: too many positional arguments; then each parameter
// not given by position is looked up by name, and the first required one
// missing is reported with the number of parameters bound before it; then
// the keywords left over are checked one by one.
template <class Keywords>
void bind(const FunctionFields& f, PyObject* const* args, Py_ssize_t nargs,
          const Keywords& keywords, Ref* out) {
    if (nargs > f.nparams) raise_arg_count(f, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = Ref::borrow(args[i]);

    Py_ssize_t kw_left = keywords.size();
    for (Py_ssize_t i = nargs; i < f.nparams; ++i) {
        if (kw_left > 0) {
            out[i] = keywords.lookup(PyTuple_GET_ITEM(f.params.get(), i));
            if (out[i]) {
                --kw_left;
                continue;
            }
        }
        if (i < f.nrequired) raise_arg_count(f, i);
        out[i] = Ref::borrow(PyTuple_GET_ITEM(f.defaults.get(), i - f.nrequired));
    }

    // The keyword collector stays null (empty) when no keyword is left.
    Ref collected;
    if (kw_left > 0) {
        if (f.collects) collected = new_dict();
        bind_remaining_keywords(f, keywords, nargs, out, collected.get());
    }
    if (f.collects) out[f.nparams] = std::move(collected);
}

// Binds and runs the body of `function`.
template <class Keywords>
Ref run(PyObject* function, PyObject* const* args, Py_ssize_t nargs,
        const Keywords& keywords) {
    const FunctionFields& f = fields(function);
    if (!f.globals) {  // emptied by the garbage collector
        PyErr_SetString(PyExc_SystemError, "function called after it was cleared");
        throw_error();
    }
    // The caller holds the function for the call, and nothing but the
    // collector empties these fields, so they are borrowed.
    if (keywords.size() == 0 && nargs <= f.nparams && nargs >= f.nrequired) {
        // Positional arguments only, as many as the parameters take: they
        // bind as they stand (held by the caller), the defaults (held by
        // the function) after them, and an empty keyword collector.
        if (nargs == f.nparams && !f.collects)
            return f.method->body(Call(args, f.globals.get(), f.builtins.get()));
        PyObject* argv[kMaxParams];
        for (Py_ssize_t i = 0; i < nargs; ++i) argv[i] = args[i];
        for (Py_ssize_t i = nargs; i < f.nparams; ++i)
            argv[i] = PyTuple_GET_ITEM(f.defaults.get(), i - f.nrequired);
        if (f.collects) argv[f.nparams] = nullptr;
        return f.method->body(Call(argv, f.globals.get(), f.builtins.get()));
    }
    Ref values[kMaxParams];
    bind(f, args, nargs, keywords, values);
    PyObject* argv[kMaxParams];
    for (std::size_t i = 0; i < kMaxParams; ++i) argv[i] = values[i].get();
    return f.method->body(Call(argv, f.globals.get(), f.builtins.get()));
}

// ---- Type slots ----

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return entry_ref([&] {
        return run(self, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args),
                   DictKeywords(kwargs));
    });
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
        return run(held.func.get(), argv.data(), nargs + 1, DictKeywords(kwargs));
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

// The function and instance of a bound method of ours, or false.
bool unbind(PyObject* callable, PyObject*& func, PyObject*& self) {
    if (Py_TYPE(callable) != &bound_type || !bound(callable).self) return false;
    func = bound(callable).func.get();
    self = bound(callable).self.get();
    return true;
}
#else
void init_bound_type() {}
PyObject* bind_instance(PyObject* func, PyObject* obj) { return PyMethod_New(func, obj); }
bool unbind(PyObject*, PyObject*&, PyObject*&) { return false; }
#endif

// The direct route from this module's own code into one of its functions:
// the same binding and body as a call through the interpreter, without the
// bound method, argument tuple and keyword dict in between.
Ref invoke(PyObject* function, PyObject* self, std::initializer_list<PyObject*> args,
           std::initializer_list<Keyword> keywords) {
    PyObject* argv[kMaxParams + 1] = {};
    Py_ssize_t nargs = 0;
    if (self != nullptr) argv[nargs++] = self;
    for (PyObject* arg : args) argv[nargs++] = arg;  // the module passes at most two
    // Keywords naming the parameters that follow the positional ones, in
    // order and by the parameters' own objects, bind as if given by
    // position.
    const FunctionFields& f = fields(function);
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
        return run(function, argv, nargs + static_cast<Py_ssize_t>(placed), ArrayKeywords(nullptr, 0));
    return run(function, argv, nargs, ArrayKeywords(keywords.begin(), keywords.size()));
}

bool is_function(PyObject* o) noexcept { return Py_TYPE(o) == &function_type; }

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

std::string trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(' ');
    std::size_t e = s.find_last_not_of(' ');
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

}  // namespace

Ref module_global(PyObject* globals, PyObject* builtins, PyObject* name) {
    Ref value = dict_lookup(globals, name);
    if (!value) value = dict_lookup(builtins, name);
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw_error();
    }
    return value;
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
    const FunctionFields& f = fields(method.callable.get());
    return f.globals ? f.method->body : nullptr;  // a cleared function fails when called
}

Ref call(const Method& method, std::initializer_list<PyObject*> args,
         std::initializer_list<Keyword> keywords) {
    if (method.self) return invoke(method.callable.get(), method.self.get(), args, keywords);
    return call_with(method.callable.get(), args, keywords);
}

namespace {

[[gnu::cold]] void raise_init_result(PyObject* result) {
    PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                 Py_TYPE(result)->tp_name);
    throw_error();
}

void expect_none_from_init(const Ref& result) {
    if (!result.is_none()) raise_init_result(result.get());
}

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

// type.__init__ as a lookup on the class would find it.  While a prepared
// class keeps our tp_init, that is the function it had when prepared:
// assigning or deleting __init__ on it, or replacing its bases, makes the
// interpreter reset the slot for good.
Ref init_of(PyTypeObject* type) {
    if (type->tp_init == init_slot) {
        for (const PreparedClass& c : prepared_classes())
            if (c.type.is(reinterpret_cast<PyObject*>(type))) return c.init;
    }
    return Ref::borrow(_PyType_Lookup(type, N->dunder_init));
}

// The tp_init of the module's classes: the same lookup, and when it finds
// one of our functions, the call goes straight to its binding and body,
// without the bound method and the argument tuple that the instance would
// be prepended to.  Anything else goes the generic way.  Assigning or
// deleting __init__ on the class makes the interpreter reset the slot, so
// this runs only while the class is as the module made it.
int init_slot(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return entry<int>(-1, [&] {
        Ref init = init_of(Py_TYPE(self));
        if (!init || !is_function(init.get())) {
            check(generic_init(self, args, kwargs));
            return 0;
        }
        Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        if (nargs >= static_cast<Py_ssize_t>(kMaxParams)) {
            // More than any of our methods takes: the binder reports it.
            Ref bound = Ref::steal(function_descr_get(init.get(), self, nullptr));
            expect_none_from_init(Ref::steal(PyObject_Call(bound.get(), args, kwargs)));
            return 0;
        }
        PyObject* argv[kMaxParams];
        argv[0] = self;
        for (Py_ssize_t i = 0; i < nargs; ++i) argv[i + 1] = PyTuple_GET_ITEM(args, i);
        RecursionGuard guard;
        expect_none_from_init(run(init.get(), argv, nargs + 1, DictKeywords(kwargs)));
        return 0;
    });
}

}  // namespace

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

Ref instantiate(PyObject* cls, std::initializer_list<Keyword> keywords) {
    // What type.__call__ does for a plain class (metaclass type, object's
    // __new__) whose __init__ is one of ours: make the instance, run
    // __init__, insist on None.
    if (Py_TYPE(cls) == &PyType_Type) {
        PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
        if (type->tp_new == PyBaseObject_Type.tp_new) {
            Ref init = init_of(type);
            if (init && is_function(init.get())) {
                Ref instance = Ref::steal(type->tp_new(type, N->empty_tuple, nullptr));
                expect_none_from_init(invoke(init.get(), instance.get(), {}, keywords));
                return instance;
            }
        }
    }
    return call_with(cls, {}, keywords);
}

std::vector<ParamText> parse_params(const char* text) {
    std::vector<ParamText> params;
    std::string all = text;
    for (std::size_t start = 0; start < all.size();) {
        std::size_t comma = all.find(',', start);
        if (comma == std::string::npos) comma = all.size();
        std::string param = trim(all.substr(start, comma - start));
        start = comma + 1;
        bool collector = param.compare(0, 2, "**") == 0;
        if (collector) param.erase(0, 2);
        std::size_t eq = param.find('=');
        std::string value = eq == std::string::npos ? std::string() : trim(param.substr(eq + 1));
        params.push_back({trim(param.substr(0, eq)), value, collector});
    }
    return params;
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
