// Strings of the native JSON decoder (see json_strings.h).
#include "json_strings.h"

namespace pemu {

namespace {

// The value of each hex digit, 0xFF for any other byte.
struct HexDigits {
    unsigned char value[256];
    constexpr HexDigits() : value() {
        for (int c = 0; c < 256; ++c)
            value[c] = static_cast<unsigned char>(c >= '0' && c <= '9'   ? c - '0'
                                                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                                         : 0xFF);
    }
};
constexpr HexDigits kHex;

// How many of the eight bytes of `w` are UTF-8 continuation bytes (0x80 to
// 0xBF): their high bits, one per byte, summed into the top byte.
inline int continuation_bytes(std::uint64_t w) {
    std::uint64_t marks = (w & ~(w << 1) & kHighs) >> 7;
    return static_cast<int>((marks * kOnes) >> 56);
}

// Code points above these need one, two or four bytes each.
constexpr Py_UCS4 kMaxLatin1 = 0xFF;
constexpr Py_UCS4 kMaxBmp = 0xFFFF;
constexpr Py_UCS4 kMaxUnicode = 0x10FFFF;

}  // namespace

Ref StringDecoder::string() {
    const unsigned char* start = at_.p;
    const unsigned char* q = start;
    std::uint64_t seen = 0;  // the bytes passed, or'ed: their high bits tell non-ASCII
    while (at_.end - q >= 8) {
        std::uint64_t w = load_word(q);
        if (ends_raw_text(w)) break;
        seen |= w;
        q += 8;
    }
    while (q != at_.end && *q >= 0x20 && *q != '"' && *q != '\\') seen |= *q++;
    if (q == at_.end || *q < 0x20) decline();
    if (*q == '"') {
        at_.p = q + 1;
        std::size_t n = static_cast<std::size_t>(q - start);
        if ((seen & kHighs) == 0) return ascii(start, n);
        // Through the interpreter's strict decoder, as the bytes'
        // decode() does it; text that is not UTF-8 declines.
        return Ref::steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(start),
                                               static_cast<Py_ssize_t>(n), "strict"));
    }
    return escaped(start);
}

// A string with escapes, from `start` (after the opening quote): a
// first pass counts its code points and finds the widest, a second
// writes them into a str of exactly that size and width.
Ref StringDecoder::escaped(const unsigned char* start) {
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0;
    units_.clear();
    at_.p = start;
    for (;;) {
        if (at_.p != at_.end && *at_.p == '\\') {  // escapes often follow each other
            ++at_.p;
            Py_UCS4 unit = measured_escape();
            ++length;
            if (unit > widest) widest = unit;
            continue;
        }
        // Raw text, eight bytes at a time: every byte but a UTF-8
        // continuation byte starts a code point, and the lead bytes
        // tell the width (the second pass checks each sequence).
        while (at_.end - at_.p >= 8) {
            std::uint64_t w = load_word(at_.p);
            if (ends_raw_text(w)) break;
            length += 8 - continuation_bytes(w);
            if ((w & kHighs) != 0) widest = widen(widest, w);
            at_.p += 8;
        }
        while (at_.p != at_.end && *at_.p >= 0x20 && *at_.p != '"' && *at_.p != '\\') {
            unsigned char c = *at_.p++;
            length += (c & 0xC0U) != 0x80;
            if (c >= 0x80) widest = widen(widest, c);
        }
        unsigned char c = at_.peek_byte();
        ++at_.p;
        if (c == '"') break;
        if (c != '\\') decline();  // a control character
        Py_UCS4 unit = measured_escape();
        ++length;
        if (unit > widest) widest = unit;
    }
    Ref s = Ref::steal(PyUnicode_New(length, widest));
    at_.p = start;
    switch (PyUnicode_KIND(s.get())) {
        case PyUnicode_1BYTE_KIND: fill(PyUnicode_1BYTE_DATA(s.get()), length); break;
        case PyUnicode_2BYTE_KIND: fill(PyUnicode_2BYTE_DATA(s.get()), length); break;
        default: fill(PyUnicode_4BYTE_DATA(s.get()), length); break;
    }
    return s;
}

// An escape in the first pass of escaped_string(), after the backslash;
// the code point of a \u escape (or pair) is kept for the second.
inline Py_UCS4 StringDecoder::measured_escape() {
    bool hex = at_.p != at_.end && *at_.p == 'u';
    Py_UCS4 unit = escape();
    if (hex) units_.push_back(unit);
    return unit;
}

// The widest code point that raw bytes `w` (one to eight, the bytes of
// a string between escapes) can start, or `widest` if that is wider:
// lead bytes 0xC4 to 0xEF start code points that a str holds in two
// bytes (0x100 to 0xFFFF), 0xF0 and above ones it holds in four, and
// any other byte above 0x7F at most 0xFF.
inline Py_UCS4 StringDecoder::widen(Py_UCS4 widest, std::uint64_t w) {
    std::uint64_t two_high_bits = w & (w << 1) & kHighs;
    Py_UCS4 width = kMaxLatin1;
    if ((two_high_bits & (w << 2) & (w << 3)) != 0)
        width = kMaxUnicode;
    else if ((two_high_bits & ((w << 2) | (w << 3) | (w << 4) | (w << 5))) != 0)
        width = kMaxBmp;
    return width > widest ? width : widest;
}

