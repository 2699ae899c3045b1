// Equality of short runs of bytes without a call into the library: names
// and short strings are a few bytes long.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace pemu {

template <typename Word>
inline Word load_as(const char* p) {
    Word word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// Whether n bytes at p and q are equal.  Names and short values are a few
// bytes long: compared here a word at a time, the last word overlapping the
// one before it, which beats a call into the library.
inline bool same_bytes(const char* p, const char* q, std::size_t n) {
    if (n >= 8) {
        for (; n > 8; n -= 8, p += 8, q += 8)
            if (load_as<std::uint64_t>(p) != load_as<std::uint64_t>(q)) return false;
        return load_as<std::uint64_t>(p + n - 8) == load_as<std::uint64_t>(q + n - 8);
    }
    if (n >= 4)
        return load_as<std::uint32_t>(p) == load_as<std::uint32_t>(q) &&
               load_as<std::uint32_t>(p + n - 4) == load_as<std::uint32_t>(q + n - 4);
    if (n >= 2)
        return load_as<std::uint16_t>(p) == load_as<std::uint16_t>(q) &&
               load_as<std::uint16_t>(p + n - 2) == load_as<std::uint16_t>(q + n - 2);
    return n == 0 || *p == *q;
}

}  // namespace pemu
