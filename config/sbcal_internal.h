// Pieces shared by the calibration file reader and writer.
#pragma once

#include <string>
#include <string_view>

#include "platform/compiler.h"

// The messages of one read or write. The first message is preceded by the
// heading and the place (file or "+" text); the count decides the ten-message
// limit of a read and whether a read counts as failed.
struct SbMessages {
    std::string heading;
    std::string place;
    int count = 0;

    void report(const char* format, ...) PLAT_PRINTF_FORMAT(2, 3);
};

// Token classes of the calibration file's lexer.
inline bool sb_is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}
inline bool sb_is_digit(char c) {
    return c >= '0' && c <= '9';
}

// True when the text at `s` starts a number token: a digit, or a sign and/or a
// point followed by a digit.
inline bool sb_starts_number(std::string_view s) {
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (i < s.size() && s[i] == '.') ++i;
    return i < s.size() && sb_is_digit(s[i]);
}

// Longest unquoted word, and longest quoted one.
constexpr std::size_t SB_MAX_WORD = 80;
constexpr std::size_t SB_MAX_QUOTED = 1023;
// Longest line kept; a longer line is a syntax error.
constexpr std::size_t SB_MAX_LINE = 65536;

// FTPDisper values lie within plus or minus 2 pi.
constexpr double SB_FTP_DISPER_LIMIT = 6.283185307179586;
