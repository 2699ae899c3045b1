// The function type of the module's methods, and its bound methods.
//
// Every method of the five classes is one of these function objects, kept
// in its class like a def-function: read through an instance it binds that
// instance as its first argument, read through the class it is the plain
// function.  It answers __name__, __qualname__, __module__, __doc__ and
// __defaults__; a call binds its arguments (binding.h) before the method
// body runs, so a call that does not bind changes nothing.
//
// A method body sees its call as a Call: the bound arguments and the
// module namespace, where it looks module-level names up at each call.
#pragma once

#include "refs.h"

#include <cstddef>

namespace pemu {

// Enough for the longest parameter list (create_pemu_data: self and six).
constexpr std::size_t kMaxParams = 8;

// A module-level name: the module namespace first, then the builtins;
// NameError when neither has it.
Ref module_global(PyObject* globals, PyObject* builtins, PyObject* name);

class Call;
using MethodBody = Ref (*)(const Call&);

// A method as written in its class: its name, its parameters in Python
// syntax, its docstring and its body.  `signature` lists the parameters,
// the instance first, e.g. "self, source_info=None" or "self, **kwargs".
// Defaults are the names None, False, 1 and Encoder.JPG; the module's
// loader turns them into objects (see DefaultResolver).
struct MethodSpec {
    const char* name;
    const char* signature;
    const char* doc;  // nullptr: no docstring
    MethodBody body;
};

// One call of a method body: the bound arguments, by parameter index (the
// instance is 0; a keyword collector comes after the named parameters, as a
// dict of the body's own, or null when no keyword was collected),
// and the module namespace for module-level names.
class Call {
public:
    Call(PyObject* const* args, PyObject* globals, PyObject* builtins) noexcept
        : args_(args), globals_(globals), builtins_(builtins) {}

    PyObject* self() const noexcept { return args_[0]; }
    PyObject* arg(std::size_t i) const noexcept { return args_[i]; }

    // The module-level name, looked up now in the module namespace and then
    // in the builtins; NameError when neither has it.
    Ref global(PyObject* name) const { return module_global(globals_, builtins_, name); }

private:
    PyObject* const* args_;
    PyObject* globals_;
    PyObject* builtins_;
};

// What a function object holds.  Binding reads the parameters, the direct
// calls read the body; nothing but the garbage collector changes a field
// after the function is made (it empties globals, builtins, module, doc).
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

// The function objects' type and layout, known here so that the checks
// below cost no call.
struct FunctionObject {
    PyObject_HEAD
    FunctionFields f;
};
extern PyTypeObject function_type;

inline bool is_function(PyObject* o) noexcept { return Py_TYPE(o) == &function_type; }
// The fields of `function`, which must be one of ours (is_function).
inline FunctionFields& function_fields(PyObject* function) noexcept {
    return reinterpret_cast<FunctionObject*>(function)->f;
}

// The function and instance of one of our bound methods (3.9 and later,
// where the module has a bound-method type of its own), or false.
bool unbind(PyObject* callable, PyObject*& func, PyObject*& self) noexcept;

// Turns the text of a default ("None", "False", "1", "Encoder.JPG") into
// its object; throws on failure.
using DefaultResolver = Ref (*)(const char* text, PyObject* globals, PyObject* builtins);

// Makes the function object for `method`, a method of the class `class_name`.
// `globals` is the module namespace, `builtins` the builtins' namespace.
Ref make_function(const MethodSpec& method, PyObject* class_name, PyObject* globals,
                  PyObject* builtins, DefaultResolver resolve_default);

// Readies the function type and the bound-method type; once per process,
// throws on failure.
void init_function_type();

}  // namespace pemu
