// Node wrappers (availability check, then the dual-motor accessor with the
// node's own SDO error) and the operations of more than one transfer.
#include "can/can_events.h"
#include "can/can_sdo.h"
#include "can/can_sdo_internal.h"
#include "common/abort.h"
#include "common/log.h"
#include "common/msg.h"
#include "common/status.h"
#include "platform/clock.h"
#include "platform/event.h"

namespace {
struct NodeWrapper {
    uint8_t node;
    int sdoError;
    const char* absentFormat;
};

const NodeWrapper kRingSpot = {CAN_NODE_RING_SPOT, ERR_CAN_SDO_ROF_ERROR,
                               "%s: CAN Ring-of-Fire and Diffuser Disk node is not available\n"};
const NodeWrapper kZoomDisk = {CAN_NODE_ZOOM_DISK, ERR_CAN_SDO_ZOOM_ERROR,
                               "%s: CAN Zoom and Diffuser Disk node is not available\n"};
const NodeWrapper kFocusNdw = {CAN_NODE_FOCUS_NDW, ERR_CAN_SDO_NDW_ERROR,
                               "%s: CAN Focus and ND Wheel node is not available\n"};

bool present(const SystemInfo* info, const NodeWrapper& w) {
    switch (w.node) {
        case CAN_NODE_RING_SPOT:
            return info->can.ringSpotPresent == 1;
        case CAN_NODE_ZOOM_DISK:
            return info->can.zoomDiskPresent == 1;
        case CAN_NODE_FOCUS_NDW:
            return info->can.focusNdwPresent == 1;
        default:
            return false;
    }
}

bool available(const SystemInfo* info, const NodeWrapper& w, const char* caller) {
    if (present(info, w)) return true;
    u_msg_stamped(w.absentFormat, caller);
    return false;
}

int translate(int err, const NodeWrapper& w) {
    return err == ERR_CAN_SDO_DMD_ERROR ? w.sdoError : err;
}

// Runs a dual-motor accessor for a wrapped node.
#define CAN_WRAP(wrapper, name, call)                                       \
    do {                                                                    \
        if (!available(info, wrapper, name)) return ERR_CAN_NODE_NOT_AVAIL; \
        return translate(call, wrapper);                                    \
    } while (0)
}  // namespace

// ---- Ring/spot disk ---------------------------------------------------------

int can_read_rs_dd_control(SystemInfo* info, uint8_t* control) {
    CAN_WRAP(kRingSpot, "can_read_rs_dd_control",
             can_read_dmd_motor1_control(info, CAN_NODE_RING_SPOT, control));
}
int can_write_rs_dd_control(SystemInfo* info, uint8_t control) {
    CAN_WRAP(kRingSpot, "can_write_rs_dd_control",
             can_write_dmd_motor1_control(info, CAN_NODE_RING_SPOT, control));
}
int can_write_rs_dd_mode(SystemInfo* info, int mode) {
    CAN_WRAP(kRingSpot, "can_write_rs_dd_mode",
             can_write_dmd_motor1_mode(info, CAN_NODE_RING_SPOT, mode));
}
int can_read_rs_status(SystemInfo* info, uint8_t* status) {
    CAN_WRAP(kRingSpot, "can_read_rs_status",
             can_read_dmd_motor2_status(info, CAN_NODE_RING_SPOT, status));
}
int can_write_rs_current(SystemInfo* info, int16_t current) {
    CAN_WRAP(kRingSpot, "can_write_rs_current",
             can_write_dmd_motor2_current(info, CAN_NODE_RING_SPOT, current));
}
int can_read_rs_maxCurrent(SystemInfo* info, int16_t* current) {
    CAN_WRAP(kRingSpot, "can_read_rs_maxCurrent",
             can_read_dmd_motor2_maxCurrent(info, CAN_NODE_RING_SPOT, current));
}
int can_read_rs_position(SystemInfo* info, uint8_t* position) {
    CAN_WRAP(kRingSpot, "can_read_rs_position",
             can_read_dmd_motor2_position(info, CAN_NODE_RING_SPOT, position));
}
int can_read_rs_keypress_mode(SystemInfo* info, uint8_t* mode) {
    CAN_WRAP(kRingSpot, "can_read_rs_keypress_mode",
             can_read_dmd_keypress_mode(info, CAN_NODE_RING_SPOT, mode));
}
int can_write_rs_keypress_mode(SystemInfo* info, uint8_t mode) {
    CAN_WRAP(kRingSpot, "can_write_rs_keypress_mode",
             can_write_dmd_keypress_mode(info, CAN_NODE_RING_SPOT, mode));
}

// ---- Zoom disk --------------------------------------------------------------

