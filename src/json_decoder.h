// Payload text decoded natively: UTF-8 JSON bytes straight into Python
// objects, for as long as nothing could tell the result from that of
// json.loads(data.decode()).
//
// It runs only while the interpreter's json module is as loading found it
// (json_state.h says what is checked at each call and why that is enough).
//
// What it makes
//   Exact dict, list, str, int and float objects and the singletons True,
//   False and None, as the C scanner makes them: keys in document order, a
//   repeated key keeping its first position and its last value; every
//   escape, a \u high surrogate followed by a \u low surrogate joined, any
//   other surrogate kept as a lone code point; integers through
//   PyLong_FromString (and so under the digit limit of the interpreter
//   where it has one) unless short enough to be exact in 64 bits; floats
//   with the bits PyOS_string_to_double gives them, as the scanner converts
//   them: up to 19 significant digits and a power of ten up to 10^27 are
//   rounded once, in one operation of doubles where both are exact doubles,
//   else in 128-bit integers (json_numbers.cpp says why that is exact),
//   anything else goes through that very function.  Each str
//   at its narrowest width, exactly as long as its text.  Within one
//   document equal keys are one str object, as the scanner's memo makes
//   them; besides, short ASCII keys, and short ASCII string values, come
//   from small tables and are shared between documents (str objects are
//   immutable, and nothing mutable is shared).  No key is interned here: the merge rule interns the keys it
//   sets as attributes, and only those.
//
// How it works
//   Without recursion: the containers still open are kept on the heap, so
//   the C stack used does not grow with nesting, and a decline unwinds a
//   fixed number of frames.  A string without escapes is made from its
//   bytes in one step (plain ASCII copied, other text through the
//   interpreter's strict UTF-8 decoder); one with escapes is decoded in
//   one pass into a buffer of code points, runs of ASCII copied in bulk,
//   then copied into a str of its length at its narrowest width.
//
// When it declines
//   On anything it does not take: bytes that are not well-formed UTF-8 (as
//   the strict decoder defines it), any JSON error (a byte-order mark is
//   one), NaN, Infinity and -Infinity (their objects come from a table of
//   json's that can be changed), nesting deeper than the recursion budget
//   (json_state.h), a failed conversion or allocation.
//   It then releases what it built, clears any error and returns an empty
//   Ref; the caller takes the other route from the start, so every error a
//   caller sees is the interpreter's own.
#pragma once

#include "refs.h"

namespace pemu {

// The decoded document, or an empty Ref (no error set) when the native
// route does not apply or declines.  `bytes` must be an exact bytes object.
// Throws nothing: every failure inside is a decline.
Ref decode_payload_natively(PyObject* json_module, PyObject* loads, PyObject* bytes);

}  // namespace pemu
