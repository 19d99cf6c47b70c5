#include "can/can_power.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "can/can_agc.h"
#include "can/can_bridge.h"
#include "can/can_events.h"
#include "can/can_lib.h"
#include "can/can_nodes.h"
#include "can/can_sdo.h"
#include "can/can_sleep.h"
#include "common/abort.h"
#include "common/log.h"
#include "common/msg.h"
#include "common/status.h"
#include "config/badpixel.h"
#include "config/sysinfo.h"
#include "devpoll/devpoll.h"
#include "platform/clock.h"
#include "serial/wm.h"

namespace {
std::atomic<CanRampSetLoader> g_ramp_set_loader{nullptr};
}  // namespace

CanRampSetLoader can_set_ramp_set_loader(CanRampSetLoader loader) {
    return g_ramp_set_loader.exchange(loader);
}

namespace {

constexpr int kEnumerationPasses = 3;
constexpr int kEnumerationWaitMs = 2000;
constexpr int kReconnectWaitMs = 2000;
constexpr int kBridgeErrorTries = 10;
constexpr int kResetWaitMs = 6000;
constexpr int kDigitalOutWaitMs = 100;
constexpr uint8_t kBridgeNodeId = 127;
constexpr uint32_t kBridgeBitRate = 1000;

// Bridge configuration word bits.
constexpr uint16_t kConfigTriggerArm = 1u << 8;
constexpr uint16_t kConfigPiScanner = 1u << 11;
constexpr uint16_t kConfigTriggerMode = 1u << 13;

void wait_ms(int64_t ms) {
    plat_sleep_ms(ms);
    u_idle();
}

bool is_type(int32_t type, std::initializer_list<int32_t> types) {
    for (int32_t t : types)
        if (t == type) return true;
    return false;
}

int connect(const CanApi* api, const CanBridgeInfo* bridge) {
    uint32_t ipv4 = 0;
    std::memcpy(&ipv4, bridge->ipv4, 4);
    int32_t canErr = api->CAN_Connect(ipv4);
    if (canErr != CAN_OK) {
        u_msg_stamped("%s: CAN_Connect canErr = %d\n", "can_inst_on", canErr);
        return ERR_CAN_FINDING_BRIDGE;
    }
    return NO_ERROR;
}

int reset_bridge(const CanApi* api) {
    int32_t canErr = api->CAN_ResetBridge();
    if (canErr != CAN_OK) {
        u_msg_sink("CAN_ResetBridge canErr %d\n", canErr);
        return ERR_HW_FAIL;
    }
    return NO_ERROR;
}

// Steps 3 to 5: connected, the known configuration, no latched error.
int set_up_bridge(const CanApi* api, CanBridgeInfo* bridge) {
    const char* name = "can_inst_on";
    int err = connect(api, bridge);
    if (err != NO_ERROR) return err;
    int32_t canErr = api->CAN_GetFirmwareVersion(&bridge->firmwareMajor, &bridge->firmwareMinor);
    if (canErr != CAN_OK) {
        u_msg_stamped("%s: CAN_GetFirmwareVersion canErr = %d\n", name, canErr);
        return ERR_CAN_BRIDGE_ERROR;
    }
    u_msg_sink("Bridge firmware version: major = %hu, minor = %hu\n",
               static_cast<unsigned short>(bridge->firmwareMajor),
               static_cast<unsigned short>(bridge->firmwareMinor));
    int major = 0;
    int minor = 0;
    can_get_library_version(&major, &minor);
    u_msg_sink("DLL version: major = %d, minor = %d\n", major, minor);

    uint8_t nodeId = 0;
    uint32_t bitRate = 0;
    canErr = api->CAN_GetBridgeConfiguration(&nodeId, &bitRate);
    if (canErr != CAN_OK) {
        u_msg_stamped("%s: CAN_GetBridgeConfiguration canErr = %d\n", name, canErr);
        return ERR_CAN_BRIDGE_ERROR;
    }
    if (nodeId != kBridgeNodeId || bitRate != kBridgeBitRate) {
        canErr = api->CAN_SetBridgeConfiguration(kBridgeNodeId, kBridgeBitRate);
        if (canErr != CAN_OK) {
            u_msg_stamped("%s: CAN_SetBridgeConfiguration canErr = %d\n", name, canErr);
            return ERR_CAN_BRIDGE_ERROR;
        }
        // The settings take effect on reconnection.
        wait_ms(kReconnectWaitMs);
        err = connect(api, bridge);
        if (err != NO_ERROR) return err;
    }

    uint32_t latched = 0;
    for (int attempt = 0; attempt < kBridgeErrorTries; ++attempt) {
        canErr = api->CAN_GetLastBridgeError(&latched);
        if (canErr != CAN_OK) {
            u_msg_stamped("%s: CAN_GetLastBridgeError canErr = %d\n", name, canErr);
            return ERR_CAN_BRIDGE_ERROR;
        }
        if (latched == 0) return NO_ERROR;
        err = reset_bridge(api);
        if (err != NO_ERROR) return err;
        wait_ms(kReconnectWaitMs);
        err = connect(api, bridge);
        if (err != NO_ERROR) return err;
    }
    u_msg_stamped("%s: Unable to reset bridge with no errors after 10 tries: ", name);
    u_msg_sink("CAN_GetLastBridgeError = %d\n", static_cast<int>(latched));
    return ERR_CAN_BRIDGE_ERROR;
}

// Step 8: the wave monitor of the tunable-laser types, and the camera's
// bad-pixel lists.
int set_up_wave_monitor_and_camera(SystemInfo* info) {
    const int32_t type = info->systemType;
    if (is_type(type, {30, 32, 33})) {
        SerialHandle* port = &info->serial.wmPort;
        wm_comm_close(port);
        int err = wm_comm_open_fd(port, info->wmComm.c_str());
        if (err == NO_ERROR) err = wm_flush_inp(*port);
        uint32_t laser = 0;
        if (err == NO_ERROR) err = wm_get_laser_status(*port, &laser);
        if (err == NO_ERROR) {
            info->serial.wm.laserStatus = laser;
            if ((laser & WM_LASER_ON_BIT) == 0) err = wm_set_laser_with_wait(*port, 1);
        }
        if (err == NO_ERROR) err = wm_set_wavelength(*port, info->wavelengths[0]);
        // An unset gain is not sent: 0 would blind the monitor.
        if (err == NO_ERROR && info->wmSysGainSet) err = wm_set_sys_gain(*port, info->wmSysGain);
        if (err == NO_ERROR && type == 30) {
            err = wm_read_cal_state(*port, &info->serial.wm);
            if (err == NO_ERROR) wm_report_cal_state(&info->serial.wm);
            if (err == NO_ERROR) err = wm_init_ramp_info(*port, &info->serial.wm);
        }
        if (err != NO_ERROR) return err;
    }
    if (type == 32 || type == 33) return NO_ERROR;
    return cb_load(info);
}

int piezo_focus_mode(int32_t type) {
    if (is_type(type, {5, 7, 11, 13, 16, 20, 22, 28, 31, 34})) return 1;
    if (is_type(type, {4, 6, 7, 8, 12, 13, 14, 17, 18, 21, 23, 25, 26, 29, 35})) return 2;
    return 0;
}

// Step 12: turret and zoom changer, the light level.
int set_up_optics(SystemInfo* info) {
    const int32_t type = info->systemType;
    SysCanState& can = info->can;
    const bool brushMotorTypes =
        is_type(type, {11, 13}) ||
        (is_type(type, {22, 28, 29, 31, 34, 35}) && can.dualBrushMotorRequired != 0);
    if (brushMotorTypes) {
        uint16_t config = 0;
        int err = can_get_brmtr_config(info, &config);
        if (err != NO_ERROR) return err;
        can.zoomPositions = config & 0x7;
        can.turretPositions = (config >> 8) & 0x7;
        const int32_t turret = info->turret[0];
        if (turret == 2) u_msg_sink("Encoded objective turret\n");
        if (turret == 1) u_msg_sink("Motorized objective turret\n");
        if (turret != 0) {
            uint8_t status = 0;
            err = can_read_turret_status(info, &status);
            if (err != NO_ERROR) return err;
            uint8_t position = 0;
            if (status & 0x80) {
                err = can_read_turret(info, &position);
                if (err != NO_ERROR) return err;
            }
            can.turretPosition = position;
        }
        u_msg_sink("Num objective turret positions = %d\n", can.turretPositions);
        if (turret != 0) {
            if (can.turretPosition == 0)
                u_msg_sink("Current objective turret position = UNKNOWN\n");
            else
                u_msg_sink("Current objective turret position = %d\n", can.turretPosition);
        }
        if (info->zoom == 1) u_msg_sink("Encoded zoom changer\n");
        if (info->zoom == 2) u_msg_sink("Motorized zoom changer\n");
        if ((type == 22 || type == 31) && info->zoom != 0) {
            err = can_read_all_zoom(info);
            if (err != NO_ERROR) return err;
        }
        u_msg_sink("Num zoom changer positions = %d\n", can.zoomPositions);
    }
    // A quarter of the full range, on the node that controls the light.
    const uint16_t level = 0xFFFF / 4;
    int err = NO_ERROR;
    if (can.ledPresent)
        err = can_write_llc(info, level, false);
    else if (can_system_family(type) == CAN_FAMILY_QEL && can.focusNdwPresent)
        err = can_write_ndw_llcLevel(info, level, true);
    if (err != NO_ERROR) return err;
    can.lightLevel = level;
    can.previousLightLevel = can.lightLevel;
    return NO_ERROR;
}

// Step 14: the bridge's trigger mode for the digital scanner.
int set_scanner_trigger_mode(SystemInfo* info) {
    uint16_t config = 0;
    int err = can_bridge_read_config(info, &config);
    if (err != NO_ERROR) return err;
    if (info->can.digitalScanner != 0) {
        config |= kConfigPiScanner;
        u_msg_sink("Enabling PI digital scanner triggering mode\n");
    } else if (config & kConfigPiScanner) {
        config &= static_cast<uint16_t>(~kConfigPiScanner);
        u_msg_sink("Disabling PI digital scanner triggering mode\n");
    }
    config |= kConfigTriggerArm | kConfigTriggerMode;
    return can_bridge_write_config(info, config);
}

// Steps 1 to 15; `registered` tells the caller whether step 13 ran.
int power_on(SystemInfo* info, bool* registered) {
    const int32_t type = info->systemType;
    if (can_system_family(type) == CAN_FAMILY_NONE) return ERR_WRONG_SYSTEM_TYPE;
    // A bridge record freed by the last power-off is made again.
    if (!info->canInfo) can_bridge_info_create(info);
    CanBridgeInfo* bridge = info->canInfo.get();
    if (bridge == nullptr) return ERR_HW_FAIL;
    dev_stop_sweep();
    can_take_node_requirements(info);
    int err = can_agc_init();
    if (err != NO_ERROR) return err;
    err = can_agc_suspend(info, true);
    if (err != NO_ERROR) return err;

    if (bridge->mac[0] == 0xFF) return ERR_CAN_MACADDRESS_ERROR;
    err = find_bridge(info);
    if (err != NO_ERROR) return err;
    const CanApi* api = can_api();
    if (api == nullptr) return ERR_CAN_NOT_AVAIL;
    err = set_up_bridge(api, bridge);
    if (err != NO_ERROR) return err;

    err = can_bring_up_nodes(info);
    if (err != NO_ERROR) return err;

    CanRampSetLoader loadRamps = g_ramp_set_loader.load();
    err = loadRamps != nullptr ? loadRamps(info) : ERR_NO_RAMP_INFO;
    if (err != NO_ERROR && err != ERR_NO_RAMP_INFO) return err;

    err = set_up_wave_monitor_and_camera(info);
    if (err != NO_ERROR) return err;

    info->can.piezoFocusMode = piezo_focus_mode(type);
    if (info->can.piezoFocusMode == 1) {
        err = can_write_pifoc_offset(info, 0, false);
        if (err != NO_ERROR && err != ERR_NO_RAMP_INFO) return err;
    }

    err = can_write_syncgen(info, info->can.syncValue);
    if (err != NO_ERROR) return err;

    if (info->can.triplePztPresent) {
        info->can.rampMux = 0;
        err = can_check_bridge_status(info);
        if (err != NO_ERROR) return err;
    }
    if (info->can.largeAperturePresent) {
        info->can.rampMux = 1;
        err = can_check_bridge_status(info);
        if (err != NO_ERROR) return err;
    }

    err = set_up_optics(info);
    if (err != NO_ERROR) return err;

    // A reset or a second power-on keeps the one entry.
    if (!dev_is_registered(info)) {
        err = dev_add_device(DEV_TYPE_CAN, info, info);
        if (err != NO_ERROR) return err;
    }
    *registered = true;
    err = can_register_events(info, true);
    if (err != NO_ERROR) return err;

    if (can_firmware_newer_than(bridge, 1, 11)) {
        err = set_scanner_trigger_mode(info);
        if (err != NO_ERROR) return err;
    }

    if (is_type(type, {23, 25, 30, 32}) && info->sleepTimeout != 0) sleep_mode_start(info);
    err = can_agc_suspend(info, false);
    if (err != NO_ERROR) return err;
    u_msg_stamped("Instrument ON\n");
    return NO_ERROR;
}

}  // namespace

