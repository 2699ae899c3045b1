// Argument binding (see binding.h): a call's arguments matched to a
// function's parameters by the interpreter's rules, then the body run.
// Positional calls that bind as they stand skip the matching.
#include "binding.h"

#include <string>
#include <vector>

namespace pemu {

namespace {

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
    const FunctionFields& f = function_fields(function);
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

std::string trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(' ');
    std::size_t e = s.find_last_not_of(' ');
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

}  // namespace

Ref bind_and_run(PyObject* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwargs) {
    return run(function, args, nargs, DictKeywords(kwargs));
}

Ref bind_and_run(PyObject* function, PyObject* const* args, Py_ssize_t nargs,
                 const Keyword* keywords, std::size_t nkeywords) {
    return run(function, args, nargs, ArrayKeywords(keywords, nkeywords));
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

}  // namespace pemu
