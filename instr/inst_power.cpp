#include "instr/inst_power.h"

#include <atomic>
#include <initializer_list>

#include "board/board.h"
#include "can/can_power.h"
#include "common/msg.h"
#include "common/status.h"
#include "config/sysinfo.h"
#include "instr/inst_power_internal.h"
#include "instr/ramp_set.h"

namespace {

// The CAN power-on loads the ramp set through this (can/ sits below instr/).
int load_can_ramp_set(SystemInfo* info) {
    return rr_get_ramp_info(info, &info->power.rampSet);
}

int can_on(SystemInfo* info) {
    can_set_ramp_set_loader(load_can_ramp_set);
    return can_inst_on(info);
}

int can_reset(SystemInfo* info) {
    can_set_ramp_set_loader(load_can_ramp_set);
    return can_inst_reset(info);
}

// Camera table codes the checks name.
constexpr int32_t kVidicon = 4;
constexpr int32_t kXc7500 = 7;
constexpr int32_t kXc7500s = 8;
constexpr int32_t kInfracama = 10;
constexpr int32_t kCid2250 = 11;
constexpr int32_t kDgfly640 = 17;
constexpr int32_t kDgfly1024 = 18;

// Frame grabber codes.
enum Grabber : int32_t {
    kNone = 0,
    kRpc = 1,
    kMatrox = 2,
    kPulsar = 3,
    kGenesis = 4,
    kCorona = 5,
    kBandit = 6,
    kFireWire = 7,
    kCameraLink = 8,
    kFlashBus = 9,
    kGigE = 10,
    kX64Lvds = 11,
    kPc2Vision = 12,
};

std::atomic<const InstRegmapDriver*> g_regmap{nullptr};

bool one_of(int32_t value, std::initializer_list<int32_t> set) {
    for (int32_t v : set)
        if (v == value) return true;
    return false;
}

bool serial_board(int32_t type) {
    return type == SB_BOARD_SERIAL1 || type == SB_BOARD_SERIAL2 || type == SB_BOARD_CUSTOMER ||
           type == SB_BOARD_FTP;
}

int no_driver(const char* what) {
    u_msg_sink("Register-mapped instrument board: no driver for %s\n", what);
    return ERR_NOT_IMPLEMENTED;
}

int incompatible_grabber(const SystemInfo* info) {
    u_msg_sink("%s frame grabber is incompatible with camera type %s\n",
               sb_frame_grabber_name(info->frameGrabberType),
               sb_camera_type_name(info->cameraType));
    return ERR_SB_INST_CONFIG;
}

// The board's custom-camera set-up from the calibration's camera settings.
int custom_camera(SystemInfo* info) {
    if (!ur_speaks_protocol(info->instrBdType)) return NO_ERROR;
    uint8_t settings[8];
    for (int i = 0; i < 8; ++i) settings[i] = static_cast<uint8_t>(info->cameraConfig[i]);
    int count = info->instrBdType == SB_BOARD_SERIAL2 ? 2 : 8;
    return ur_custom_camera(info, settings, count);
}

// The checks of the grabbers that digitise an analogue camera.
int check_analog_grabber(SystemInfo* info) {
    int32_t camera = info->cameraType;
    if ((camera >= 20 && camera <= 32) || one_of(camera, {kInfracama, kDgfly640, kDgfly1024}))
        return incompatible_grabber(info);
    int needed1 = 0, needed3 = 0;
    if (camera == kXc7500 || camera == kXc7500s) {
        needed1 = 7;
        needed3 = 6;
    } else if (camera == SB_CAMERA_CUSTOM) {
        needed1 = 13;
        needed3 = 8;
    } else {
        return NO_ERROR;
    }
    int version = info->power.instrBdVersion;
    if (info->instrBdType == SB_BOARD_SERIAL1) {
        if (version >= needed1) return NO_ERROR;
        u_msg_sink("VRNX instr software version %d is incompatible with camera type %s.\n", version,
                   sb_camera_type_name(camera));
        return ERR_SB_INST_CONFIG;
    }
    if (info->instrBdType == SB_BOARD_SERIAL2) {
        if (version >= needed3) return NO_ERROR;
        u_msg_sink("QEL instr software version %d is incompatible with camera type %s.\n", version,
                   sb_camera_type_name(camera));
        return ERR_SB_INST_CONFIG;
    }
    return camera == SB_CAMERA_CUSTOM ? custom_camera(info) : NO_ERROR;
}

int check_grabber(SystemInfo* info) {
    int32_t camera = info->cameraType;
    bool ok = true;
    switch (info->frameGrabberType) {
        case kMatrox:
        case kPulsar:
        case kGenesis:
        case kCorona:
        case kBandit:
        case kPc2Vision:
            return check_analog_grabber(info);
        case kFireWire:
            ok = camera >= 17 && camera <= 25 && !one_of(camera, {19, 20, 23});
            break;
        case kCameraLink:
            ok = one_of(camera, {12, 13, 15, 19, 20, 23, 26, 27, 29, 32});
            break;
        case kFlashBus:
            ok = camera == 12;
            break;
        case kGigE:
            ok = one_of(camera, {12, 28, 30, 31});
            break;
        case kX64Lvds:
            ok = one_of(camera, {12, 16});
            break;
        default:  // None, RPC and codes outside the table: nothing to check
            break;
    }
    return ok ? NO_ERROR : incompatible_grabber(info);
}

int board_on(SystemInfo* info) {
    switch (info->instrBdType) {
        case SB_BOARD_SERIAL1:
        case SB_BOARD_SERIAL2:  // system types 19 and 27 take the same sequence
        case SB_BOARD_CUSTOMER:
        case SB_BOARD_FTP:
            return inst_serial_on(info);
        case SB_BOARD_REGMAP: {
            const InstRegmapDriver* d = g_regmap.load();
            return d != nullptr && d->powerOn != nullptr ? d->powerOn(info) : no_driver("power-on");
        }
        case SB_BOARD_CAN:
            return can_on(info);
        case SB_BOARD_NOT_NEEDED:
            return NO_ERROR;
        default:
            return ERR_WRONG_INSTR_BOARD;
    }
}

int board_off(SystemInfo* info) {
    switch (info->instrBdType) {
        case SB_BOARD_SERIAL1:
        case SB_BOARD_SERIAL2:
        case SB_BOARD_CUSTOMER:
        case SB_BOARD_FTP:
            return inst_serial_off(info);
        case SB_BOARD_REGMAP: {
            const InstRegmapDriver* d = g_regmap.load();
            return d != nullptr && d->powerOff != nullptr ? d->powerOff(info)
                                                          : no_driver("power-off");
        }
        case SB_BOARD_CAN:
            return can_inst_off(info);
        case SB_BOARD_NOT_NEEDED:
            return NO_ERROR;
        default:
            return ERR_WRONG_INSTR_BOARD;
    }
}

void mismatch_names(const char* what, const char* cal, const char* eeprom) {
    u_msg_sink("%s mismatch\n", what);
    u_msg_sink("Cal file says %s, instrument EEPROM says %s\n", cal, eeprom);
}

void mismatch_numbers(const char* what, int cal, int eeprom) {
    u_msg_sink("%s mismatch\n", what);
    u_msg_sink("Cal file says %d, instrument EEPROM says %d\n", cal, eeprom);
}

int check_regmap_eeprom(SystemInfo* info, bool againstEeprom) {
    const InstRegmapDriver* d = g_regmap.load();
    if (d == nullptr || d->boardType == nullptr) return no_driver("the board type");
    int32_t type = 0;
    int result = d->boardType(info, &type);
    if (result != NO_ERROR) return result;
    if (!againstEeprom || type == info->instrBdType) return NO_ERROR;
    mismatch_names("Instrument board type", sb_board_type_name(info->instrBdType),
                   sb_board_type_name(type));
    return ERR_SB_INST_CONFIG;
}

int check_serial_eeprom(SystemInfo* info, bool againstEeprom) {
    uint8_t system = 0, board = 0, camera = 0, light = 0;
    uint32_t serial = 0;
    uint16_t date = 0;
    int result = ur_ee_byte_read(info, UR_EE_SYSTEM, &system);
    if (result == NO_ERROR) result = ur_ee_byte_read(info, UR_EE_INSTRBD, &board);
    if (result == NO_ERROR) result = ur_ee_byte_read(info, UR_EE_CAMERA, &camera);
    if (result == NO_ERROR) result = ur_ee_byte_read(info, UR_EE_LIGHT, &light);
    if (result == NO_ERROR) result = ur_ee_serial_read(info, &serial);
    if (result == NO_ERROR) result = ur_ee_sysdate_read(info, &date);
    if (result != NO_ERROR) return result;

    auto eeSerial = static_cast<int32_t>(serial);
    if (!againstEeprom) {
        info->systemType = system;
        info->instrBdType = board;
        info->cameraType = camera;
        info->lightType = light;
        info->serialNumber = eeSerial;
        info->systemDate = date;
        return NO_ERROR;
    }
    if (info->systemType != system) {
        mismatch_names("System type", sb_system_type_name(info->systemType),
                       sb_system_type_name(system));
    } else if (info->instrBdType != board) {
        mismatch_names("Instrument board type", sb_board_type_name(info->instrBdType),
                       sb_board_type_name(board));
    } else if (info->cameraType != camera) {
        mismatch_names("Camera type", sb_camera_type_name(info->cameraType),
                       sb_camera_type_name(camera));
    } else if (info->lightType != light) {
        mismatch_names("Light type", sb_light_type_name(info->lightType),
                       sb_light_type_name(light));
    } else if (info->serialNumber != eeSerial) {
        mismatch_numbers("System serial number", info->serialNumber, eeSerial);
    } else if (info->systemDate != date) {
        mismatch_numbers("System date", info->systemDate, date);
    } else {
        return NO_ERROR;
    }
    return ERR_SB_INST_CONFIG;
}

}  // namespace