// The second pass of escaped_string(): from the cursor at the start of
// the text through the closing quote, `length` code points into `to`.
template <typename Char>
inline void StringDecoder::fill(Char* to, Py_ssize_t length) {
    Py_ssize_t i = 0;
    std::size_t next_unit = 0;  // in units_
    for (;;) {
        // The first pass found every byte up to the quote, so the byte
        // after the cursor's is there to be read.
        unsigned char c = *at_.p;
        Py_UCS4 unit;
        if (c >= 0x80) {  // UTF-8; text that is not declines
            ++at_.p;
            unit = utf8_sequence(c);
        } else if (c == '\\') {
            ++at_.p;
            if (*at_.p == 'u') {  // as the first pass read it
                if (next_unit == units_.size()) decline();
                unit = units_[next_unit++];
                at_.p += unit > kMaxBmp ? 11 : 5;
            } else {
                unit = escape();
            }
        } else if (c == '"') {
            ++at_.p;
            break;
        } else if (at_.p[1] >= 0x80 || at_.p[1] == '"' || at_.p[1] == '\\') {
            ++at_.p;  // one ASCII character between others
            unit = c;
        } else {  // plain ASCII, in bulk
            std::size_t n = plain_run(at_.p, at_.end);
            if (static_cast<std::size_t>(length - i) < n) decline();
            if (sizeof(Char) == 1) {
                std::memcpy(to + i, at_.p, n);
            } else {
                for (std::size_t j = 0; j < n; ++j) to[i + static_cast<Py_ssize_t>(j)] = at_.p[j];
            }
            i += static_cast<Py_ssize_t>(n);
            at_.p += n;
            continue;
        }
        if (i == length) decline();
        to[i++] = static_cast<Char>(unit);
    }
    if (i != length) decline();
}

// The code point of the UTF-8 sequence at the cursor, whose lead byte
// (past) is `lead`, and the cursor past it; a sequence that is not
// well-formed declines.  Only inside a string whose closing quote has
// been found: each byte is read only once the one before it has proved
// to be no quote, so nothing past that quote is read.
inline Py_UCS4 StringDecoder::utf8_sequence(unsigned char lead) {
    auto follows = [](unsigned char c, unsigned char low = 0x80, unsigned char high = 0xBF) {
        return c >= low && c <= high;
    };
    const unsigned char* q = at_.p;
    if (lead >= 0xC2 && lead <= 0xDF) {
        if (!follows(q[0])) decline();
        at_.p = q + 1;
        return ((lead & 0x1FU) << 6) | (q[0] & 0x3FU);
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (!follows(q[0], lead == 0xE0 ? 0xA0 : 0x80, lead == 0xED ? 0x9F : 0xBF) ||
            !follows(q[1]))
            decline();
        at_.p = q + 2;
        return ((lead & 0x0FU) << 12) | ((q[0] & 0x3FU) << 6) | (q[1] & 0x3FU);
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (!follows(q[0], lead == 0xF0 ? 0x90 : 0x80, lead == 0xF4 ? 0x8F : 0xBF) ||
            !follows(q[1]) || !follows(q[2]))
            decline();
        at_.p = q + 3;
        return ((lead & 0x07U) << 18) | ((q[0] & 0x3FU) << 12) | ((q[1] & 0x3FU) << 6) |
               (q[2] & 0x3FU);
    }
    decline();
}

// Four hex digits at `at`, or -1.
inline long StringDecoder::hex4(const unsigned char* at) const {
    if (at_.end - at < 4) return -1;
    unsigned a = kHex.value[at[0]], b = kHex.value[at[1]], c = kHex.value[at[2]],
             d = kHex.value[at[3]];
    if (((a | b | c | d) & 0xF0U) != 0) return -1;
    return static_cast<long>((a << 12) | (b << 8) | (c << 4) | d);
}

// After the backslash.
inline Py_UCS4 StringDecoder::escape() {
    unsigned char c = at_.peek_byte();
    ++at_.p;
    if (c != 'u') {
        switch (c) {
            case '"': return '"';
            case '\\': return '\\';
            case '/': return '/';
            case 'b': return '\b';
            case 'f': return '\f';
            case 'n': return '\n';
            case 'r': return '\r';
            case 't': return '\t';
            default: decline();
        }
    }
    long unit = hex4(at_.p);
    if (unit < 0) decline();
    at_.p += 4;
    if (unit >= 0xD800 && unit <= 0xDBFF && at_.end - at_.p >= 6 && at_.p[0] == '\\' && at_.p[1] == 'u') {
        long low = hex4(at_.p + 2);
        if (low >= 0xDC00 && low <= 0xDFFF) {
            at_.p += 6;
            return static_cast<Py_UCS4>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        }
    }
    return static_cast<Py_UCS4>(unit);
}

}  // namespace pemu
