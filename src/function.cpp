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
    const MethodSpec* spec;
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
                 f.spec->name, more_or_less, expected, expected == 1 ? "" : "s", given);
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

// The full check of the keywords that the name lookups left over: each must
// be a str naming a parameter not given by position, or go to the collector.
void bind_remaining_keywords(const FunctionFields& f, PyObject* kwargs, Py_ssize_t nargs,
                             Ref* out, PyObject* collected) {
    Py_ssize_t pos = 0;
    PyObject* k;
    PyObject* v;
    while (PyDict_Next(kwargs, &pos, &k, &v)) {
        // Held for the step: hashing a str subclass may run code that
        // changes the caller's dict.
        Ref key = Ref::borrow(k);
        Ref value = Ref::borrow(v);
        Py_ssize_t i = find_param(f, key.get(), nargs, f.nparams, true);
        if (i >= 0) {
            out[i] = value;
            continue;
        }
        if (!PyUnicode_Check(key.get())) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f.spec->name);
            throw_error();
        }
        i = find_param(f, key.get(), nargs, f.nparams, false);
        if (i >= 0) {
            out[i] = value;
            continue;
        }
        if (find_param(f, key.get(), 0, nargs, false) >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         f.spec->name, key.get());
            throw_error();
        }
        if (collected == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         f.spec->name, key.get());
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
void bind(const FunctionFields& f, PyObject* args, PyObject* kwargs, Ref* out) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > f.nparams) raise_arg_count(f, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));

    Py_ssize_t kw_left = kwargs != nullptr ? PyDict_GET_SIZE(kwargs) : 0;
    for (Py_ssize_t i = nargs; i < f.nparams; ++i) {
        if (kw_left > 0) {
            out[i] = dict_lookup(kwargs, PyTuple_GET_ITEM(f.params.get(), i));
            if (out[i]) {
                --kw_left;
                continue;
            }
        }
        if (i < f.nrequired) raise_arg_count(f, i);
        out[i] = Ref::borrow(PyTuple_GET_ITEM(f.defaults.get(), i - f.nrequired));
    }

    Ref collected;
    if (f.collects) collected = new_dict();
    if (kw_left > 0) bind_remaining_keywords(f, kwargs, nargs, out, collected.get());
    if (f.collects) out[f.nparams] = std::move(collected);
}

// ---- Type slots ----

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return entry_ref([&] {
        const FunctionFields& f = fields(self);
        if (!f.globals) {  // emptied by the garbage collector
            PyErr_SetString(PyExc_SystemError, "function called after it was cleared");
            throw_error();
        }
        Ref bound[kMaxParams];
        bind(f, args, kwargs, bound);
        PyObject* argv[kMaxParams];
        for (std::size_t i = 0; i < kMaxParams; ++i) argv[i] = bound[i].get();
        // Held for the call, whatever the body does to the function object.
        Ref globals = f.globals;
        Ref builtins = f.builtins;
        return f.spec->body(Call(argv, globals.get(), builtins.get()));
    });
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
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

PyObject* get_field(Ref& field) {
    Ref value = field ? field : none();
    return value.release();
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

// "(self, a, b=None, **kwargs)", with the defaults' reprs: what inspect
// reads to give these functions a signature.
PyObject* get_text_signature(PyObject* self, void*) noexcept {
    return entry_ref([&] {
        const FunctionFields& f = fields(self);
        Ref parts = Ref::steal(PyList_New(0));
        for (Py_ssize_t i = 0; i < f.nparams; ++i) {
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
    });
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

Ref make_function(const MethodSpec& spec, PyObject* class_name, PyObject* globals,
                  PyObject* builtins, DefaultResolver resolve_default) {
    std::vector<Ref> names;
    std::vector<Ref> defaults;
    bool collects = false;
    for (const ParamText& param : parse_params(spec.signature)) {
        if (param.collector) {
            collects = true;
            continue;
        }
        names.push_back(Ref::steal(PyUnicode_InternFromString(param.name.c_str())));
        if (!param.value.empty())
            defaults.push_back(resolve_default(param.value.c_str(), globals, builtins));
    }

    if (names.size() + (collects ? 1 : 0) > kMaxParams) {
        PyErr_Format(PyExc_SystemError, "pemu_data: %s has too many parameters", spec.name);
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
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref qualname = Ref::steal(PyUnicode_FromFormat("%U.%U", class_name, name.get()));
    Ref doc = spec.doc != nullptr ? Ref::steal(PyUnicode_FromString(spec.doc)) : none();

    PyObject* raw = PyObject_GC_New(PyObject, &function_type);
    if (raw == nullptr) throw_error();
    FunctionObject* fn = reinterpret_cast<FunctionObject*>(raw);
    Py_ssize_t nparams = static_cast<Py_ssize_t>(names.size());
    new (&fn->f) FunctionFields{&spec,
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
}

}  // namespace pemu
