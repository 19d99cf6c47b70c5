// The CAN bridge library, loaded at run time on first use, and the
// translation of its result codes.
#pragma once

#include <cstdint>

#include "can/can_api.h"

// The 17 entry points of the loaded library.
struct CanApi {
#define CAN_API_MEMBER(name) name##_t name;
    CAN_ENTRY_LIST(CAN_API_MEMBER)
#undef CAN_API_MEMBER
};

// The bridge library's entry points, loading it on first use. Null when the
// library or one of its entries is missing: one line naming it with the
// system error number (126: no library, 127: no entry) has then been
// printed, and the caller's operation returns ERR_CAN_NOT_AVAIL. A failed
// load is tried again at the next call.
const CanApi* can_api();

// Maps a bridge library result code to a status code: 1 -> 0 (success),
// -1 ERR_CAN_ERROR, -2 ERR_CAN_NOT_CONNECTED, -3 ERR_CAN_TIMEOUT,
// -4 ERR_CAN_TCP_TRANSMISSION_ERROR, -5 ERR_CAN_BUFFER_TOO_SMALL,
// -6 ERR_CAN_NO_PDO, anything else ERR_UNKNOWN.
int can_canerr_to_error(int32_t canErr);

// The loaded library's version (0.0 when its file carries none). False, both
// 0, when the library cannot be loaded.
bool can_get_library_version(int* major, int* minor);
