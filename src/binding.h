// Argument binding: how a call's arguments meet a function's parameters.
//
// Binding follows the interpreter's rules for a def-function and reports
// failures with its messages, naming the method: too many positional
// arguments, a missing required one, a keyword that is not a str, given
// twice or unexpected.  Parameter lists are written as Python text
// ("self, a, b=None, **kwargs"); parse_params reads them, and class bodies'
// attribute lists too.
#pragma once

#include "function.h"

#include <string>
#include <vector>

namespace pemu {

// One parameter of a signature, or one attribute of a class body, read from
// text written as in Python: "name", "name=default" or "**name".
struct ParamText {
    std::string name;
    std::string value;  // the default's text; empty when there is none
    bool collector;     // "**name"
};
std::vector<ParamText> parse_params(const char* text);

// Binds a call to `function` (one of ours, held by the caller for the call)
// and runs its body: the positional arguments args[0 .. nargs), the
// instance first where there is one, and the keywords either as the dict
// the interpreter passes (null for none) ...
Ref bind_and_run(PyObject* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwargs);
// ... or as the module's own calls pass them.
Ref bind_and_run(PyObject* function, PyObject* const* args, Py_ssize_t nargs,
                 const Keyword* keywords, std::size_t nkeywords);

}  // namespace pemu
