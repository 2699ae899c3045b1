// The calls the module's own code makes.
//
// They behave as the same call written in Python would, with direct routes
// where the callee is one of the module's own functions: those skip the
// bound method, argument tuple and keyword dict, but bind the arguments
// and run the body exactly as a call through the interpreter, counting
// against its recursion limit as that call would (see RecursionGuard).
#pragma once

#include "function.h"

#include <initializer_list>

namespace pemu {

// callable(*args, name=value, ...), the keywords passed in the order given.
Ref call_with(PyObject* callable, std::initializer_list<PyObject*> args,
              std::initializer_list<Keyword> keywords);

// The direct route into `function` (one of ours), with `self` (may be null)
// as its first positional argument.
Ref invoke(PyObject* function, PyObject* self, std::initializer_list<PyObject*> args,
           std::initializer_list<Keyword> keywords);

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

// cls(**keywords).  For a plain class whose __init__ is one of ours, as
// type.__call__ would do it, without the bound method and argument tuple.
Ref instantiate(PyObject* cls, std::initializer_list<Keyword> keywords);

// Calls what get_method found: method(*args, **keywords).
Ref call(const Method& method, std::initializer_list<PyObject*> args,
         std::initializer_list<Keyword> keywords = {});

}  // namespace pemu
