#include "config/sysinfo.h"

#include <cstdio>
#include <utility>

namespace {
SystemInfo g_slots[SB_NUM_SLOTS];

const char* table_name(const char* const* names, int count, int32_t code, const char* other) {
    return code >= 0 && code < count ? names[code] : other;
}
}  // namespace

SbCalibration::SbCalibration() {
    for (auto& entry : ftpDmiCenter) entry[0] = entry[1] = SB_FTP_CENTER_UNSET;
    for (auto& entry : ftpTiltCenter) entry[0] = entry[1] = SB_FTP_CENTER_UNSET;
}

SystemInfo* sb_system_info(int slot) {
    return slot >= 0 && slot < SB_NUM_SLOTS ? &g_slots[slot] : nullptr;
}

void sb_reset_calibration(SystemInfo* info) {
    static_cast<SbCalibration&>(*info) = SbCalibration{};
}

const char sb_axis_letters[SB_NUM_AXES + 1] = "abprtxyz";

const char* sb_system_type_name(int32_t code) {
    static const char* const names[36] = {
        "Unknown", "Unknown", "Unknown", "Unknown", "Model04", "Model05", "Model06", "Model07",
        "Model08", "Unknown", "Model10", "Model11", "Model12", "Model13", "Model14", "Model15",
        "Model16", "Model17", "Model18", "Model19", "Model20", "Model21", "Model22", "Model23",
        "Model24", "Model25", "Model26", "Model27", "Model28", "Model29", "Model30", "Model31",
        "Model32", "Model33", "Model34", "Model35"};
    return table_name(names, 36, code, "Unknown");
}

const char* sb_board_type_name(int32_t code) {
    static const char* const names[10] = {"None", "VRNX", "VRNY", "QEL", "Unknown",
                                          "MESA", "VOK",  "FTP",  "CAN", "NotNeeded"};
    return table_name(names, 10, code, "Unknown");
}

const char* sb_frame_grabber_name(int32_t code) {
    static const char* const names[13] = {"None",   "RPC",     "Matrox",   "Pulsar",     "Genesis",
                                          "Corona", "Bandit",  "FireWire", "CameraLink", "FlashBus",
                                          "GigE",   "X64LVDS", "PC2Vision"};
    return table_name(names, 13, code, "Unknown");
}

const char* sb_camera_type_name(int32_t code) {
    static const char* const names[33] = {
        "Unknown", "XC77CE",  "P62505",  "CID2220",   "VIDICON",   "EEV1715A",   "TM6705",
        "XC7500",  "XC7500S", "SMD4M15", "INFRACAMA", "CID2250",   "CUSTOM",     "TM6710",
        "SIM200",  "BASLER",  "SU320",   "DGFLY640",  "DGFLY1024", "IMPERXVGA",  "ADIMEC1000",
        "A311F",   "A312F",   "TM6740",  "DGFLY6200", "SCA640",    "ADIMEC4050", "ADIMEC4150",
        "PIA640",  "E2V7899", "PIA1000", "SCA640G",   "A504K"};
    return table_name(names, 33, code, "Unknown");
}

const char* sb_light_type_name(int32_t code) {
    static const char* const names[6] = {"Unknown", "HeNe", "Diode", "White", "Special", "LED"};
    return table_name(names, 6, code, "Unknown");
}