int can_read_zoom_dd_control(SystemInfo* info, uint8_t* control) {
    CAN_WRAP(kZoomDisk, "can_read_zoom_dd_control",
             can_read_dmd_motor1_control(info, CAN_NODE_ZOOM_DISK, control));
}
int can_write_zoom_dd_control(SystemInfo* info, uint8_t control) {
    CAN_WRAP(kZoomDisk, "can_write_zoom_dd_control",
             can_write_dmd_motor1_control(info, CAN_NODE_ZOOM_DISK, control));
}
int can_write_zoom_dd_mode(SystemInfo* info, int mode) {
    CAN_WRAP(kZoomDisk, "can_write_zoom_dd_mode",
             can_write_dmd_motor1_mode(info, CAN_NODE_ZOOM_DISK, mode));
}
int can_write_zoom_dd_targetVel(SystemInfo* info, double velocity) {
    if (!available(info, kZoomDisk, "can_write_zoom_dd_targetVel")) return ERR_CAN_NODE_NOT_AVAIL;
    int err = can_write_dmd_motor1_targetVel(info, CAN_NODE_ZOOM_DISK, velocity);
    if (err == NO_ERROR) info->can.zoomDiskVelocity = static_cast<float>(velocity);
    return translate(err, kZoomDisk);
}
int can_read_zoom_keypress_mode(SystemInfo* info, uint8_t* mode) {
    CAN_WRAP(kZoomDisk, "can_read_zoom_keypress_mode",
             can_read_dmd_keypress_mode(info, CAN_NODE_ZOOM_DISK, mode));
}
int can_write_zoom_keypress_mode(SystemInfo* info, uint8_t mode) {
    CAN_WRAP(kZoomDisk, "can_write_zoom_keypress_mode",
             can_write_dmd_keypress_mode(info, CAN_NODE_ZOOM_DISK, mode));
}

// ---- Focus and ND wheel -------------------------------------------------------

int can_read_ndw_llcLevel(SystemInfo* info, uint16_t* level, bool invert) {
    CAN_WRAP(kFocusNdw, "can_read_ndw_llcLevel",
             can_read_dmd_motor2_llcLevel(info, CAN_NODE_FOCUS_NDW, level, invert));
}
int can_write_ndw_control(SystemInfo* info, uint8_t control) {
    CAN_WRAP(kFocusNdw, "can_write_ndw_control",
             can_write_dmd_motor2_control(info, CAN_NODE_FOCUS_NDW, control));
}
int can_read_ndw_status(SystemInfo* info, uint8_t* status) {
    CAN_WRAP(kFocusNdw, "can_read_ndw_status",
             can_read_dmd_motor2_status(info, CAN_NODE_FOCUS_NDW, status));
}
int can_read_focus_keypress_mode(SystemInfo* info, uint8_t* mode) {
    CAN_WRAP(kFocusNdw, "can_read_focus_keypress_mode",
             can_read_dmd_keypress_mode(info, CAN_NODE_FOCUS_NDW, mode));
}
int can_write_focus_keypress_mode(SystemInfo* info, uint8_t mode) {
    CAN_WRAP(kFocusNdw, "can_write_focus_keypress_mode",
             can_write_dmd_keypress_mode(info, CAN_NODE_FOCUS_NDW, mode));
}

int can_write_ndw_llcLevel(SystemInfo* info, uint16_t level, bool invert) {
    static const char* const kName = "can_write_ndw_llcLevel";
    if (!available(info, kFocusNdw, kName)) return ERR_CAN_NODE_NOT_AVAIL;
    can_poll_events(info);
    // Waiters for the wheel's stop see it move from here; the ND-wheel PDO sets
    // the event again when the motion ends.
    PlatWaitable* stopped = plat_named_open("CAN_NDWHEEL_STOPPED");
    if (stopped != nullptr) plat_event_reset(stopped);
    int err = translate(can_write_dmd_motor2_llcLevel(info, CAN_NODE_FOCUS_NDW, level, invert),
                        kFocusNdw);
    if (err != NO_ERROR && stopped != nullptr) plat_event_set(stopped);
    plat_handle_close(stopped);
    return err;
}

namespace {
constexpr uint8_t NDW_HOME_SEARCHING = 0x08;
constexpr uint8_t NDW_HOME_FAILED = 0x10;

// The ND wheel's home status (bits 3-4) and moving flag, read by SDO or taken
// from the event queues; both end up in the decoder memory.
int refresh_ndw(SystemInfo* info, bool poll, uint8_t* home, bool* moving) {
    if (poll) {
        uint8_t status = 0;
        int err = can_read_ndw_status(info, &status);
        if (err != NO_ERROR) return err;
        can_set_ndw_status(static_cast<uint8_t>(status & 0x18), (status & 0x02) != 0);
    } else {
        can_poll_events(info);
    }
    CanDecoderMemory memory = can_decoder_memory();
    *home = memory.ndwHomeStatus;
    *moving = memory.ndwMoving;
    return NO_ERROR;
}
}  // namespace

