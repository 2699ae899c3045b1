// Keys of the native JSON decoder (json_decoder.h says what it makes):
// within one document equal keys are one str, as the interpreter's scanner
// memoises them; short ASCII keys come from a small table shared between
// documents; a key that is one of the module's own names is that name.
#pragma once

#include "json_strings.h"

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
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        // Eight bytes at a time, hashed as they are read: a key of plain
        // ASCII ends at the first byte that ends raw text, if that is its
        // quote (the lowest such byte is marked exactly; see ends_raw_text).
        const unsigned char* text = at().p;
        std::uint64_t hash = 0;
        for (const unsigned char* q = text; at().end - q >= 8 && q - text < kMaxTableKey; q += 8) {
            std::uint64_t w = load_word(q);
            std::uint64_t stops = raw_text_stops(w) | (w & kHighs);
            if (stops == 0) {
                hash = mix(hash, w);
                continue;
            }
            auto first = static_cast<unsigned>(__builtin_ctzll(stops)) / 8;
            if (q[first] != '"') break;
            hash = mix(hash, first == 0 ? 0 : w & (~std::uint64_t{0} >> (64 - 8 * first)));
            auto n = static_cast<std::size_t>(q - text) + first;
            at().p = q + first + 1;
            return table_key(text, n, hash, Ref());
        }
#endif
        return other_key();
    }

private:
    // Keys up to this many bytes of plain ASCII are kept in the table.
    static constexpr std::ptrdiff_t kMaxTableKey = 64;
    static constexpr unsigned kTableBits = 9;

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
            std::memcmp(PyUnicode_DATA(slot), text, n) == 0)
            return Ref::borrow(slot);
        return new_table_key(slot, text, n, std::move(made));
    }

    Ref other_key();
    Ref new_table_key(PyObject*& slot, const unsigned char* text, std::size_t n, Ref made);
    Ref same_key(const Ref& key);

    static inline PyObject* table_[1U << kTableBits];  // owned compact ASCII str, or null

    StringDecoder strings_;  // and the cursor
    Ref memo_;  // this document's keys, made on the first key the table does not answer
};

}  // namespace pemu
