#include "can/can_zoom.h"

#include "can/can_sdo.h"
#include "common/msg.h"
#include "common/status.h"
#include "config/sysinfo.h"
#include "config/zoomcal.h"

namespace {
constexpr int ENC_ZOOM_ERR = ERR_CAN_SDO_ENC_ZOOM_ERROR;

int write_u32(uint16_t index, uint8_t subIndex, int32_t value, const char* caller) {
    return can_sdo_write2(CAN_NODE_FOCUS_NDW, index, subIndex, &value, 4, true, ENC_ZOOM_ERR,
                          caller);
}

bool firmware_at_least(int major, int minor, int wantMajor, int wantMinor) {
    return major > wantMajor || (major == wantMajor && minor >= wantMinor);
}
}  // namespace

int qel_enc_zoom_set_soft_limits(int32_t min, int32_t max) {
    static const char* const kName = "qel_enc_zoom_set_soft_limits";
    int err = write_u32(0x607D, 1, min, kName);
    if (err != NO_ERROR) return err;
    return write_u32(0x607D, 2, max, kName);
}

int qel_enc_zoom_set_motion_mode(SystemInfo* info) {
    uint8_t mode = 3;
    int err = can_sdo_write2(CAN_NODE_FOCUS_NDW, 0x2002, 0, &mode, 1, true, ENC_ZOOM_ERR,
                             "qel_enc_zoom_set_motion_mode");
    if (err != NO_ERROR) return err;
    return qel_enc_zoom_set_soft_limits(info->encodedZoom.softLimitMin,
                                        info->encodedZoom.softLimitMax);
}

int qel_enc_zoom_set_backlash(SystemInfo* info) {
    if (info == nullptr || (info->encodedZoom.flags & 0x01) == 0) return NO_ERROR;
    int major = 0;
    int minor = 0;
    int err = can_read_version(info, CAN_NODE_FOCUS_NDW, &major, &minor);
    if (err != NO_ERROR) return err;
    if (!firmware_at_least(major, minor, QEL_ENC_ZOOM_MIN_MAJOR, QEL_ENC_ZOOM_MIN_MINOR)) {
        u_msg_sink(
            "QEL encoded zoom firmware version %d.%d is old; version %d.%d or later is "
            "required\n",
            major, minor, QEL_ENC_ZOOM_MIN_MAJOR, QEL_ENC_ZOOM_MIN_MINOR);
        return ERR_QEL_ENC_ZOOM_FIRMWARE_VERSION_OLD;
    }
    if ((err = qel_enc_zoom_set_motion_mode(info)) != NO_ERROR) return err;
    if ((err = write_u32(0x2019, 0, info->encodedZoom.backlash, "qel_enc_zoom_set_backlash")) !=
        NO_ERROR)
        return err;
    char message[ZOOM_CAL_MSG_SIZE] = {};
    err = zoom_cal_load(info, message);
    if (err != NO_ERROR && message[0] != '\0') u_msg_sink("%s", message);
    return err == ERR_QEL_ENC_ZOOM_CANT_OPEN_CAL_FILE ? NO_ERROR : err;
}