int can_home_ndw(SystemInfo* info, bool poll, int limitMs) {
    static const char* const kName = "can_home_ndw";
    if (!available(info, kFocusNdw, kName)) return ERR_CAN_NODE_NOT_AVAIL;
    uint8_t home = NDW_HOME_SEARCHING;
    bool moving = can_decoder_memory().ndwMoving;
    can_set_ndw_status(home, moving);
    int err = can_write_ndw_control(info, 3);
    if (err != NO_ERROR) return err;
    // Time is counted in the 100 ms steps waited, over both phases.
    int elapsed = 0;
    while (home == NDW_HOME_SEARCHING) {
        if (elapsed >= limitMs) {
            u_msg_sink("%s: timeout waiting for home search, time=%d ms\n", kName, elapsed);
            return ERR_CAN_NDW_HOME_ERROR;
        }
        plat_sleep_ms(100);
        u_idle();
        elapsed += 100;
        if ((err = refresh_ndw(info, poll, &home, &moving)) != NO_ERROR) return err;
    }
    if (home == NDW_HOME_FAILED) {
        u_msg_sink("%s: llcHomeStatus=%d\n", kName, home);
        return ERR_CAN_NDW_HOME_ERROR;
    }
    moving = true;
    can_set_ndw_status(home, moving);
    while (moving) {
        if (elapsed >= limitMs) {
            u_msg_sink("%s: timeout waiting for move to initial position, time=%d ms\n", kName,
                       elapsed);
            return ERR_CAN_NDW_HOME_ERROR;
        }
        plat_sleep_ms(100);
        u_idle();
        elapsed += 100;
        if ((err = refresh_ndw(info, poll, &home, &moving)) != NO_ERROR) return err;
    }
    return NO_ERROR;
}

int can_move_ring_spot(SystemInfo* info, int position, bool wait) {
    if (position != 0 && position != 1) return ERR_INVALID_PARAM;
    int32_t type = info->systemType;
    if (type != 23 && type != 30 && type != 32) return NO_ERROR;
    if (info->can.ringSpotPresent != 1 || info->can.ringSpotRequired != 1) return NO_ERROR;
    uint8_t where = 0;
    int err = can_read_rs_position(info, &where);
    if (err != NO_ERROR) return err;
    if ((where == 1 && position == 0) || (where == 2 && position == 1)) return NO_ERROR;
    uint8_t keys = 0;
    if ((err = can_read_rs_keypress_mode(info, &keys)) != NO_ERROR) return err;
    // Local keys are off while the disk moves.
    err = can_write_rs_keypress_mode(info, static_cast<uint8_t>(keys & ~0x02u));
    if (err == NO_ERROR) {
        int16_t maxCurrent = 0;
        err = can_read_rs_maxCurrent(info, &maxCurrent);
        if (err == NO_ERROR)
            err = can_write_rs_current(
                info, position == 1 ? static_cast<int16_t>(-maxCurrent) : maxCurrent);
        if (err == NO_ERROR && wait) {
            err = ERR_RS_TIMEOUT;
            for (int read = 0; read < 500; ++read) {
                plat_sleep_ms(250);
                u_idle();
                uint8_t status = 0;
                int readErr = can_read_rs_status(info, &status);
                if (readErr != NO_ERROR) {
                    err = readErr;
                    break;
                }
                if ((status & 0x02) == 0) {
                    err = NO_ERROR;
                    break;
                }
            }
        }
    }
    int restore = can_write_rs_keypress_mode(info, keys);
    return err != NO_ERROR ? err : restore;
}

int can_park_aux_motor(SystemInfo* info, bool out) {
    if (info->systemType != 26) return NO_ERROR;
    int err = can_write_dmd_motor2_current(info, CAN_NODE_AUX_MOTOR, out ? 500 : -500);
    // Any failure of the write, its own read of the maximum current included.
    if (err != NO_ERROR) return ERR_CAN_AUX_MOTOR_ERROR;
    for (int read = 0; read < 21; ++read) {
        plat_sleep_ms(250);
        u_idle();
        uint8_t status = 0;
        if (can_read_dmd_motor2_status(info, CAN_NODE_AUX_MOTOR, &status) != NO_ERROR)
            return ERR_CAN_SDO_AUX_MOTOR_ERROR;
        if ((status & 0x02) == 0) return NO_ERROR;
    }
    return ERR_AV_TIMEOUT;
}

int can_set_llc_range(SystemInfo* info, int mode) {
    static const char* const kName = "can_set_llc_range";
    int limit = 1000;
    int voltage = 4500;
    if (mode == 0 || mode == 1) {
        // The record keeps no light-source selection yet: the first source's
        // pair (its values for modes 0 and 1) is the one in use.
        limit = mode < info->numLlcAvgCurLimit ? info->llcAvgCurLimit[mode] : 0;
        voltage = mode < info->numLlcFwdVoltage ? info->llcFwdVoltage[mode] : 0;
    }
    int err = NO_ERROR;
    if (limit != 0) err = can_write_llc_avgcurlmt(info, limit);
    if (err == NO_ERROR && voltage != 0) err = can_write_llc_fwdvlt(info, voltage);
    if (err != NO_ERROR) u_msg_sink("%s failed: %s\n", kName, u_error_name(err));
    return err;
}
