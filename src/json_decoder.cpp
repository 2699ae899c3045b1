// The native JSON decoder (see json_decoder.h): UTF-8 bytes straight into
// Python objects, declining on anything it does not take.
#include "json_decoder.h"

#include "json_state.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace pemu {

namespace {

// Nesting beyond this always declines: the decoder recurses on the C stack.
constexpr int kMaxDepth = 2000;

// Keys up to this many bytes of plain ASCII are kept in the key table (and
// interned where that is undone once they are unused).
constexpr std::size_t kMaxTableKey = 64;
constexpr unsigned kKeyTableBits = 9;
PyObject* key_table[1U << kKeyTableBits];  // owned compact ASCII str

// ---- The decoder ----

// Thrown when the decoder declines; caught at its entry.
struct Decline {};

[[noreturn, gnu::cold]] void decline() { throw Decline{}; }

inline bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

inline int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Whether none of the eight bytes of `w` ends the plain ASCII run of a
// string: a byte below 0x20, '"', '\\' or one with the high bit set.
inline bool plain_word(std::uint64_t w) {
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t highs = 0x8080808080808080ULL;
    std::uint64_t below_space = (w - ones * 0x20) & ~w;
    std::uint64_t quote = w ^ (ones * '"');
    std::uint64_t backslash = w ^ (ones * '\\');
    std::uint64_t zero_quote = (quote - ones) & ~quote;
    std::uint64_t zero_backslash = (backslash - ones) & ~backslash;
    return ((w | below_space | zero_quote | zero_backslash) & highs) == 0;
}

class Decoder {
public:
    Decoder(const unsigned char* begin, const unsigned char* end, int budget)
        : p_(begin), end_(end), budget_(budget < kMaxDepth ? budget : kMaxDepth) {}

    Ref document() {
        skip_space();
        Ref value = parse_value(0);
        skip_space();
        if (p_ != end_) decline();
        return value;
    }

private:
    void skip_space() {
        while (p_ != end_ && is_space(*p_)) ++p_;
    }

    // The byte at the cursor; end of input declines.
    unsigned char peek_byte() const {
        if (p_ == end_) decline();
        return *p_;
    }

    void expect_word(const char* rest, std::size_t n) {
        if (static_cast<std::size_t>(end_ - p_) < n || std::memcmp(p_, rest, n) != 0) decline();
        p_ += n;
    }

    Ref parse_value(int depth) {
        unsigned char c = peek_byte();
        switch (c) {
            case '"':
                ++p_;
                return parse_string();
            case '{':
                ++p_;
                return parse_object(depth + 1);
            case '[':
                ++p_;
                return parse_array(depth + 1);
            case 't':
                expect_word("true", 4);
                return Ref::borrow(Py_True);
            case 'f':
                expect_word("false", 5);
                return Ref::borrow(Py_False);
            case 'n':
                expect_word("null", 4);
                return none();
            default:
                if (c == '-' || (c >= '0' && c <= '9')) return parse_number();
                decline();  // NaN, Infinity or an error
        }
    }

    Ref parse_object(int depth) {
        if (depth > budget_) decline();
        Ref dict = Ref::steal(PyDict_New());
        skip_space();
        if (peek_byte() == '}') {
            ++p_;
            return dict;
        }
        for (;;) {
            if (peek_byte() != '"') decline();
            ++p_;
            Ref key = parse_key();
            skip_space();
            if (peek_byte() != ':') decline();
            ++p_;
            skip_space();
            Ref value = parse_value(depth);
            check(PyDict_SetItem(dict.get(), key.get(), value.get()));
            skip_space();
            unsigned char c = peek_byte();
            ++p_;
            if (c == '}') return dict;
            if (c != ',') decline();
            skip_space();
        }
    }

