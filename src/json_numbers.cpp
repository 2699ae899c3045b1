// Numbers of the native JSON decoder (see json_numbers.h).
#include "json_numbers.h"

#include <cfloat>
#include <cstdint>
#include <limits>
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

// The powers of ten that the x87 extended format (64-bit significand) holds
// exactly: 5^27 < 2^64.
constexpr long double kExtendedPowers[] = {
    1e0L,  1e1L,  1e2L,  1e3L,  1e4L,  1e5L,  1e6L,  1e7L,  1e8L,  1e9L,
    1e10L, 1e11L, 1e12L, 1e13L, 1e14L, 1e15L, 1e16L, 1e17L, 1e18L, 1e19L,
    1e20L, 1e21L, 1e22L, 1e23L, 1e24L, 1e25L, 1e26L, 1e27L};
constexpr int kMaxExtendedPower = 27;

// Whether long double arithmetic really carries 64 bits at run time: an
// emulator may carry out x87 operations on doubles (valgrind does), which
// would round twice where the reasoning below counts on once.
bool extended_is_exact() {
    volatile std::uint64_t probe = ~std::uint64_t{0};  // 2^64 - 1, read at run time
    auto held = static_cast<long double>(probe);
    return held - 18446744073709551614.0L == 1.0L;
}

// The same for any 64-bit significand (a clock reading has 17 digits) where
// long double is the x87 extended format: significand and power are exact
// there, and one operation rounds the exact value x to r with 64 bits.
// Rounding r again to a double gives the double nearest x unless r is
// itself halfway between two doubles (its 11 bits below a double's 53 are
// 10000000000): a halfway point h is a long double, so rounding to 64 bits,
// being monotonic, cannot carry x across h; only onto it.  Then false.
inline bool extended_double(std::uint64_t significand, int exponent, double& value) {
    if constexpr (std::numeric_limits<long double>::digits == 64) {
        static const bool exact = extended_is_exact();
        if (!exact || exponent < -kMaxExtendedPower || exponent > kMaxExtendedPower ||
            significand == 0)
            return false;
        auto x = static_cast<long double>(significand);
        long double r = exponent < 0 ? x / kExtendedPowers[-exponent] : x * kExtendedPowers[exponent];
        std::uint64_t bits;  // the explicit 64-bit significand, first in memory
        std::memcpy(&bits, &r, sizeof bits);
        if ((bits & 0x7FFU) == 0x400U) return false;
        value = static_cast<double>(r);
        return true;
    } else {
        (void)significand, (void)exponent, (void)value;
        return false;
    }
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
                                                 extended_double(significand, exponent, value)))
            return Ref::steal(PyFloat_FromDouble(negative ? -value : value));
    }
    return number_from_text(start, static_cast<std::size_t>(at.p - start), is_float);
}

}  // namespace pemu
