// Number formatting for the grid-sag text, character for character what
// printf's "%g" writes, without the cost of a format-string parse per value.
#pragma once

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

// Room for any "%g" text of a double (sign, 6 digits, point, exponent).
constexpr int GFORMAT_MAX_CHARS = 16;

// Writes `value` as "%g" would at p (at least GFORMAT_MAX_CHARS free) and
// returns the end. Only finite values are passed here.
inline char* gformat_exact(char* p, double value) {
    return std::to_chars(p, p + GFORMAT_MAX_CHARS, value, std::chars_format::general, 6).ptr;
}

namespace gformat_detail {

// The three digits of 0..999 as bytes 0 to 2, the first in the low byte.
constexpr std::array<uint32_t, 1000> kTriples = [] {
    std::array<uint32_t, 1000> t{};
    for (uint32_t i = 0; i < 1000; ++i)
        t[i] = ('0' + i / 100) | ('0' + i / 10 % 10) << 8 | ('0' + i % 10) << 16;
    return t;
}();

// Stores the eight bytes of w at p, the low byte first.
inline void store8(char* p, uint64_t w) {
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    std::memcpy(p, &w, 8);
}

// The powers of ten that are exact in double.
constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

}  // namespace gformat_detail

// The "%g" text of a nonzero value given its sign, its six significant digits
// d6 (100000 to 999999, rounded) and its decimal exponent x.
inline char* gformat_digits(char* p, bool negative, uint32_t d6, int x) {
    using gformat_detail::kTriples;
    using gformat_detail::store8;
    // The six digits as bytes 0 to 5 of w, bytes 6 and 7 zero.
    const uint32_t hi = d6 / 1000, lo = d6 - hi * 1000;
    const uint64_t w = kTriples[hi] | uint64_t{kTriples[lo]} << 24;
    // Significant digits left after dropping trailing zeros: the high zero
    // bytes of the digits less '0' (the first digit is never '0').
    const int n = 8 - std::countl_zero(w ^ 0x0000303030303030ull) / 8;
    if (negative) *p++ = '-';
    if (x >= 0 && x < 6) {
        store8(p, w);  // the integer part is the first x + 1 digits
        p += x + 1;
        if (n > x + 1) {
            *p++ = '.';
            store8(p, w >> (8 * (x + 1)));
            p += n - x - 1;
        }
        return p;
    }
    if (x < 0 && x >= -4) {
        std::memcpy(p, "0.000000", 8);
        p += 1 - x;  // "0." and -x - 1 zeros
        store8(p, w);
        return p + n;
    }
    *p = static_cast<char>(w);
    p[1] = '.';
    store8(p + 2, w >> 8);
    p += n > 1 ? n + 1 : 1;
    *p++ = 'e';
    *p++ = x < 0 ? '-' : '+';
    const int ax = x < 0 ? -x : x;
    *p++ = static_cast<char>('0' + ax / 10);
    *p++ = static_cast<char>('0' + ax % 10);
    return p;
}

// The same as gformat_exact, faster for the usual magnitudes: the six
// significant digits come from one correctly rounded scaling by an exact power
// of ten (its error is below 2^-33 for a result under 10^6), and whenever that
// cannot decide the rounding (a value within 10^-6 of a tie, a subnormal, or a
// magnitude whose power of ten is not exact) the exact conversion writes the
// text instead.
inline char* gformat(char* p, double value) {
    using gformat_detail::kPow10;
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const uint64_t magnitude = bits & 0x7FFFFFFFFFFFFFFFull;
    if (magnitude == 0) {
        if (bits != 0) *p++ = '-';
        *p++ = '0';
        return p;
    }
    const int e2 = static_cast<int>(magnitude >> 52) - 1023;
    // floor(log10(2^e2)) for |e2| < 2600: floor(log10(a)) or one less. Below
    // -56 and above 86 the power of ten needed is not exact.
    if (e2 < -56 || e2 > 86) return gformat_exact(p, value);
    int x = (e2 * 78913) >> 18;
    const double a = std::fabs(value);
    auto scaled = [a](int exp10) {
        const int shift = 5 - exp10;
        return shift >= 0 ? a * kPow10[shift] : a / kPow10[-shift];
    };
    double m = scaled(x);
    if (m >= 1e6) m = scaled(++x);
    // m < 10^6 < 2^53: the integer part and the fraction are exact.
    int64_t digits = static_cast<int64_t>(m);
    const double frac = m - static_cast<double>(digits);
    if (frac > 0.5 - 1e-6 && frac < 0.5 + 1e-6) return gformat_exact(p, value);
    digits += frac > 0.5;
    if (digits >= 1000000) {
        digits = 100000;
        ++x;
    }
    return gformat_digits(p, (bits >> 63) != 0, static_cast<uint32_t>(digits), x);
}
