// printf-style formatting into std::string, whatever the length.
#pragma once

#include <cstdarg>
#include <string>

// Appends the formatted text to *text.
void u_append_vformat(std::string* text, const char* format, va_list args);
void u_append_format(std::string* text, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// The formatted text.
std::string u_format(const char* format, ...) __attribute__((format(printf, 1, 2)));