int inst_check_config(SystemInfo* info) {
    if (info == nullptr) return ERR_INVALID_PARAM;
    if (info->cameraType == 0) {
        u_msg_sink("Unknown camera type\n");
        return ERR_SB_INST_CONFIG;
    }
    int result = check_grabber(info);
    if (result != NO_ERROR) return result;
    if (info->lightType < 1 || info->lightType > 5) {
        u_msg_sink("Unknown light type\n");
        return ERR_SB_INST_CONFIG;
    }
    int32_t board = info->instrBdType;
    info->power.syncCamera =
        board == SB_BOARD_REGMAP ||
        ((board == SB_BOARD_SERIAL1 || board == SB_BOARD_SERIAL2 || board == SB_BOARD_CUSTOMER) &&
         one_of(info->cameraType, {kVidicon, kInfracama, kCid2250}));
    return NO_ERROR;
}

int inst_on(SystemInfo* info) {
    if (info == nullptr) return ERR_INVALID_PARAM;
    info->power.instrumentOn = false;
    int result = board_on(info);
    if (result != NO_ERROR) return result;
    result = inst_check_config(info);
    if (result != NO_ERROR) {
        // Nothing stays open behind an instrument marked off.
        board_off(info);
        return result;
    }
    info->power.instrumentOn = true;
    return NO_ERROR;
}

