// The function type of the module's methods, and argument binding.
//
// Every method of the five classes is one of these function objects, kept
// in its class like a def-function: read through an instance it binds that
// instance as its first argument, read through the class it is the plain
// function.  It answers __name__, __qualname__, __module__, __doc__ and
// __defaults__, and binds its arguments with the module's own messages
// before the method body runs, so a call that does not bind changes nothing.
#pragma once

#include "refs.h"

#include <cstddef>
#include <string>
#include <vector>

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
// Defaults are the names None, False, 1 and Encoder.JPG; the class builder
// turns them into objects (see DefaultResolver).
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

// One parameter of a signature, or one attribute of a class body, read from
// text written as in Python: "name", "name=default" or "**name".
struct ParamText {
    std::string name;
    std::string value;  // the default's text; empty when there is none
    bool collector;     // "**name"
};
std::vector<ParamText> parse_params(const char* text);

// ---- Calls made by the module's own code ----
//
// They behave as the same call written in Python would, with direct routes
// where the callee is one of the module's own functions or classes: those
// skip the bound method, argument tuple and keyword dict, but bind the
// arguments and run the body exactly as a call through the interpreter.

// obj.name, looked up as attribute access does.  When that would give one
// of the module's functions bound to obj, the function and obj are kept
// apart instead (`self` set), ready for the direct route.
struct Method {
    Ref callable;
    Ref self;
};
Method get_method(PyObject* obj, PyObject* name);

// The body of the module's function that get_method found bound to an
// instance; null when it found anything else.  A caller that recognises
// the body may do that body's work itself, where the arguments it would
// pass are sure to bind.
MethodBody bound_body(const Method& method) noexcept;

// Calls what get_method found: method(*args, **keywords).
Ref call(const Method& method, std::initializer_list<PyObject*> args,
         std::initializer_list<Keyword> keywords = {});

// cls(**keywords).
Ref instantiate(PyObject* cls, std::initializer_list<Keyword> keywords);

// Readies `cls`, a class the module made with `type`: a tp_init that calls
// its __init__ (when that is one of our functions) without a bound method,
// and a table of attribute names shared by its instances' dicts that holds
// `attributes` (the instance attributes its constructor sets, in order,
// written "a, b, c").
void prepare_class(PyObject* cls, const char* attributes);

// obj.name = value.  With an interned str name, on an instance of one of the
// module's classes as prepared (not a subclass), plain data goes straight
// into the instance dict, all that the generic setting would do with it.
void set_attribute(PyObject* obj, PyObject* name, PyObject* value);

// Turns the text of a default ("None", "False", "1", "Encoder.JPG") into
// its object; throws on failure.
using DefaultResolver = Ref (*)(const char* text, PyObject* globals, PyObject* builtins);

// Makes the function object for `method`, a method of the class `class_name`.
// `globals` is the module namespace, `builtins` the builtins' namespace.
Ref make_function(const MethodSpec& method, PyObject* class_name, PyObject* globals,
                  PyObject* builtins, DefaultResolver resolve_default);

// Readies the function type; once per process, throws on failure.
void init_function_type();

}  // namespace pemu
