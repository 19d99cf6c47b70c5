// Status codes: every failing operation of the library returns one of these.
// 0 is success; 1 to 462 name the failure causes (see status_list.h).
#pragma once

#include <cstdint>

#include "common/status_list.h"

enum UStatusCode : int32_t {
    NO_ERROR = 0,
#define U_STATUS_ENUM_ENTRY(name) name,
    U_STATUS_CODE_LIST(U_STATUS_ENUM_ENTRY)
#undef U_STATUS_ENUM_ENTRY
    U_STATUS_CODE_END
};

// The highest status code.
constexpr int32_t U_STATUS_CODE_MAX = U_STATUS_CODE_END - 1;

static_assert(U_STATUS_CODE_MAX == 462);
static_assert(ERR_ALL_BAD_DATA == 27 && ERR_CANT_CREATE_FILE == 116 && ERR_CANT_OPEN_FILE == 120);
static_assert(ERR_CORRUPT_DATA_FILE == 134 && ERR_LATERAL_RES_UNKNOWN == 247 && ERR_NO_MEM == 320);
static_assert(ERR_PARAM_OUT_OF_RANGE == 333 && ERR_PREMATURE_EOF == 353 && ERR_ZOOM_TIMEOUT == 462);

// Name table indexed by code: entry 0 is the empty text, entry n the name of code n.
extern const char* const u_error_names[U_STATUS_CODE_END];

// The name of a status code: "NO_ERROR" for 0, the table's name for 1..462,
// "invalid error number %d" otherwise. The text lives in a buffer of the calling
// thread, overwritten by that thread's next call.
const char* u_error_name(int32_t code);

// The name of a phase-resolution kind: "LO (0)", "HI (1)", "SUPER (2)", else
// "UNKNOWN (n)". Thread-local buffer, overwritten by the thread's next call.
const char* u_phase_res_name(int kind);

// The text of an operating-system error code, first line only, into a caller's
// buffer of 512 bytes; "System error code 0x%8.8X" when the system has none.
void u_system_error_text(uint32_t code, char* buffer);
