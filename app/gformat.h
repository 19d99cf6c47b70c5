// Number formatting for the grid-sag text, character for character what
// printf's "%g" writes, without the cost of a format-string parse per value.
#pragma once

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

// The same, faster for the usual magnitudes: the six significant digits come
// from one correctly rounded scaling by an exact power of ten, and whenever
// that cannot decide the rounding (a value near a tie, or a magnitude whose
// power of ten is not exact) the exact conversion writes the text instead.
inline char* gformat(char* p, double value) {
    static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (value == 0) {
        if (std::signbit(value)) *p++ = '-';
        *p++ = '0';
        return p;
    }
    double a = std::fabs(value);
    int e2;
    std::frexp(a, &e2);
    // floor(log10(a)) or one less.
    int x = static_cast<int>(std::floor((e2 - 1) * 0.30102999566398120));
    if (x < -16 || x > 26) return gformat_exact(p, value);
    auto scaled = [a](int exp10) {
        const int shift = 5 - exp10;
        return shift >= 0 ? a * kPow10[shift] : a / kPow10[-shift];
    };
    double m = scaled(x);
    if (m >= 1e6) m = scaled(++x);
    const double frac = m - std::floor(m);
    if (std::fabs(frac - 0.5) < 1e-6) return gformat_exact(p, value);
    int64_t digits = static_cast<int64_t>(m + 0.5);
    if (digits >= 1000000) {
        digits /= 10;
        ++x;
    }
    char d[6];
    for (int i = 5; i >= 0; --i) {
        d[i] = static_cast<char>('0' + digits % 10);
        digits /= 10;
    }
    int n = 6;  // significant digits left after dropping trailing zeros
    while (n > 1 && d[n - 1] == '0') --n;
    if (value < 0) *p++ = '-';
    if (x >= -4 && x < 6) {
        if (x >= 0) {
            for (int i = 0; i <= x; ++i) *p++ = i < n ? d[i] : '0';
            if (n > x + 1) {
                *p++ = '.';
                for (int i = x + 1; i < n; ++i) *p++ = d[i];
            }
        } else {
            *p++ = '0';
            *p++ = '.';
            for (int i = 0; i < -x - 1; ++i) *p++ = '0';
            for (int i = 0; i < n; ++i) *p++ = d[i];
        }
        return p;
    }
    *p++ = d[0];
    if (n > 1) {
        *p++ = '.';
        for (int i = 1; i < n; ++i) *p++ = d[i];
    }
    *p++ = 'e';
    *p++ = x < 0 ? '-' : '+';
    const int ax = x < 0 ? -x : x;
    *p++ = static_cast<char>('0' + ax / 10);
    *p++ = static_cast<char>('0' + ax % 10);
    return p;
}
