// printf-style formatting into std::string, whatever the length.
#pragma once

#include <cstdarg>
#include <string>

#include "platform/compiler.h"

// Appends the formatted text to *text.
void u_append_vformat(std::string* text, const char* format, va_list args);
void u_append_format(std::string* text, const char* format, ...) PLAT_PRINTF_FORMAT(2, 3);

// The formatted text.
std::string u_format(const char* format, ...) PLAT_PRINTF_FORMAT(1, 2);
