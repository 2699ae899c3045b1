// Numbers of the native JSON decoder (see json_numbers.h).
#include "json_numbers.h"

#include <string>

namespace pemu {

// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?
Ref decode_number(Cursor& at) {
    const unsigned char* start = at.p;
    bool negative = *at.p == '-';
    if (negative) ++at.p;
    if (at.p == at.end || *at.p < '0' || *at.p > '9') decline();
    if (*at.p == '0')
        ++at.p;
    else
        while (at.p != at.end && *at.p >= '0' && *at.p <= '9') ++at.p;
    const unsigned char* integer_end = at.p;
    bool is_float = false;
    if (at.p != at.end && *at.p == '.') {
        ++at.p;
        if (at.p == at.end || *at.p < '0' || *at.p > '9') decline();
        while (at.p != at.end && *at.p >= '0' && *at.p <= '9') ++at.p;
        is_float = true;
    }
    if (at.p != at.end && (*at.p == 'e' || *at.p == 'E')) {
        ++at.p;
        if (at.p != at.end && (*at.p == '+' || *at.p == '-')) ++at.p;
        if (at.p == at.end || *at.p < '0' || *at.p > '9') decline();
        while (at.p != at.end && *at.p >= '0' && *at.p <= '9') ++at.p;
        is_float = true;
    }
    std::size_t length = static_cast<std::size_t>(at.p - start);
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

}  // namespace pemu