int find_bridge(SystemInfo* info) {
    const char* name = "find_bridge";
    if (info == nullptr || !info->canInfo) return ERR_INVALID_PARAM;
    CanBridgeInfo* bridge = info->canInfo.get();
    char mac[18];
    std::snprintf(mac, sizeof mac, "%2.2X %2.2X %2.2X %2.2X %2.2X %2.2X", bridge->mac[0],
                  bridge->mac[1], bridge->mac[2], bridge->mac[3], bridge->mac[4], bridge->mac[5]);
    std::memset(bridge->ipv4, 0xFF, sizeof bridge->ipv4);
    const CanApi* api = can_api();
    if (api == nullptr) return ERR_CAN_NOT_AVAIL;

    static CanBridgeEntry entries[CAN_MAX_BRIDGES];
    for (int pass = 0; pass < kEnumerationPasses; ++pass) {
        if (pass > 0) wait_ms(kEnumerationWaitMs);
        std::memset(entries, 0, sizeof entries);
        int32_t count = api->CAN_EnumerateBridges(entries, CAN_MAX_BRIDGES);
        // Any negative count is a failure; more than the buffer holds is
        // read no further than the buffer.
        if (count < 0) {
            u_msg_stamped("%s: CAN_EnumerateBridges failed\n", name);
            return ERR_CAN_FINDING_BRIDGE;
        }
        if (count == 0) {
            u_msg_stamped("%s: CAN_EnumerateBridges found no CAN bridges\n", name);
            return ERR_CAN_FINDING_BRIDGE;
        }
        if (count > CAN_MAX_BRIDGES) count = CAN_MAX_BRIDGES;
        for (int i = 0; i < count; ++i) {
            if (std::memcmp(entries[i].mac, bridge->mac, 6) != 0) continue;
            std::memcpy(bridge->ipv4, entries[i].ipv4, 4);
            u_msg_sink("Found CAN bridge\n");
            u_msg_sink("MAC address: %s\n", mac);
            u_msg_sink("IP  address: %d.%d.%d.%d\n", bridge->ipv4[0], bridge->ipv4[1],
                       bridge->ipv4[2], bridge->ipv4[3]);
            return NO_ERROR;
        }
    }
    u_msg_stamped("CAN bridge with MAC address %s not found on network\n", mac);
    return ERR_CAN_MACADDRESS_ERROR;
}

