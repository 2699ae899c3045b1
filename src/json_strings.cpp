// Strings of the native JSON decoder (see json_strings.h).
#include "json_strings.h"

#include <vector>

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

// The n code points at `from` into `to`, each narrower than Py_UCS4.
template <typename Char>
void narrow(const Py_UCS4* from, std::size_t n, Char* to) {
    for (std::size_t i = 0; i < n; ++i) to[i] = static_cast<Char>(from[i]);
}

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

// The code points of the string with escapes being made: one buffer, kept
// between documents, since a large one made afresh for each string costs
// its pages again each time.  The decoder runs holding the GIL, and nothing
// between the first use of the buffer in escaped() and its last can run
// Python code (PyUnicode_New makes no container, so it starts no
// collection) or let the GIL go: no other call of escaped() can come in
// while the buffer is in use.
std::vector<Py_UCS4> units_;
// Above this many code points the buffer is released after use.
constexpr std::size_t kKeptUnits = std::size_t{1} << 18;

// A string with escapes, from `start` (after the opening quote), in one
// pass: its code points into `units_`, the widest noted, then copied into a
// str of exactly that length at that width.
Ref StringDecoder::escaped(const unsigned char* start) {
    at_.p = start;
    struct Release {  // however the string ends, a very large buffer goes
        ~Release() {
            if (units_.size() > kKeptUnits) std::vector<Py_UCS4>().swap(units_);
        }
    } release;
    Py_UCS4* to = units_.data();
    std::size_t length = 0, room = units_.size();
    Py_UCS4 widest = 0;
    for (;;) {
        if (length == room) {
            units_.resize(2 * room + 64);
            to = units_.data();
            room = units_.size();
        }
        unsigned char c = at_.peek_byte();
        ++at_.p;
        Py_UCS4 unit;
        if (c == '\\') {
            unit = escape();
            if (unit > widest) widest = unit;
        } else if (c >= 0x20 && c < 0x80 && c != '"') {
            to[length++] = c;
            if (at_.p != at_.end && *at_.p >= 0x20 && *at_.p < 0x80 && *at_.p != '"' &&
                *at_.p != '\\') {  // a run of plain ASCII, in bulk
                std::size_t plain = plain_run(at_.p, at_.end);
                if (room - length < plain) {
                    units_.resize(2 * (length + plain));
                    to = units_.data();
                    room = units_.size();
                }
                for (std::size_t j = 0; j < plain; ++j) to[length + j] = at_.p[j];
                length += plain;
                at_.p += plain;
            }
            continue;
        } else if (c == '"') {
            break;
        } else if (c >= 0x80 && at_.end - at_.p >= 3) {  // the most a sequence reads
            unit = utf8_sequence(c);
            if (unit > widest) widest = unit;
        } else {
            decline();  // a control character, or a sequence cut short
        }
        to[length++] = unit;
    }
    Ref s = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(length), widest));
    switch (PyUnicode_KIND(s.get())) {
        case PyUnicode_1BYTE_KIND: narrow(to, length, PyUnicode_1BYTE_DATA(s.get())); break;
        case PyUnicode_2BYTE_KIND: narrow(to, length, PyUnicode_2BYTE_DATA(s.get())); break;
        default: std::memcpy(PyUnicode_4BYTE_DATA(s.get()), to, length * sizeof(Py_UCS4)); break;
    }
    return s;
}

// The code point of the UTF-8 sequence at the cursor, whose lead byte
// (past) is `lead`, and the cursor past it; a sequence that is not
// well-formed declines.  At least three bytes follow the lead byte (the
// caller checks), the most a sequence reads.
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
