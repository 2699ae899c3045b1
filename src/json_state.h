// When the native JSON decoder may run: the interpreter's json module in
// the state that loading found it in.
//
// When it applies
//   Loading captures the interpreter's `json` module as it finds it
//   (capture_json_state) and keeps, for the life of the process, the
//   objects that the route json.loads(text) -> _default_decoder.decode ->
//   raw_decode -> scan_once runs through.  decode_payload_natively() runs
//   only when all of the following hold at the time of the call:
//   - `json` (as the envelope looked it up) is the module loading imported,
//     and `loads` (as looked up) is the function found in it then, with the
//     same __code__ and __defaults__ objects, and __kwdefaults__ the same
//     dict, of the same size and holding None for every keyword (a dict can
//     be changed in place, so its contents are checked, not only its
//     identity);
//   - json's namespace holds the same _default_decoder, no names of its own
//     for `isinstance` or `str`, and the same __builtins__; json.decoder's
//     namespace (where decode and raw_decode find their globals) holds no
//     `len` of its own and the same __builtins__; and the builtins module
//     still holds the isinstance, str and len it held: those are the only
//     global names the three functions read on the success path;
//   - the decoder is exactly of class json.decoder.JSONDecoder, whose
//     version tag is still the one read at load (the interpreter renews it
//     on any change to the class or its bases, so the class still holds the
//     same decode and raw_decode functions, and no attribute hook of its
//     own); those two functions still have their __code__, __defaults__
//     and __kwdefaults__ objects (replacing them does not renew the tag);
//   - the decoder's instance dict holds no `decode` or `raw_decode` (which
//     would hide the class's) and holds the very `scan_once` it was made
//     with, an object of the interpreter's C scanner type, whose settings
//     (strict, no hooks, int and float as converters) were read at load;
//     the scanner's settings cannot be changed after it is made;
//   - no trace or profile function is set on the thread (it would see the
//     Python frames of the other route).
//   The lookups in the five dicts read (json's and json.decoder's
//   namespaces, the builtins, loads' __kwdefaults__ and the decoder's
//   instance dict) are made again only when one of them has a new version
//   tag since the last call that passed, or the decoder has another
//   instance dict: the interpreter renews a dict's tag on every change of
//   its contents and never gives a tag twice, so an unchanged tag stands
//   for unchanged contents.  Everything else above is compared at each
//   call.
//   The tuples, code objects and the bound `match` of the compiled
//   whitespace pattern in decode's defaults are immutable, so identity is
//   enough for them.  Everything else those functions do on the success
//   path is fixed behaviour of exact str objects.
//
// Recursion
//   The scanner counts one level of the interpreter's recursion limit per
//   nested container, on top of the frames of loads, decode, raw_decode and
//   the call of the scanner.  The native decoder reads how many levels are
//   left (without entering any, so that no RecursionError is raised and
//   cleared, which would change the interpreter's overflow state) and
//   takes a document only when its nesting, plus a margin that covers those
//   frames, fits: whenever it succeeds, the other route would have too.
//   From 3.12 on, Python frames are counted apart from C levels; both are
//   checked.
#pragma once

#include "refs.h"

namespace pemu {

// Reads the state of `json` that the native route depends on.  Never
// fails: a module in any other state leaves the native route off.
void capture_json_state(PyObject* json_module) noexcept;

// Whether `json_module` and `loads`, as the envelope looked them up, and
// everything the route json.loads(text) runs through are as captured.
bool json_untouched(PyObject* json_module, PyObject* loads);

// How many nested containers the other route's scanner could count from
// here without reaching the recursion limit, less a margin for its frames;
// negative when those frames might not fit.
int recursion_budget();

}  // namespace pemu
