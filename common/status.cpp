#include "common/status.h"

#include <cstdio>
#include <cstring>

#include "platform/syserr.h"

const char* const u_error_names[U_STATUS_CODE_END] = {
    "",
#define U_STATUS_NAME_ENTRY(name) #name,
    U_STATUS_CODE_LIST(U_STATUS_NAME_ENTRY)
#undef U_STATUS_NAME_ENTRY
};

const char* u_error_name(int32_t code) {
    // Worker threads print these too, so each thread has its own text.
    thread_local char text[512];
    if (code == 0) {
        std::snprintf(text, sizeof text, "NO_ERROR");
    } else if (code >= 1 && code <= U_STATUS_CODE_MAX) {
        std::snprintf(text, sizeof text, "%s", u_error_names[code]);
    } else {
        std::snprintf(text, sizeof text, "invalid error number %d", static_cast<int>(code));
    }
    return text;
}

const char* u_phase_res_name(int kind) {
    thread_local char text[64];
    const char* name = kind == 0 ? "LO" : kind == 1 ? "HI" : kind == 2 ? "SUPER" : "UNKNOWN";
    std::snprintf(text, sizeof text, "%s (%d)", name, kind);
    return text;
}

void u_system_error_text(uint32_t code, char* buffer) {
    constexpr std::size_t size = 512;
    if (!plat_system_error_message(code, buffer, size)) {
        std::snprintf(buffer, size, "System error code 0x%8.8X", static_cast<unsigned>(code));
        return;
    }
    // Only the first line, without its line end.
    if (char* cr = std::strchr(buffer, '\r')) *cr = '\0';
    if (char* lf = std::strchr(buffer, '\n')) *lf = '\0';
}