    Ref parse_array(int depth) {
        if (depth > budget_) decline();
        Ref list = Ref::steal(PyList_New(0));
        skip_space();
        if (peek_byte() == ']') {
            ++p_;
            return list;
        }
        for (;;) {
            Ref value = parse_value(depth);
            check(PyList_Append(list.get(), value.get()));
            skip_space();
            unsigned char c = peek_byte();
            ++p_;
            if (c == ']') return list;
            if (c != ',') decline();
            skip_space();
        }
    }

    // The length of the plain ASCII run at the cursor (no escape, no
    // control character, no quote).
    std::size_t plain_run() const {
        const unsigned char* q = p_;
        while (end_ - q >= 8) {
            std::uint64_t w;
            std::memcpy(&w, q, 8);
            if (!plain_word(w)) break;
            q += 8;
        }
        while (q != end_ && *q >= 0x20 && *q < 0x80 && *q != '"' && *q != '\\') ++q;
        return static_cast<std::size_t>(q - p_);
    }

    static Ref ascii_str(const unsigned char* text, std::size_t n) {
        Ref s = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
        std::memcpy(PyUnicode_DATA(s.get()), text, n);
        return s;
    }

    // A key: short plain ones come from the key table.
    Ref parse_key() {
        std::size_t n = plain_run();
        if (n > kMaxTableKey || p_ + n == end_ || p_[n] != '"') return parse_string();
        const unsigned char* text = p_;
        std::uint32_t hash = 2166136261U;
        for (std::size_t i = 0; i < n; ++i) hash = (hash ^ text[i]) * 16777619U;
        std::uint32_t mixed = static_cast<std::uint32_t>(hash * 2654435761U);
        PyObject*& slot = key_table[(mixed >> (32 - kKeyTableBits)) & ((1U << kKeyTableBits) - 1)];
        p_ += n + 1;
        if (slot != nullptr && static_cast<std::size_t>(PyUnicode_GET_LENGTH(slot)) == n &&
            std::memcmp(PyUnicode_DATA(slot), text, n) == 0)
            return Ref::borrow(slot);
        PyObject* key = ascii_str(text, n).release();
#if PY_VERSION_HEX < 0x030C0000
        // Interned names are freed when no longer used; from 3.12 on they
        // live for good, and received keys may be new in every payload.
        PyUnicode_InternInPlace(&key);
#endif
        Ref shared = Ref::steal(key);
        if (PyUnicode_IS_COMPACT_ASCII(key)) {
            Py_XDECREF(slot);
            slot = Ref(shared).release();  // held by the table for good
        }
        return shared;
    }

