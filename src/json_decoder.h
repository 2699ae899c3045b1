// Payload text decoded natively: UTF-8 JSON bytes straight into Python
// objects, for as long as nothing could tell the result from that of
// json.loads(data.decode()).
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
//   The tuples, code objects and the bound `match` of the compiled
//   whitespace pattern in decode's defaults are immutable, so identity is
//   enough for them.  Everything else those functions do on the success
//   path is fixed behaviour of exact str objects.
//
// What it makes
//   Exact dict, list, str, int and float objects and the singletons True,
//   False and None, as the C scanner makes them: keys in document order, a
//   repeated key keeping its first position and its last value; every
//   escape, a \u high surrogate followed by a \u low surrogate joined, any
//   other surrogate kept as a lone code point; integers through
//   PyLong_FromString (and so under the digit limit of the interpreter
//   where it has one) unless short enough to be exact in 64 bits; floats
//   through PyOS_string_to_double, as the scanner converts them.  Short
//   ASCII keys come from a small table and are shared between documents
//   (before 3.12 they are interned too; from 3.12 on interned strings are
//   never freed, and received keys may be new in every payload): str
//   objects are immutable, and nothing mutable is shared.
//
// When it declines
//   On anything it does not take: bytes that are not well-formed UTF-8 (as
//   the strict decoder defines it), any JSON error (a byte-order mark is
//   one), NaN, Infinity and -Infinity (their objects come from a table of
//   json's that can be changed), nesting deeper than the recursion budget
//   described below or than kMaxDepth, a failed conversion or allocation.
//   It then releases what it built, clears any error and returns an empty
//   Ref; the caller takes the other route from the start, so every error a
//   caller sees is the interpreter's own.
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

// The decoded document, or an empty Ref (no error set) when the native
// route does not apply or declines.  `bytes` must be an exact bytes object.
// Throws nothing: every failure inside is a decline.
Ref decode_payload_natively(PyObject* json_module, PyObject* loads, PyObject* bytes);

}  // namespace pemu
