// Strings of the native JSON decoder (json_decoder.h says what it makes):
// the text between a string's quotes into a str at its narrowest width.
#pragma once

#include "json_cursor.h"


namespace pemu {

class StringDecoder {
public:
    StringDecoder(const unsigned char* begin, const unsigned char* end) : at_{begin, end} {}

    // The cursor over the document, which the other parts of the decoder
    // move too: held here, so that the string loops reach it without an
    // indirection that every byte they store would make them reload.
    Cursor& cursor() { return at_; }

    // The string whose opening quote is just behind the cursor; the cursor
    // ends past its closing quote.  A string without escapes is made from
    // its bytes in one step; one with escapes is measured first, then
    // written at its narrowest width.
    Ref string();

    // A str of the n plain ASCII bytes at `text`.
    static Ref ascii(const unsigned char* text, std::size_t n) {
        Ref s = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
        std::memcpy(PyUnicode_DATA(s.get()), text, n);
        return s;
    }

private:
    Ref escaped(const unsigned char* start);
    // The escapes' helpers move a pointer of the caller's loop, not the
    // cursor, and are always inlined into it: a call per escape, as one
    // compiler leaves them, costs a third more on text full of escapes.
    [[gnu::always_inline]] static Py_UCS4 utf8_sequence(unsigned char lead,
                                                        const unsigned char*& p);
    [[gnu::always_inline]] static long hex4(const unsigned char* at, const unsigned char* end);
    [[gnu::always_inline]] static Py_UCS4 escape(const unsigned char*& p,
                                                 const unsigned char* end);

    Cursor at_;
};

}  // namespace pemu
