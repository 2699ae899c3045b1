// Numbers of the native JSON decoder (see json_numbers.h).
#include "json_numbers.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <string>

namespace pemu {

namespace {

// The powers of ten that a double holds exactly.
constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kMaxExactPower = 22;
constexpr std::uint64_t kMaxExactSignificand = std::uint64_t{1} << 53;
// More digits than this may not fit the 64-bit significand.
constexpr int kMaxSignificandDigits = 19;

// The digits at the cursor, the cursor past them, added to `significand`
// (`digits` counts them): past 19 digits it wraps, and is not used then.
inline void read_digits(Cursor& at, std::uint64_t& significand, std::ptrdiff_t& digits) {
    const unsigned char* first = at.p;
    std::uint64_t sum = significand;
    for (unsigned digit; (digit = static_cast<unsigned>(*at.p) - '0') <= 9; ++at.p)
        sum = sum * 10 + digit;  // the NUL at the end stops it
    significand = sum;
    digits += at.p - first;
}

// A number the steps above do not convert exactly, through the
// interpreter's own conversions, from its text.
[[gnu::noinline, gnu::cold]] Ref number_from_text(const unsigned char* start, std::size_t length,
                                                  bool is_float) {
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

// The double nearest to significand * 10^exponent, when one operation of
// the floating-point unit gives it: the significand and the power of ten
// are both exact doubles, and a product or quotient of exact operands is
// rounded once, to nearest even, as the interpreter's own conversion
// rounds the decimal text.
inline bool exact_double(std::uint64_t significand, int exponent, double& value) {
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD == 0  // no wider intermediate to round twice
    if (significand > kMaxExactSignificand || exponent < -kMaxExactPower || exponent > kMaxExactPower)
        return false;
    auto d = static_cast<double>(significand);
    value = exponent < 0 ? d / kExactPowers[-exponent] : d * kExactPowers[exponent];
    return true;
#else
    (void)significand, (void)exponent, (void)value;
    return false;
#endif
}

#if defined(__SIZEOF_INT128__)
using Wide = unsigned __int128;

// 5^0 to 5^27, the powers of five below 2^63.
struct PowersOfFive {
    std::uint64_t value[28];
    constexpr PowersOfFive() : value() {
        std::uint64_t p = 1;
        for (int i = 0; i < 28; ++i, p *= 5) value[i] = p;
    }
};
constexpr PowersOfFive kFives;
constexpr int kMaxWidePower = 27;

inline int bit_length(Wide x) {
    auto high = static_cast<std::uint64_t>(x >> 64);
    return high != 0 ? 128 - __builtin_clzll(high)
                     : 64 - __builtin_clzll(static_cast<std::uint64_t>(x));
}

// The double nearest x * 2^scale for a nonzero x, `inexact` when x is
// below the exact value by less than one unit of its last bit: x's first
// 53 bits, rounded once by the bits below them (to nearest, ties to even,
// a tie being one only when nothing was dropped before).  The results of
// the conversion below lie far inside the range of normal doubles, where
// scaling by a power of two is exact.
inline double rounded(Wide x, bool inexact, int scale) {
    int drop = bit_length(x) - 53;
    if (drop <= 0) return std::ldexp(static_cast<double>(static_cast<std::uint64_t>(x)), scale);
    Wide kept = x >> drop;
    Wide rest = x & ((Wide{1} << drop) - 1);
    Wide half = Wide{1} << (drop - 1);
    if (rest > half || (rest == half && (inexact || (kept & 1) != 0))) {
        ++kept;
        if (kept == Wide{1} << 53) {
            kept >>= 1;
            ++drop;
        }
    }
    return std::ldexp(static_cast<double>(static_cast<std::uint64_t>(kept)), drop + scale);
}
#endif

// The same for any 64-bit significand (a clock reading has 17 digits) and
// a power of ten up to 10^27, in integers: 10^e is 5^e * 2^e, and 5^e is
// below 2^63.  Times 10^e: the product of significand and 5^e is exact in
// 128 bits.  Over 10^e: the significand, shifted to fill 128 bits, over 5^e
// gives a quotient of over 64 bits and a remainder that says whether it
// is exact.  Either is rounded to 53 bits once (rounded() above).
inline bool wide_double(std::uint64_t significand, int exponent, double& value) {
#if defined(__SIZEOF_INT128__)
    if (significand == 0 || exponent < -kMaxWidePower || exponent > kMaxWidePower) return false;
    if (exponent >= 0) {
        Wide product = Wide{significand} * kFives.value[exponent];
        value = rounded(product, false, exponent);
        return true;
    }
    int shift = 64 + __builtin_clzll(significand);
    Wide numerator = Wide{significand} << shift;
    std::uint64_t divisor = kFives.value[-exponent];
    Wide quotient = numerator / divisor;
    bool inexact = numerator - quotient * divisor != 0;
    value = rounded(quotient, inexact, exponent - shift);
    return true;
#else
    (void)significand, (void)exponent, (void)value;
    return false;
#endif
}

}  // namespace

// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?
Ref decode_number(Cursor& at) {
    const unsigned char* start = at.p;
    bool negative = *at.p == '-';
    if (negative) ++at.p;
    if (*at.p < '0' || *at.p > '9') decline();
    std::uint64_t significand = 0;  // of the first 19 digits, with the fraction's
    std::ptrdiff_t digits = 0;
    if (*at.p == '0') {
        ++at.p;
        digits = 1;
    } else {
        read_digits(at, significand, digits);
    }
    bool is_float = false;
    int exponent = 0;  // of the significand, while it holds every digit
    if (*at.p == '.') {
        ++at.p;
        if (*at.p < '0' || *at.p > '9') decline();
        const unsigned char* fraction = at.p;
        read_digits(at, significand, digits);
        exponent = -static_cast<int>(at.p - fraction);
        is_float = true;
    }
    if (*at.p == 'e' || *at.p == 'E') {
        ++at.p;
        bool negative_exponent = *at.p == '-';
        if (*at.p == '+' || *at.p == '-') ++at.p;
        if (*at.p < '0' || *at.p > '9') decline();
        int written = 0;  // saturates far beyond any exact power
        for (; *at.p >= '0' && *at.p <= '9'; ++at.p)
            if (written < 100000) written = written * 10 + (*at.p - '0');
        exponent += negative_exponent ? -written : written;
        is_float = true;
    }
    if (!is_float) {
        if (digits <= 18)
            return Ref::steal(PyLong_FromLongLong(negative ? -static_cast<long long>(significand)
                                                           : static_cast<long long>(significand)));
    } else {
        double value;
        if (digits <= kMaxSignificandDigits && (exact_double(significand, exponent, value) ||
                                                 wide_double(significand, exponent, value)))
            return Ref::steal(PyFloat_FromDouble(negative ? -value : value));
    }
    return number_from_text(start, static_cast<std::size_t>(at.p - start), is_float);
}

}  // namespace pemu
