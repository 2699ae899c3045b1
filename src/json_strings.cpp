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

// The character each one-letter escape stands for, 0 for a letter that
// makes no escape.
struct Escapes {
    unsigned char value[256];
    constexpr Escapes() : value() {
        value['"'] = '"';
        value['\\'] = '\\';
        value['/'] = '/';
        value['b'] = '\b';
        value['f'] = '\f';
        value['n'] = '\n';
        value['r'] = '\r';
        value['t'] = '\t';
    }
};
constexpr Escapes kEscapes;

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

// Grows `units_` to twice the code points before `out` and `more` besides,
// and 64 more: room for at least `more` past `out`, which the growth may
// move: its new place.  Out of line, as it runs once per doubling and its
// call, inlined, would crowd the string loop's registers.
[[gnu::noinline]] static Py_UCS4* grow(Py_UCS4* out, std::size_t more) {
    std::size_t length = static_cast<std::size_t>(out - units_.data());
    units_.resize(2 * (length + more) + 64);
    return units_.data() + length;
}

// A string with escapes, from `start` (after the opening quote), in one
// pass: its code points into `units_`, the widest noted, then copied into a
// str of exactly that length at that width.  The loop runs on local
// pointers, which stay in registers (a decline leaves the cursor behind:
// nothing reads it after one), and stores the input's into the cursor at
// the end.
Ref StringDecoder::escaped(const unsigned char* start) {
    struct Release {  // however the string ends, a very large buffer goes
        ~Release() {
            if (units_.size() > kKeptUnits) std::vector<Py_UCS4>().swap(units_);
        }
    } release;
    const unsigned char* p = start;
    const unsigned char* const end = at_.end;
    Py_UCS4* out = units_.data();
    Py_UCS4* limit = out + units_.size();
    Py_UCS4 widest = 0;
    for (;;) {
        if (out == limit) {
            out = grow(out, 0);
            limit = units_.data() + units_.size();
        }
        if (p == end) decline();
        unsigned char c = *p++;
        Py_UCS4 unit;
        if (c == '\\') {
            unit = escape(p, end);
            if (unit > widest) widest = unit;
        } else if (c >= 0x20 && c < 0x80 && c != '"') {
            *out++ = c;
            if (p != end && *p >= 0x20 && *p < 0x80 && *p != '"' && *p != '\\') {
                std::size_t plain = plain_run(p, end);  // a run of plain ASCII, in bulk
                if (static_cast<std::size_t>(limit - out) < plain) {
                    out = grow(out, plain);
                    limit = units_.data() + units_.size();
                }
                for (std::size_t j = 0; j < plain; ++j) out[j] = p[j];
                out += plain;
                p += plain;
            }
            continue;
        } else if (c == '"') {
            break;
        } else if (c >= 0x80 && end - p >= 3) {  // the most a sequence reads
            unit = utf8_sequence(c, p);
            if (unit > widest) widest = unit;
        } else {
            decline();  // a control character, or a sequence cut short
        }
        *out++ = unit;
    }
    at_.p = p;
    const Py_UCS4* from = units_.data();
    std::size_t length = static_cast<std::size_t>(out - from);
    Ref s = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(length), widest));
    switch (PyUnicode_KIND(s.get())) {
        case PyUnicode_1BYTE_KIND: narrow(from, length, PyUnicode_1BYTE_DATA(s.get())); break;
        case PyUnicode_2BYTE_KIND: narrow(from, length, PyUnicode_2BYTE_DATA(s.get())); break;
        default: std::memcpy(PyUnicode_4BYTE_DATA(s.get()), from, length * sizeof(Py_UCS4)); break;
    }
    return s;
}

// The code point of the UTF-8 sequence at `p`, whose lead byte (past) is
// `lead`, and `p` past it; a sequence that is not well-formed declines.  At
// least three bytes follow the lead byte (the caller checks), the most a
// sequence reads.
inline Py_UCS4 StringDecoder::utf8_sequence(unsigned char lead, const unsigned char*& p) {
    auto follows = [](unsigned char c, unsigned char low = 0x80, unsigned char high = 0xBF) {
        return c >= low && c <= high;
    };
    const unsigned char* q = p;
    if (lead >= 0xC2 && lead <= 0xDF) {
        if (!follows(q[0])) decline();
        p = q + 1;
        return ((lead & 0x1FU) << 6) | (q[0] & 0x3FU);
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (!follows(q[0], lead == 0xE0 ? 0xA0 : 0x80, lead == 0xED ? 0x9F : 0xBF) ||
            !follows(q[1]))
            decline();
        p = q + 2;
        return ((lead & 0x0FU) << 12) | ((q[0] & 0x3FU) << 6) | (q[1] & 0x3FU);
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (!follows(q[0], lead == 0xF0 ? 0x90 : 0x80, lead == 0xF4 ? 0x8F : 0xBF) ||
            !follows(q[1]) || !follows(q[2]))
            decline();
        p = q + 3;
        return ((lead & 0x07U) << 18) | ((q[0] & 0x3FU) << 12) | ((q[1] & 0x3FU) << 6) |
               (q[2] & 0x3FU);
    }
    decline();
}

// Four hex digits at `at` (before `end`), or -1.
inline long StringDecoder::hex4(const unsigned char* at, const unsigned char* end) {
    if (end - at < 4) return -1;
    unsigned a = kHex.value[at[0]], b = kHex.value[at[1]], c = kHex.value[at[2]],
             d = kHex.value[at[3]];
    if (((a | b | c | d) & 0xF0U) != 0) return -1;
    return static_cast<long>((a << 12) | (b << 8) | (c << 4) | d);
}

// After the backslash at `p`; `p` past the escape.  The escapes other
// than \u come from a table rather than a switch: one compiler folds the
// test for 'u' into the switch's jump table, an indirect jump for every
// \u escape, the common one in text that is not ASCII.
inline Py_UCS4 StringDecoder::escape(const unsigned char*& p, const unsigned char* end) {
    if (p == end) decline();
    unsigned char c = *p++;
    if (c != 'u') {
        unsigned char unit = kEscapes.value[c];
        if (unit == 0) decline();
        return unit;
    }
    long unit = hex4(p, end);
    if (unit < 0) decline();
    p += 4;
    if (unit >= 0xD800 && unit <= 0xDBFF && end - p >= 6 && p[0] == '\\' && p[1] == 'u') {
        long low = hex4(p + 2, end);
        if (low >= 0xDC00 && low <= 0xDFFF) {
            p += 6;
            return static_cast<Py_UCS4>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        }
    }
    return static_cast<Py_UCS4>(unit);
}

}  // namespace pemu
