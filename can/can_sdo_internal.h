// Shared by the accessor files of can/.
#pragma once

#include <cstdint>

#include "config/sysinfo.h"

bool can_agc_thread_running();

inline bool can_interface(const SystemInfo* info) {
    return info->instrBdType == SB_BOARD_CAN;
}

// A PI digital scanner: 1 with DDL tables, 2 a ramp scanner.
inline bool can_pi_scanner(const SystemInfo* info) {
    return info->can.digitalScanner == 1 || info->can.digitalScanner == 2;
}

// Bridge firmware newer than major.minor; false without a bridge record.
bool can_bridge_firmware_newer(const SystemInfo* info, int major, int minor);
uint8_t can_bridge_firmware_major(const SystemInfo* info);

struct rr_ramp_hdr_t;
// The ramp trigger's frame number, rounded; false when it is not finite.
bool can_ramp_frame_number(const rr_ramp_hdr_t* header, double* frame);
// A frame number outside its range as the int its message prints.
int can_frame_for_message(double frame);
