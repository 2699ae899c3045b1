// Keys of the native JSON decoder (json_decoder.h says what it makes):
// within one document equal keys are one str, as the interpreter's scanner
// memoises them; short ASCII keys come from a small table shared between
// documents; a key that is one of the module's own names is that name.
#pragma once

#include "json_strings.h"

namespace pemu {

class KeyDecoder {
public:
    KeyDecoder(Cursor& at, StringDecoder& strings) : at_(at), strings_(strings) {}

    // The key whose opening quote is just behind the cursor; the cursor
    // ends past its closing quote.  Short ASCII keys are looked up in the
    // table, shared between documents; any other key, and one that the
    // table does not hold, goes through this document's memo.  A key that
    // leaves the table enters the memo, so a key handed out once is found
    // again in one or the other.
    Ref key() {
        std::size_t n = plain_run(at_.p, at_.end);
        if (n <= kMaxTableKey && at_.p + n != at_.end && at_.p[n] == '"') {
            const unsigned char* text = at_.p;
            at_.p += n + 1;
            return table_key(text, n, Ref());
        }
        return other_key();
    }

private:
    // Keys up to this many bytes of plain ASCII are kept in the table.
    static constexpr std::size_t kMaxTableKey = 64;
    static constexpr unsigned kTableBits = 9;

    // The key whose text is the n ASCII bytes at `text`, from the table or
    // else `made` (or a new str) as this document's memo has it.
    Ref table_key(const unsigned char* text, std::size_t n, Ref made) {
        std::uint32_t hash = 2166136261U;
        for (std::size_t i = 0; i < n; ++i) hash = (hash ^ text[i]) * 16777619U;
        auto mixed = static_cast<std::uint32_t>(hash * 2654435761U);
        PyObject*& slot = table_[(mixed >> (32 - kTableBits)) & ((1U << kTableBits) - 1)];
        if (slot != nullptr && static_cast<std::size_t>(PyUnicode_GET_LENGTH(slot)) == n &&
            std::memcmp(PyUnicode_DATA(slot), text, n) == 0)
            return Ref::borrow(slot);
        return new_table_key(slot, text, n, std::move(made));
    }

    Ref other_key();
    Ref new_table_key(PyObject*& slot, const unsigned char* text, std::size_t n, Ref made);
    Ref same_key(const Ref& key);

    static inline PyObject* table_[1U << kTableBits];  // owned compact ASCII str, or null

    Cursor& at_;
    StringDecoder& strings_;
    Ref memo_;  // this document's keys, made on the first key the table does not answer
};

}  // namespace pemu