    // After the opening quote, through the closing one.
    Ref parse_string() {
        std::size_t n = plain_run();
        if (p_ + n != end_ && p_[n] == '"') {
            Ref s = ascii_str(p_, n);
            p_ += n + 1;
            return s;
        }
        std::vector<Py_UCS4> text(p_, p_ + n);
        p_ += n;
        for (;;) {
            unsigned char c = peek_byte();
            ++p_;
            if (c == '"') break;
            if (c < 0x20) decline();
            if (c == '\\') {
                text.push_back(escape());
            } else if (c < 0x80) {
                text.push_back(c);
            } else {
                text.push_back(utf8_sequence(c));
            }
        }
        return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(),
                                                    static_cast<Py_ssize_t>(text.size())));
    }

    unsigned continuation(unsigned char low = 0x80, unsigned char high = 0xBF) {
        unsigned char c = peek_byte();
        if (c < low || c > high) decline();
        ++p_;
        return c & 0x3FU;
    }

    // The code point of a well-formed UTF-8 sequence whose lead byte (past)
    // is `lead`.
    Py_UCS4 utf8_sequence(unsigned char lead) {
        if (lead >= 0xC2 && lead <= 0xDF) return ((lead & 0x1FU) << 6) | continuation();
        if (lead >= 0xE0 && lead <= 0xEF) {
            unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
            unsigned char high = lead == 0xED ? 0x9F : 0xBF;
            unsigned second = continuation(low, high);
            return ((lead & 0x0FU) << 12) | (second << 6) | continuation();
        }
        if (lead >= 0xF0 && lead <= 0xF4) {
            unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
            unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
            unsigned second = continuation(low, high);
            unsigned third = continuation();
            return ((lead & 0x07U) << 18) | (second << 12) | (third << 6) | continuation();
        }
        decline();
    }

    // Four hex digits at `at`, or -1.
    long hex4(const unsigned char* at) const {
        if (end_ - at < 4) return -1;
        long value = 0;
        for (int i = 0; i < 4; ++i) {
            int digit = hex_value(at[i]);
            if (digit < 0) return -1;
            value = value * 16 + digit;
        }
        return value;
    }

    // After the backslash.
    Py_UCS4 escape() {
        unsigned char c = peek_byte();
        ++p_;
        switch (c) {
            case '"': return '"';
            case '\\': return '\\';
            case '/': return '/';
            case 'b': return '\b';
            case 'f': return '\f';
            case 'n': return '\n';
            case 'r': return '\r';
            case 't': return '\t';
            case 'u': break;
            default: decline();
        }
        long unit = hex4(p_);
        if (unit < 0) decline();
        p_ += 4;
        if (unit >= 0xD800 && unit <= 0xDBFF && end_ - p_ >= 6 && p_[0] == '\\' && p_[1] == 'u') {
            long low = hex4(p_ + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                p_ += 6;
                return static_cast<Py_UCS4>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
            }
        }
        return static_cast<Py_UCS4>(unit);
    }

    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?
    Ref parse_number() {
        const unsigned char* start = p_;
        bool negative = *p_ == '-';
        if (negative) ++p_;
        if (p_ == end_ || *p_ < '0' || *p_ > '9') decline();
        if (*p_ == '0')
            ++p_;
        else
            while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
        const unsigned char* integer_end = p_;
        bool is_float = false;
        if (p_ != end_ && *p_ == '.') {
            ++p_;
            if (p_ == end_ || *p_ < '0' || *p_ > '9') decline();
            while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
            is_float = true;
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
            if (p_ == end_ || *p_ < '0' || *p_ > '9') decline();
            while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
            is_float = true;
        }
        std::size_t length = static_cast<std::size_t>(p_ - start);
        if (!is_float) {
            const unsigned char* digits = start + (negative ? 1 : 0);
            if (integer_end - digits <= 18) {
                long long value = 0;
                for (const unsigned char* d = digits; d != integer_end; ++d) value = value * 10 + (*d - '0');
                return Ref::steal(PyLong_FromLongLong(negative ? -value : value));
            }
        }
        char small[64];
        std::string large;
        char* text = small;
        if (length < sizeof small) {
            std::memcpy(small, start, length);
            small[length] = '\0';
        } else {
            large.assign(reinterpret_cast<const char*>(start), length);
            text = &large[0];
        }
        if (!is_float) return Ref::steal(PyLong_FromString(text, nullptr, 10));
        double value = PyOS_string_to_double(text, nullptr, nullptr);
        if (value == -1.0 && PyErr_Occurred()) throw_error();
        return Ref::steal(PyFloat_FromDouble(value));
    }

    const unsigned char* p_;
    const unsigned char* end_;
    int budget_;
};

}  // namespace

Ref decode_payload_natively(PyObject* json_module, PyObject* loads, PyObject* bytes) {
    if (!json_untouched(json_module, loads)) return Ref();
    int budget = recursion_budget();
    if (budget < 0) return Ref();
    const auto* begin = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes));
    Decoder decoder(begin, begin + PyBytes_GET_SIZE(bytes), budget);
    try {
        return decoder.document();
    } catch (const Decline&) {
    } catch (const PyError&) {
    } catch (...) {  // std::bad_alloc from a buffer; nothing else is thrown
    }
    PyErr_Clear();
    return Ref();
}

}  // namespace pemu
