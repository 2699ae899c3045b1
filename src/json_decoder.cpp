// The native JSON decoder (see json_decoder.h): UTF-8 bytes straight into
// Python objects, declining on anything it does not take.
#include "json_decoder.h"

#include "json_state.h"
#include "names.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace pemu {

namespace {

// Keys up to this many bytes of plain ASCII are kept in the key table.
constexpr std::size_t kMaxTableKey = 64;
constexpr unsigned kKeyTableBits = 9;
PyObject* key_table[1U << kKeyTableBits];  // owned compact ASCII str, or null

// ---- The decoder ----

// Thrown when the decoder declines; caught at its entry.  The decoder does
// not recurse, so a decline unwinds a fixed number of frames.
struct Decline {};

[[noreturn, gnu::cold]] void decline() { throw Decline{}; }

inline unsigned char closing(bool is_object) { return is_object ? '}' : ']'; }

inline bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

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

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

// Whether one of the eight bytes of `w` ends the raw text of a string: a
// byte below 0x20, '"' or '\\'.  (Exact as a whole: a borrow can only mark
// bytes above one that matches.)
inline bool ends_raw_text(std::uint64_t w) {
    std::uint64_t below_space = (w - kOnes * 0x20) & ~w;
    std::uint64_t quote = w ^ (kOnes * '"');
    std::uint64_t backslash = w ^ (kOnes * '\\');
    std::uint64_t zero_quote = (quote - kOnes) & ~quote;
    std::uint64_t zero_backslash = (backslash - kOnes) & ~backslash;
    return ((below_space | zero_quote | zero_backslash) & kHighs) != 0;
}

inline std::uint64_t load_word(const unsigned char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

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

// A container being filled: its object, and for an object the key whose
// value is being read.  Each owns what it holds; a container joins its
// parent once it is closed.
struct Open {
    Ref container;
    Ref key;
    bool is_object;
};

class Decoder {
public:
    Decoder(const unsigned char* begin, const unsigned char* end, int budget)
        : p_(begin), end_(end), max_depth_(static_cast<std::size_t>(budget)) {
        open_.reserve(16);  // room for a payload's nesting in one allocation
    }

    Ref document() {
        skip_space();
        Ref value = parse_value();
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

    // One value, nested containers included, without recursion: the
    // containers still open are kept in `open_`, innermost last.
    Ref parse_value() {
        for (;;) {
            Ref value;
            unsigned char c = peek_byte();
            if (c == '{' || c == '[') {
                ++p_;
                if (open_.size() >= max_depth_) decline();
                bool is_object = c == '{';
                value = Ref::steal(is_object ? PyDict_New() : PyList_New(0));
                skip_space();
                if (peek_byte() != closing(is_object)) {
                    open_.push_back(Open{std::move(value), Ref(), is_object});
                    if (is_object) read_key(open_.back());
                    continue;  // to its first value
                }
                ++p_;  // empty
            } else {
                value = parse_scalar(c);
            }
            // `value` is complete: it joins the innermost open container,
            // which may end here too, and so on outwards.
            for (;;) {
                if (open_.empty()) return value;
                Open& top = open_.back();
                if (top.is_object)
                    check(PyDict_SetItem(top.container.get(), top.key.get(), value.get()));
                else
                    check(PyList_Append(top.container.get(), value.get()));
                skip_space();
                unsigned char next = peek_byte();
                ++p_;
                if (next == ',') {
                    skip_space();
                    if (top.is_object) read_key(top);
                    break;  // to the next value
                }
                if (next != closing(top.is_object)) decline();
                value = std::move(top.container);
                open_.pop_back();
            }
        }
    }

    // A key, its colon and the space up to its value.
    [[gnu::always_inline]] void read_key(Open& object) {
        if (peek_byte() != '"') decline();
        ++p_;
        object.key = parse_key();
        skip_space();
        if (peek_byte() != ':') decline();
        ++p_;
        skip_space();
    }

    Ref parse_scalar(unsigned char c) {
        switch (c) {
            case '"':
                ++p_;
                return parse_string();
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

    // The length of the plain ASCII run at the cursor (no escape, no
    // control character, no quote, no byte above 0x7F).
    std::size_t plain_run() const {
        const unsigned char* q = p_;
        while (end_ - q >= 8) {
            std::uint64_t w = load_word(q);
            if (ends_raw_text(w) || (w & kHighs) != 0) break;
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

    // The one object of this document for a key equal to `key`: equal
    // keys are one str within a document, as the interpreter's scanner
    // makes them.
    Ref same_key(const Ref& key) {
        if (!memo_) memo_ = Ref::steal(PyDict_New());
        PyObject* kept = PyDict_SetDefault(memo_.get(), key.get(), key.get());
        if (kept == nullptr) throw_error();
        return Ref::borrow(kept);
    }

    // A key.  Short ASCII ones are looked up in the key table, shared
    // between documents; any other key, and one that the table does not
    // hold, goes through this document's memo.  A key that leaves the table
    // enters the memo, so a key handed out once is found again in one or
    // the other.
    [[gnu::always_inline]] Ref parse_key() {
        std::size_t n = plain_run();
        if (n <= kMaxTableKey && p_ + n != end_ && p_[n] == '"') {
            const unsigned char* text = p_;
            p_ += n + 1;
            return table_key(text, n, Ref());
        }
        Ref key = parse_string();
        auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(key.get()));
        if (PyUnicode_IS_COMPACT_ASCII(key.get()) && length <= kMaxTableKey) {
            const auto* text = static_cast<const unsigned char*>(PyUnicode_DATA(key.get()));
            return table_key(text, length, std::move(key));
        }
        return same_key(key);
    }

    // The key whose text is the n ASCII bytes at `text`, from the table or
    // else `made` (or a new str) as this document's memo has it.
    [[gnu::always_inline]] Ref table_key(const unsigned char* text, std::size_t n, Ref made) {
        std::uint32_t hash = 2166136261U;
        for (std::size_t i = 0; i < n; ++i) hash = (hash ^ text[i]) * 16777619U;
        std::uint32_t mixed = static_cast<std::uint32_t>(hash * 2654435761U);
        PyObject*& slot = key_table[(mixed >> (32 - kKeyTableBits)) & ((1U << kKeyTableBits) - 1)];
        if (slot != nullptr && static_cast<std::size_t>(PyUnicode_GET_LENGTH(slot)) == n &&
            std::memcmp(PyUnicode_DATA(slot), text, n) == 0)
            return Ref::borrow(slot);
        return new_table_key(slot, text, n, std::move(made));
    }

    [[gnu::noinline, gnu::cold]] Ref new_table_key(PyObject*& slot, const unsigned char* text,
                                                  std::size_t n, Ref made) {
        Ref key = made ? std::move(made) : ascii_str(text, n);  // `text` may die from here on
        if (PyObject* name = module_name(key.get())) key = Ref::borrow(name);
        key = same_key(key);
        if (PyUnicode_IS_COMPACT_ASCII(key.get())) {
            if (slot != nullptr) same_key(Ref::borrow(slot));
            Ref evicted = Ref::steal_or_null(slot);  // a str: freeing it runs no code
            slot = Ref(key).release();               // held by the table for good
        }
        return key;
    }

    // The module's own interned name with the text of `key`, a compact
    // ASCII str, if the key is one that the envelope reads or the merge
    // rule sets: handing that out spares them a comparison of text, and
    // interns nothing new.
    static PyObject* module_name(PyObject* key) {
        PyObject* const names[] = {N->meta, N->result, N->frame, N->ts, N->source, N->module,
                                   N->frame_format, N->id, N->type, N->name, N->source_name,
                                   N->source_key, N->output_port_idx, N->frame_id,
                                   N->feed_port_idx, N->encoder, N->with_base64};
        Py_ssize_t length = PyUnicode_GET_LENGTH(key);
        for (PyObject* name : names)
            if (PyUnicode_GET_LENGTH(name) == length &&
                std::memcmp(PyUnicode_DATA(name), PyUnicode_DATA(key), static_cast<std::size_t>(length)) == 0)
                return name;
        return nullptr;
    }

    // After the opening quote, through the closing one.  A string without
    // escapes is made from its bytes in one step; one with escapes is
    // measured first, then written at its narrowest width.
    Ref parse_string() {
        const unsigned char* start = p_;
        const unsigned char* q = start;
        std::uint64_t seen = 0;  // the bytes passed, or'ed: their high bits tell non-ASCII
        while (end_ - q >= 8) {
            std::uint64_t w = load_word(q);
            if (ends_raw_text(w)) break;
            seen |= w;
            q += 8;
        }
        while (q != end_ && *q >= 0x20 && *q != '"' && *q != '\\') seen |= *q++;
        if (q == end_ || *q < 0x20) decline();
        if (*q == '"') {
            p_ = q + 1;
            std::size_t n = static_cast<std::size_t>(q - start);
            if ((seen & kHighs) == 0) return ascii_str(start, n);
            // Through the interpreter's strict decoder, as the bytes'
            // decode() does it; text that is not UTF-8 declines.
            return Ref::steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(start),
                                                   static_cast<Py_ssize_t>(n), "strict"));
        }
        return escaped_string(start);
    }

    // A string with escapes, from `start` (after the opening quote): a
    // first pass counts its code points and finds the widest, a second
    // writes them into a str of exactly that size and width.
    Ref escaped_string(const unsigned char* start) {
        Py_ssize_t length = 0;
        Py_UCS4 widest = 0;
        units_.clear();
        p_ = start;
        for (;;) {
            if (p_ != end_ && *p_ == '\\') {  // escapes often follow each other
                ++p_;
                Py_UCS4 unit = measured_escape();
                ++length;
                if (unit > widest) widest = unit;
                continue;
            }
            // Raw text, eight bytes at a time: every byte but a UTF-8
            // continuation byte starts a code point, and the lead bytes
            // tell the width (the second pass checks each sequence).
            while (end_ - p_ >= 8) {
                std::uint64_t w = load_word(p_);
                if (ends_raw_text(w)) break;
                length += 8 - continuation_bytes(w);
                if ((w & kHighs) != 0) widest = widen(widest, w);
                p_ += 8;
            }
            while (p_ != end_ && *p_ >= 0x20 && *p_ != '"' && *p_ != '\\') {
                unsigned char c = *p_++;
                length += (c & 0xC0U) != 0x80;
                if (c >= 0x80) widest = widen(widest, c);
            }
            unsigned char c = peek_byte();
            ++p_;
            if (c == '"') break;
            if (c != '\\') decline();  // a control character
            Py_UCS4 unit = measured_escape();
            ++length;
            if (unit > widest) widest = unit;
        }
        Ref s = Ref::steal(PyUnicode_New(length, widest));
        p_ = start;
        switch (PyUnicode_KIND(s.get())) {
            case PyUnicode_1BYTE_KIND: fill(PyUnicode_1BYTE_DATA(s.get()), length); break;
            case PyUnicode_2BYTE_KIND: fill(PyUnicode_2BYTE_DATA(s.get()), length); break;
            default: fill(PyUnicode_4BYTE_DATA(s.get()), length); break;
        }
        return s;
    }

    // An escape in the first pass of escaped_string(), after the backslash;
    // the code point of a \u escape (or pair) is kept for the second.
    Py_UCS4 measured_escape() {
        bool hex = p_ != end_ && *p_ == 'u';
        Py_UCS4 unit = escape();
        if (hex) units_.push_back(unit);
        return unit;
    }

    // The widest code point that raw bytes `w` (one to eight, the bytes of
    // a string between escapes) can start, or `widest` if that is wider:
    // lead bytes 0xC4 to 0xEF start code points that a str holds in two
    // bytes (0x100 to 0xFFFF), 0xF0 and above ones it holds in four, and
    // any other byte above 0x7F at most 0xFF.
    static Py_UCS4 widen(Py_UCS4 widest, std::uint64_t w) {
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
    void fill(Char* to, Py_ssize_t length) {
        Py_ssize_t i = 0;
        std::size_t next_unit = 0;  // in units_
        for (;;) {
            // The first pass found every byte up to the quote, so the byte
            // after the cursor's is there to be read.
            unsigned char c = *p_;
            Py_UCS4 unit;
            if (c >= 0x80) {  // UTF-8; text that is not declines
                ++p_;
                unit = utf8_sequence(c);
            } else if (c == '\\') {
                ++p_;
                if (*p_ == 'u') {  // as the first pass read it
                    if (next_unit == units_.size()) decline();
                    unit = units_[next_unit++];
                    p_ += unit > kMaxBmp ? 11 : 5;
                } else {
                    unit = escape();
                }
            } else if (c == '"') {
                ++p_;
                break;
            } else if (p_[1] >= 0x80 || p_[1] == '"' || p_[1] == '\\') {
                ++p_;  // one ASCII character between others
                unit = c;
            } else {  // plain ASCII, in bulk
                std::size_t n = plain_run();
                if (static_cast<std::size_t>(length - i) < n) decline();
                if (sizeof(Char) == 1) {
                    std::memcpy(to + i, p_, n);
                } else {
                    for (std::size_t j = 0; j < n; ++j) to[i + static_cast<Py_ssize_t>(j)] = p_[j];
                }
                i += static_cast<Py_ssize_t>(n);
                p_ += n;
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
    Py_UCS4 utf8_sequence(unsigned char lead) {
        auto follows = [](unsigned char c, unsigned char low = 0x80, unsigned char high = 0xBF) {
            return c >= low && c <= high;
        };
        const unsigned char* q = p_;
        if (lead >= 0xC2 && lead <= 0xDF) {
            if (!follows(q[0])) decline();
            p_ = q + 1;
            return ((lead & 0x1FU) << 6) | (q[0] & 0x3FU);
        }
        if (lead >= 0xE0 && lead <= 0xEF) {
            if (!follows(q[0], lead == 0xE0 ? 0xA0 : 0x80, lead == 0xED ? 0x9F : 0xBF) ||
                !follows(q[1]))
                decline();
            p_ = q + 2;
            return ((lead & 0x0FU) << 12) | ((q[0] & 0x3FU) << 6) | (q[1] & 0x3FU);
        }
        if (lead >= 0xF0 && lead <= 0xF4) {
            if (!follows(q[0], lead == 0xF0 ? 0x90 : 0x80, lead == 0xF4 ? 0x8F : 0xBF) ||
                !follows(q[1]) || !follows(q[2]))
                decline();
            p_ = q + 3;
            return ((lead & 0x07U) << 18) | ((q[0] & 0x3FU) << 12) | ((q[1] & 0x3FU) << 6) |
                   (q[2] & 0x3FU);
        }
        decline();
    }

    // Four hex digits at `at`, or -1.
    long hex4(const unsigned char* at) const {
        if (end_ - at < 4) return -1;
        unsigned a = kHex.value[at[0]], b = kHex.value[at[1]], c = kHex.value[at[2]],
                 d = kHex.value[at[3]];
        if (((a | b | c | d) & 0xF0U) != 0) return -1;
        return static_cast<long>((a << 12) | (b << 8) | (c << 4) | d);
    }

    // After the backslash.
    Py_UCS4 escape() {
        unsigned char c = peek_byte();
        ++p_;
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
    std::size_t max_depth_;
    std::vector<Open> open_;
    std::vector<Py_UCS4> units_;  // the \u escapes of the string being made, as read
    Ref memo_;  // this document's keys, made on the first key the table does not answer
};

}  // namespace

Ref decode_payload_natively(PyObject* json_module, PyObject* loads, PyObject* bytes) {
    if (!json_untouched(json_module, loads)) return Ref();
    int budget = recursion_budget();
    if (budget < 0) return Ref();
    const auto* begin = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes));
    try {
        Decoder decoder(begin, begin + PyBytes_GET_SIZE(bytes), budget);
        return decoder.document();
    } catch (const Decline&) {
    } catch (const PyError&) {
    } catch (...) {  // std::bad_alloc from the stack of open containers
    }
    PyErr_Clear();
    return Ref();
}

}  // namespace pemu
