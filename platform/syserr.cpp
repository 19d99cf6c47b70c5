#include "platform/syserr.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

bool plat_system_error_message(uint32_t code, char* buffer, std::size_t size) {
    if (size == 0) return false;
    buffer[0] = '\0';
    if (code > 0x7FFFFFFF) return false;
    char local[512];
    // GNU strerror_r: returns a pointer that may or may not be the buffer.
    const char* text = strerror_r(static_cast<int>(code), local, sizeof local);
    if (text == nullptr || std::strncmp(text, "Unknown error", 13) == 0) return false;
    std::snprintf(buffer, size, "%s", text);
    return true;
}

int plat_last_error() { return errno; }
