// Keys of the native JSON decoder (json_decoder.h says what it makes):
// within one document equal keys are one str, as the interpreter's scanner
// memoises them; short ASCII keys come from a small table shared between
// documents; a key that is one of the module's own names is that name.
// Short ASCII string values are shared between documents the same way.
#pragma once

#include "json_strings.h"
#include "same_bytes.h"

namespace pemu {

class KeyDecoder {
public:
    KeyDecoder(const unsigned char* begin, const unsigned char* end) : strings_(begin, end) {}

    StringDecoder& strings() { return strings_; }
    Cursor& at() { return strings_.cursor(); }

    // The key whose opening quote is just behind the cursor; the cursor
    // ends past its closing quote.  Short ASCII keys are looked up in the
    // table, shared between documents; any other key, and one that the
    // table does not hold, goes through this document's memo.  A key that
    // leaves the table enters the memo, so a key handed out once is found
    // again in one or the other.
    Ref key() {
        const unsigned char* text = at().p;
        std::size_t n;
        std::uint64_t hash;
        if (!short_ascii(text, kMaxTableKey, n, hash)) return other_key();
        at().p = text + n + 1;
        return table_key(text, n, hash, Ref());
    }

    // A string value whose opening quote is just behind the cursor; the
    // cursor ends past its closing quote.  Short plain ASCII values come
    // from a table of their own, shared between documents as the keys are
    // (a detector repeats its names and labels in every payload); any
    // other string is made afresh.
    Ref value() {
        const unsigned char* text = at().p;
        std::size_t n;
        std::uint64_t hash;
        if (!short_ascii(text, kMaxTableValue, n, hash)) return strings_.string();
        at().p = text + n + 1;
        PyObject*& slot = values_[hash >> (64 - kTableBits)];
        if (slot != nullptr && static_cast<std::size_t>(PyUnicode_GET_LENGTH(slot)) == n &&
            same_bytes(static_cast<const char*>(PyUnicode_DATA(slot)),
                       reinterpret_cast<const char*>(text), n))
            return Ref::borrow(slot);
        Ref made = StringDecoder::ascii(text, n);
        Ref evicted = Ref::steal_or_null(slot);  // a str: freeing it runs no code
        slot = Ref(made).release();              // held by the table for good
        return made;
    }

private:
    // Keys up to this many bytes of plain ASCII are kept in the table.
    static constexpr std::ptrdiff_t kMaxTableKey = 64;
    static constexpr unsigned kTableBits = 9;

    // Values up to this many bytes of plain ASCII are kept in theirs.
    static constexpr std::ptrdiff_t kMaxTableValue = 32;

    // Whether the text at `text` (just past an opening quote) is a run of
    // under `max` bytes of plain ASCII ended by its quote: then its length
    // and hash.  Eight bytes at a time, hashed as they are read: the text
    // ends at the first byte that ends raw text, if that is its quote (the
    // lowest such byte is marked exactly; see ends_raw_text).
    [[gnu::always_inline]] bool short_ascii(const unsigned char* text, std::ptrdiff_t max,
                                            std::size_t& n, std::uint64_t& hash) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        hash = 0;
        for (const unsigned char* q = text; at().end - q >= 8 && q - text < max; q += 8) {
            std::uint64_t w = load_word(q);
            std::uint64_t stops = raw_text_stops(w) | (w & kHighs);
            if (stops == 0) {
                hash = mix(hash, w);
                continue;
            }
            auto first = static_cast<unsigned>(__builtin_ctzll(stops)) / 8;
            if (q[first] != '"') return false;
            hash = mix(hash, first == 0 ? 0 : w & (~std::uint64_t{0} >> (64 - 8 * first)));
            n = static_cast<std::size_t>(q - text) + first;
            return true;
        }
#else
        (void)text, (void)max, (void)n, (void)hash;
#endif
        return false;
    }

    static std::uint64_t mix(std::uint64_t hash, std::uint64_t word) {
        return (hash ^ word) * 0x9E3779B97F4A7C15ULL;
    }

    // The hash of the n bytes at `text` as key() computes it: each eight
    // bytes in turn, then the rest (possibly none) padded with zero bytes.
    static std::uint64_t key_hash(const unsigned char* text, std::size_t n) {
        std::uint64_t hash = 0;
        for (; n >= 8; n -= 8, text += 8) hash = mix(hash, load_word(text));
        std::uint64_t rest = 0;
        for (std::size_t i = 0; i < n; ++i) rest |= std::uint64_t{text[i]} << (8 * i);
        return mix(hash, rest);
    }

    // The key whose text is the n ASCII bytes at `text`, from the table or
    // else `made` (or a new str) as this document's memo has it.
    Ref table_key(const unsigned char* text, std::size_t n, std::uint64_t hash, Ref made) {
        PyObject*& slot = table_[hash >> (64 - kTableBits)];
        if (slot != nullptr && static_cast<std::size_t>(PyUnicode_GET_LENGTH(slot)) == n &&
            same_bytes(static_cast<const char*>(PyUnicode_DATA(slot)),
                       reinterpret_cast<const char*>(text), n))
            return Ref::borrow(slot);
        return new_table_key(slot, text, n, std::move(made));
    }

    Ref other_key();
    Ref new_table_key(PyObject*& slot, const unsigned char* text, std::size_t n, Ref made);
    Ref same_key(const Ref& key);

    static inline PyObject* table_[1U << kTableBits];  // owned compact ASCII str, or null
    static inline PyObject* values_[1U << kTableBits];  // the same, for values

    StringDecoder strings_;  // and the cursor
    Ref memo_;  // this document's keys, made on the first key the table does not answer
};

}  // namespace pemu
