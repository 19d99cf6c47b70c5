#include "can/can_lib.h"

#include <mutex>

#include "can/can_lib_testing.h"
#include "common/msg.h"
#include "common/status.h"
#include "platform/dynlib.h"

namespace {
// The library stays loaded for the life of the process: callbacks it runs may
// still be on its own thread when the program's last caller is done with it.
std::mutex g_load_lock;
PlatLibrary* g_library = nullptr;
CanApi g_api{};
bool g_loaded = false;

void report_load_error(int error, const char* entry) {
    if (entry == nullptr)
        u_msg_sink("Error: %d in loading CAN bridge library %s.\n", error, CAN_LIBRARY_NAME);
    else
        u_msg_sink("Error: %d in loading CAN bridge library %s entry %s.\n", error,
                   CAN_LIBRARY_NAME, entry);
}

// Resolves every entry into `api`; false (reported) at the first missing one.
bool resolve_entries(PlatLibrary* library, CanApi* api) {
    int error = 0;
#define CAN_API_RESOLVE(name)                                                            \
    api->name = reinterpret_cast<name##_t>(plat_library_symbol(library, #name, &error)); \
    if (api->name == nullptr) {                                                          \
        report_load_error(error, #name);                                                 \
        return false;                                                                    \
    }
    CAN_ENTRY_LIST(CAN_API_RESOLVE)
#undef CAN_API_RESOLVE
    return true;
}
}  // namespace

const CanApi* can_api() {
    std::lock_guard<std::mutex> guard(g_load_lock);
    if (g_loaded) return &g_api;
    int error = 0;
    PlatLibrary* library = plat_library_load(CAN_LIBRARY_NAME, &error);
    if (library == nullptr) {
        report_load_error(error, nullptr);
        return nullptr;
    }
    CanApi api{};
    if (!resolve_entries(library, &api)) {
        plat_library_free(library);
        return nullptr;
    }
    g_library = library;
    g_api = api;
    g_loaded = true;
    return &g_api;
}

int can_canerr_to_error(int32_t canErr) {
    switch (canErr) {
        case CAN_OK:
            return NO_ERROR;
        case CAN_ERR_GENERAL:
            return ERR_CAN_ERROR;
        case CAN_ERR_NOT_CONNECTED:
            return ERR_CAN_NOT_CONNECTED;
        case CAN_ERR_TIMEOUT:
            return ERR_CAN_TIMEOUT;
        case CAN_ERR_TCP_TRANSMISSION:
            return ERR_CAN_TCP_TRANSMISSION_ERROR;
        case CAN_ERR_BUFFER_TOO_SMALL:
            return ERR_CAN_BUFFER_TOO_SMALL;
        case CAN_ERR_NO_PDO:
            return ERR_CAN_NO_PDO;
        default:
            return ERR_UNKNOWN;
    }
}

bool can_get_library_version(int* major, int* minor) {
    *major = 0;
    *minor = 0;
    if (can_api() == nullptr) return false;
    std::lock_guard<std::mutex> guard(g_load_lock);
    return plat_library_version(g_library, major, minor);
}

void can_api_forget_for_test() {
    std::lock_guard<std::mutex> guard(g_load_lock);
    g_loaded = false;
    g_library = nullptr;
    g_api = CanApi{};
}
