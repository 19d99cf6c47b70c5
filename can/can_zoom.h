// Set-up of the QEL family's encoded zoom on the focus node (64): motion mode,
// software limits, backlash and the magnification calibration table.
#pragma once

#include <cstdint>

struct SystemInfo;

// The oldest node firmware that takes the set-up.
constexpr int QEL_ENC_ZOOM_MIN_MAJOR = 4;
constexpr int QEL_ENC_ZOOM_MIN_MINOR = 3;

// Writes the lower, then the upper software limit (4 bytes each); the first
// failure is returned.
int qel_enc_zoom_set_soft_limits(int32_t min, int32_t max);

// Motion mode 3, then the configured software limits.
int qel_enc_zoom_set_motion_mode(SystemInfo* info);

// The whole set-up, when the calibration enables the encoded zoom (flags bit
// 0; else 0 at once): the node's firmware must be 4.3 or later
// (ERR_QEL_ENC_ZOOM_FIRMWARE_VERSION_OLD), then motion mode and limits, the
// backlash, and the calibration table (zoom_cal_load). A calibration file
// that cannot be opened leaves the zoom without a table and is not an error.
int qel_enc_zoom_set_backlash(SystemInfo* info);
