// What the parts of the native JSON decoder share (json_decoder.h says what
// the decoder makes): the cursor over the document's bytes, the decline that
// ends a decoding, and the tests that read eight bytes of text at a time.
#pragma once

#include "refs.h"

#include <cstdint>
#include <cstring>

namespace pemu {

// Thrown when the decoder declines; caught at its entry.  The decoder does
// not recurse, so a decline unwinds a fixed number of frames.
struct Decline {};

[[noreturn, gnu::cold]] inline void decline() { throw Decline{}; }

inline bool is_json_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The document's bytes still to be read.  The byte at `end` can be read
// and is NUL, as a bytes object keeps one past its contents: a NUL is
// neither space, digit nor any byte that a value or separator starts with,
// so scanning for those stops at the end without comparing pointers, and
// a NUL inside the document, as at its end, declines where it is read.
struct Cursor {
    const unsigned char* p;
    const unsigned char* end;

    // Most space in a document is one blank after a comma or colon.
    void skip_space() {
        if (*p == ' ') ++p;
        while (*p <= ' ' && is_json_space(*p)) ++p;
    }

    // The byte at the cursor (NUL at the end, which no caller takes).
    unsigned char peek_byte() const { return *p; }

    void expect_word(const char* word, std::size_t n) {
        if (static_cast<std::size_t>(end - p) < n || std::memcmp(p, word, n) != 0) decline();
        p += n;
    }
};

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

inline std::uint64_t load_word(const unsigned char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// The bytes of `w` that end the raw text of a string (a byte below 0x20,
// '"' or '\\'), as their high bits.  The lowest byte marked is exact: a
// borrow can only mark bytes above one that matches.
inline std::uint64_t raw_text_stops(std::uint64_t w) {
    std::uint64_t below_space = (w - kOnes * 0x20) & ~w;
    std::uint64_t quote = w ^ (kOnes * '"');
    std::uint64_t backslash = w ^ (kOnes * '\\');
    std::uint64_t zero_quote = (quote - kOnes) & ~quote;
    std::uint64_t zero_backslash = (backslash - kOnes) & ~backslash;
    return (below_space | zero_quote | zero_backslash) & kHighs;
}

// Whether one of the eight bytes of `w` ends the raw text of a string.
inline bool ends_raw_text(std::uint64_t w) { return raw_text_stops(w) != 0; }

// The length of the plain ASCII run at `p` (no escape, no control
// character, no quote, no byte above 0x7F).
inline std::size_t plain_run(const unsigned char* p, const unsigned char* end) {
    const unsigned char* q = p;
    while (end - q >= 8) {
        std::uint64_t w = load_word(q);
        if (ends_raw_text(w) || (w & kHighs) != 0) break;
        q += 8;
    }
    while (q != end && *q >= 0x20 && *q < 0x80 && *q != '"' && *q != '\\') ++q;
    return static_cast<std::size_t>(q - p);
}

}  // namespace pemu
