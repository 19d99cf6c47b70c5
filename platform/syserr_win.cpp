#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/syserr.h"

bool plat_system_error_message(uint32_t code, char* buffer, std::size_t size) {
    if (size == 0) return false;
    buffer[0] = '\0';
    char local[512];
    const DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), local, sizeof local, nullptr);
    if (n == 0) return false;
    std::snprintf(buffer, size, "%s", local);
    return true;
}

int plat_last_error() {
    return static_cast<int>(GetLastError());
}
