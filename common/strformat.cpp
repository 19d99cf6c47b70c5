#include "common/strformat.h"

#include <cstdio>

void u_append_vformat(std::string* text, const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0) return;
    const std::size_t at = text->size();
    text->resize(at + static_cast<std::size_t>(n));
    // The buffer holds n characters and the terminator std::string keeps.
    std::vsnprintf(text->data() + at, static_cast<std::size_t>(n) + 1, format, args);
}

void u_append_format(std::string* text, const char* format, ...) {
    va_list args;
    va_start(args, format);
    u_append_vformat(text, format, args);
    va_end(args);
}

std::string u_format(const char* format, ...) {
    std::string text;
    va_list args;
    va_start(args, format);
    u_append_vformat(&text, format, args);
    va_end(args);
    return text;
}
