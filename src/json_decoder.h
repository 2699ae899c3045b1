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
//   (json_state.h) or than its own cap, a failed conversion or allocation.
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