int can_inst_on(SystemInfo* info) {
    if (info == nullptr) return ERR_INVALID_PARAM;
    if (info->instrBdType != SB_BOARD_CAN) return ERR_WRONG_INSTR_BOARD;
    bool registered = false;
    int err = power_on(info, &registered);
    if (err == NO_ERROR) return NO_ERROR;
    can_agc_stop(info);
    // Nothing keeps delivering to, or polling, an instrument that is not on.
    // The bridge stays connected.
    if (registered) {
        can_register_events(info, false);
        dev_remove_device(info);
    }
    // Nor does the wave monitor's line stay open behind it.
    if (info->serial.wmPort != nullptr) wm_comm_close(&info->serial.wmPort);
    u_msg_stamped("%s: %s\n", "can_inst_on", u_error_name(err));
    return err;
}

int can_check_bridge_status(SystemInfo* info) {
    if (info == nullptr) return ERR_INVALID_PARAM;
    if (info->instrBdType != SB_BOARD_CAN) return ERR_WRONG_INSTR_BOARD;
    uint8_t status = 0;
    int err = can_read_bridge_status(info, &status);
    if (err != NO_ERROR) return err;
    if ((status & 0x08) == 0) {
        u_msg_stamped("Bridge Status: External 12V power fault\n");
        return ERR_INST_POWER;
    }
    if (status & 0x04) {
        u_msg_stamped("Bridge Status: -12V power trip\n");
        return ERR_INST_POWER;
    }
    if (status & 0x02) {
        u_msg_stamped("Bridge Status: +12V power trip\n");
        return ERR_INST_POWER;
    }
    if (!info->can.triplePztPresent && !info->can.largeAperturePresent) return NO_ERROR;
    // The node's error register (0x1002, byte 3) on the node rampMux selects.
    uint32_t errors = 0;
    err = can_read_pztramp_errchk(info, &errors);
    if (err != NO_ERROR) return err;
    const uint8_t reg = static_cast<uint8_t>(errors >> 24);
    static const struct {
        int bit;
        const char* text;
    } kFaults[] = {
        {0, "Large aperture channel A fault"},
        {1, "Large aperture channel B fault"},
        {2, "Large aperture channel C fault"},
        {4, "High voltage supply under-voltage fault"},
        {5, "High voltage supply over-voltage fault"},
        {6, "VSync lost"},
    };
    for (const auto& fault : kFaults) {
        if (reg & (1u << fault.bit)) {
            u_msg_stamped("Triple PZT node: %s\n", fault.text);
            return ERR_INST_POWER;
        }
    }
    return NO_ERROR;
}