int inst_off(SystemInfo* info) {
    if (info == nullptr) return ERR_INVALID_PARAM;
    if (!info->power.instrumentOn) return NO_ERROR;
    int result = board_off(info);
    info->power.instrumentOn = false;
    return result;
}

int inst_check(SystemInfo* info) {
    if (info == nullptr) return ERR_INVALID_PARAM;
    if (serial_board(info->instrBdType)) return inst_serial_check(info);
    switch (info->instrBdType) {
        case SB_BOARD_REGMAP: {
            const InstRegmapDriver* d = g_regmap.load();
            return d != nullptr && d->check != nullptr ? d->check(info) : no_driver("the check");
        }
        case SB_BOARD_CAN:
            return can_check_bridge_status(info);
        case SB_BOARD_NOT_NEEDED:
            return NO_ERROR;
        default:
            return ERR_WRONG_INSTR_BOARD;
    }
}

int inst_reset(SystemInfo* info) {
    if (info == nullptr) return ERR_INVALID_PARAM;
    if (serial_board(info->instrBdType)) {
        if (info->serial.instrBdPort != SIO_INVALID_HANDLE) {
            int result = ur_closeUZ(info);
            if (result != NO_ERROR) return result;
        }
        return ur_initUZ(info);
    }
    switch (info->instrBdType) {
        case SB_BOARD_REGMAP: {
            const InstRegmapDriver* d = g_regmap.load();
            return d != nullptr && d->reset != nullptr ? d->reset(info) : no_driver("the reset");
        }
        case SB_BOARD_CAN:
            return can_reset(info);
        case SB_BOARD_NOT_NEEDED:
            return NO_ERROR;
        default:
            return ERR_WRONG_INSTR_BOARD;
    }
}

int inst_check_eeprom(SystemInfo* info, bool againstEeprom) {
    if (info == nullptr) return ERR_INVALID_PARAM;
    if (serial_board(info->instrBdType)) return check_serial_eeprom(info, againstEeprom);
    switch (info->instrBdType) {
        case SB_BOARD_REGMAP:
            return check_regmap_eeprom(info, againstEeprom);
        case SB_BOARD_CAN:
        case SB_BOARD_NOT_NEEDED:
            return NO_ERROR;
        default:
            return ERR_WRONG_INSTR_BOARD;
    }
}

const InstRegmapDriver* inst_set_regmap_driver(const InstRegmapDriver* driver) {
    return g_regmap.exchange(driver);
}