int can_inst_off(SystemInfo* info) {
    if (info == nullptr) return ERR_INVALID_PARAM;
    if (info->instrBdType != SB_BOARD_CAN) return ERR_WRONG_INSTR_BOARD;
    const int32_t type = info->systemType;
    const CanFamily family = can_system_family(type);
    int result = NO_ERROR;
    if (is_type(type, {11, 13, 22, 28, 31, 34})) can_write_pifoc_offset(info, 0, false);
    if (family == CAN_FAMILY_LED || family == CAN_FAMILY_PZT) {
        can_write_llc(info, 0, false);
        can_write_led_setup(info, 0);
    }
    if (family == CAN_FAMILY_QEL) {
        sleep_mode_stop();
        can_agc_release();
        can_agc_stop(info);
        can_close_ndw_event(info);
        uint8_t control = 0;
        if (can_read_zoom_dd_control(info, &control) == NO_ERROR)
            can_write_zoom_dd_control(info, control & 0xFE);
        if (can_read_rs_dd_control(info, &control) == NO_ERROR)
            can_write_rs_dd_control(info, control & 0xFE);
    }
    if (info->canInfo && can_firmware_newer_than(info->canInfo.get(), 1, 11)) {
        uint16_t config = 0;
        result = can_bridge_read_config(info, &config);
        if (result == NO_ERROR)
            can_bridge_write_config(info, static_cast<uint16_t>(config & ~kConfigTriggerArm));
    }
    if (info->cameraType == 29) {
        can_bridge_write_digitalout(info, 0);
        wait_ms(kDigitalOutWaitMs);
    }
    dev_stop_sweep();
    can_register_events(info, false);
    can_events_free_resources();
    if (dev_is_registered(info)) dev_remove_device(info);
    if (const CanApi* api = can_api()) api->CAN_Disconnect();
    // The wave monitor line the power-on opened is not left behind.
    if (info->serial.wmPort != nullptr) wm_comm_close(&info->serial.wmPort);
    info->canInfo.reset();
    u_msg_stamped("Instrument OFF\n");
    return result;
}

int can_inst_reset(SystemInfo* info) {
    if (info == nullptr) return ERR_INVALID_PARAM;
    if (info->instrBdType != SB_BOARD_CAN) return ERR_WRONG_INSTR_BOARD;
    const CanApi* api = can_api();
    if (api == nullptr) return ERR_CAN_NOT_AVAIL;
    int err = reset_bridge(api);
    if (err != NO_ERROR) return err;
    wait_ms(kResetWaitMs);
    return can_inst_on(info);
}
