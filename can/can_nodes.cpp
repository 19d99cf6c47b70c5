#include "can/can_nodes.h"

#include <cmath>

#include "can/can_agc.h"
#include "can/can_bridge.h"
#include "can/can_events.h"
#include "can/can_lib.h"
#include "can/can_sdo.h"
#include "can/can_zoom.h"
#include "common/abort.h"
#include "common/log.h"
#include "common/msg.h"
#include "common/status.h"
#include "config/sysinfo.h"
#include "platform/clock.h"
#include "platform/event.h"

namespace {

constexpr const char* kRampLabel = "CAN_NODE_ID_RAMP";
constexpr const char* kLedLabel = "CAN_NODE_ID_LED";
constexpr const char* kTriplePztLabel = "CAN_NODE_ID_TRIPLEPZT";
constexpr const char* kBrushMotorLabel = "CAN_NODE_ID_BRUSHMOTOR";
constexpr const char* kFocusLabel = "CAN_NODE_ID_FOCUS_NDW";
constexpr const char* kAuxMotorLabel = "CAN_NODE_ID_AUX_MOTOR";
constexpr const char* kRingSpotLabel = "CAN_NODE_ID_DD_RS";
constexpr const char* kZoomDiskLabel = "CAN_NODE_ID_DD_ZOOM";
constexpr const char* kWandLabel = "CAN_NODE_ID_WAND";
constexpr const char* kWand2Label = "CAN_NODE_ID_WAND2";
constexpr const char* kLargeApLabel = "CAN_NODE_ID_LARGEAP";

constexpr uint8_t CAN_NODE_WAND = 72;
constexpr uint8_t CAN_NODE_WAND2 = 73;

constexpr const char* kScannerFailed =
    "Scanner verification failed. Verify connections and configuration.\n";

// Waits of this module: a sleep, then the application's idle work.
void idle_wait(int64_t ms) {
    plat_sleep_ms(ms);
    u_idle();
}

const char* yes_no(uint8_t flag) {
    return flag != 0 ? "Yes" : "No";
}
const char* ignore_mark(uint8_t required) {
    return required != 0 ? "" : ", Ignore";
}

bool led_product(uint32_t id) {
    return id == CAN_PRODUCT_LED_A || id == CAN_PRODUCT_LED_B || id == CAN_PRODUCT_LED_C;
}
bool brush_motor_product(uint32_t id) {
    return id == CAN_PRODUCT_BRMTR_D5 || id == CAN_PRODUCT_BRMTR_ENCODED;
}

// The node states of one enumeration; the mapped error after a stamped line.
int enumerate(uint8_t* states, const char* caller) {
    const CanApi* api = can_api();
    if (api == nullptr) return ERR_CAN_NOT_AVAIL;
    int32_t canErr = api->CAN_EnumerateNodes(states);
    if (canErr != CAN_OK) {
        u_msg_stamped("%s: CAN_EnumerateNodes canErr = %d\n", caller, static_cast<int>(canErr));
        return can_canerr_to_error(canErr);
    }
    return NO_ERROR;
}

// Node 61 with an accepted product, then node 63 when the instrument needs
// it: the part the LED and PZT families share.
int led_and_brush_motor(SystemInfo* info, CanBridgeInfo* bridge, const char* caller) {
    uint32_t product = 0;
    if (!get_operational_node(info, CAN_NODE_LED, kLedLabel, &product)) return ERR_CAN_LED_ERROR;
    if (!led_product(product)) {
        u_msg_stamped("%s: Invalid productID = %u for CAN_NODE_ID_LED\n", caller, product);
        return ERR_CAN_INVALID_PRODUCTID;
    }
    bridge->ledProductId = product;
    if (info->can.dualBrushMotorRequired != 0) {
        if (!get_operational_node(info, CAN_NODE_BRUSH_MOTOR, kBrushMotorLabel, &product)) {
            info->can.dualBrushMotorPresent = 0;
            return ERR_CAN_BRMOTOR_ERROR;
        }
        if (!brush_motor_product(product)) {
            u_msg_stamped("%s: Invalid productID = %u for CAN_NODE_ID_BRUSHMOTOR\n", caller,
                          product);
            return ERR_CAN_INVALID_PRODUCTID;
        }
        bridge->brushMotorProductId = product;
    }
    return NO_ERROR;
}

// Light level 0, the light source's PWM frequency and LED set-up, the default
// light-level range.
int led_start_state(SystemInfo* info) {
    int err = can_write_llc(info, 0, false);
    if (err != NO_ERROR) return err;
    info->can.lightLevel = 0;
    if ((err = can_write_llc_pwmfreq(info, static_cast<uint32_t>(info->llcFreq))) != NO_ERROR)
        return err;
    if ((err = can_write_led_setup(info, static_cast<uint8_t>(info->llcConfig[0]))) != NO_ERROR)
        return err;
    return can_set_llc_range(info, -1);
}

int scanner_check(SystemInfo* info) {
    if (info->can.digitalScanner == 2) {
        float amplitude = 0;
        int err = can_write_pi_ramp_select(info, 1);
        if (err == NO_ERROR) err = can_read_pi_ramp_amplitude(info, &amplitude);
        if (err != NO_ERROR || amplitude == 0) {
            u_msg_sink("%s", kScannerFailed);
            return ERR_CAN_DIGITAL_SCANNER_MISSING;
        }
    } else if (info->can.digitalScanner == 1) {
        int tables = 0;
        int err = can_pi_load_ddl_tables(info, &tables);
        if (err == NO_ERROR) u_msg_sink("Loaded %d PI 751 digital scanner DDL tables\n", tables);
        if (err != NO_ERROR || tables <= 0) {
            u_msg_sink("%s", kScannerFailed);
            return ERR_CAN_DIGITAL_SCANNER_MISSING;
        }
    }
    return NO_ERROR;
}

// Sets bit 0 of a diffuser disk's control byte when it is clear.
template <typename Read, typename Write>
int enable_disk(SystemInfo* info, Read read, Write write) {
    uint8_t control = 0;
    int err = read(info, &control);
    if (err != NO_ERROR || (control & 0x01) != 0) return err;
    return write(info, static_cast<uint8_t>(control | 0x01));
}

// Reads a node's keypress mode into the bridge record, sets bit 1 (keys
// usable) and writes it back.
template <typename Read, typename Write>
int enable_keys(SystemInfo* info, uint8_t* stored, Read read, Write write) {
    uint8_t mode = 0;
    int err = read(info, &mode);
    if (err != NO_ERROR) return err;
    *stored = static_cast<uint8_t>(mode | 0x02);
    return write(info, *stored);
}

// After a failed bring-up the disks must not stay switched on.
void disable_disks(SystemInfo* info) {
    uint8_t control = 0;
    if (info->can.zoomDiskPresent == 1 && can_read_zoom_dd_control(info, &control) == NO_ERROR &&
        (control & 0x01) != 0)
        can_write_zoom_dd_control(info, static_cast<uint8_t>(control & ~0x01u));
    if (info->can.ringSpotPresent == 1 && can_read_rs_dd_control(info, &control) == NO_ERROR &&
        (control & 0x01) != 0)
        can_write_rs_dd_control(info, static_cast<uint8_t>(control & ~0x01u));
}

// A present node that is not operational loses its presence.
bool still_operational(uint8_t* present, uint8_t node, const char* label) {
    if (*present == 0) return true;
    if (wait_for_node_operational(node, label)) return true;
    *present = 0;
    return false;
}

int qel_focus_node(SystemInfo* info, CanBridgeInfo* bridge, const char* caller) {
    SysCanState& can = info->can;
    if (can.ndwStoppedEvent == nullptr) {
        can.ndwStoppedEvent = plat_event_create(true, true, "CAN_NDWHEEL_STOPPED");
        if (can.ndwStoppedEvent == nullptr) {
            u_msg_stamped("%s: Error creating event to signal ND wheel is stopped\n", caller);
            return ERR_INTERNAL_KT;
        }
    }
    int err = can_home_ndw(info, true, CAN_NDW_HOME_LIMIT_MS);
    if (err != NO_ERROR) {
        u_msg_stamped("%s: Error homing the ND wheel\n", caller);
        return err;
    }
    if ((err = can_agc_start(info, 1)) != NO_ERROR) return err;
    return enable_keys(info, &bridge->focusKeypressMode, can_read_focus_keypress_mode,
                       can_write_focus_keypress_mode);
}

// Steps 1 to 7 of the QEL bring-up, on the nodes found present.
int qel_nodes(SystemInfo* info, CanBridgeInfo* bridge, const char* caller) {
    SysCanState& can = info->can;
    if (!still_operational(&can.triplePztPresent, CAN_NODE_TRIPLE_PZT, kTriplePztLabel))
        return ERR_CAN_TRIPLEPZT_ERROR;
    if (can.triplePztPresent != 0) can.pztRampSelect = -1;
    if (!still_operational(&can.largeAperturePresent, CAN_NODE_LARGE_APERTURE, kLargeApLabel))
        return ERR_CAN_LARGEAP_ERROR;
    if (can.largeAperturePresent != 0) can.largeApertureInUse = 1;
    // A wand that does not come up is only reported as absent.
    still_operational(&can.primaryWandPresent, CAN_NODE_WAND, kWandLabel);
    still_operational(&can.secondaryWandPresent, CAN_NODE_WAND2, kWand2Label);

    int err = NO_ERROR;
    if (can.zoomDiskPresent != 0) {
        if (!still_operational(&can.zoomDiskPresent, CAN_NODE_ZOOM_DISK, kZoomDiskLabel))
            return ERR_CAN_DD_ZOOM_ERROR;
        if ((err = enable_disk(info, can_read_zoom_dd_control, can_write_zoom_dd_control)) !=
            NO_ERROR)
            return err;
        if ((err = enable_keys(info, &bridge->zoomDiskKeypressMode, can_read_zoom_keypress_mode,
                               can_write_zoom_keypress_mode)) != NO_ERROR)
            return err;
    }
    if (can.ringSpotPresent != 0) {
        if (!still_operational(&can.ringSpotPresent, CAN_NODE_RING_SPOT, kRingSpotLabel))
            return ERR_CAN_DD_RS_ERROR;
        can.ringSpotRequired = 1;
        if ((err = enable_disk(info, can_read_rs_dd_control, can_write_rs_dd_control)) != NO_ERROR)
            return err;
        if ((err = can_move_ring_spot(info, 0, true)) != NO_ERROR) return err;
        if ((err = enable_keys(info, &bridge->ringSpotKeypressMode, can_read_rs_keypress_mode,
                               can_write_rs_keypress_mode)) != NO_ERROR)
            return err;
    }
    if (can.focusNdwPresent != 0 && can.focusNdwRequired != 0) {
        if (!still_operational(&can.focusNdwPresent, CAN_NODE_FOCUS_NDW, kFocusLabel))
            return ERR_CAN_FOCUS_NDW_ERROR;
        if ((err = qel_focus_node(info, bridge, caller)) != NO_ERROR) return err;
    }
    if (can.zoomDiskPresent != 0) {
        if ((err = can_write_zoom_dd_mode(info, 0)) != NO_ERROR) return err;
        if ((err = can_write_zoom_dd_targetVel(info, can_zoom_disk_velocity(info))) != NO_ERROR)
            return err;
    }
    if (can.ringSpotPresent != 0 && can.ringSpotRequired != 0) {
        if ((err = can_write_rs_dd_mode(info, 1)) != NO_ERROR) return err;
    }
    if (can.auxMotorPresent != 0) {
        if (!wait_for_node_operational(CAN_NODE_AUX_MOTOR, kAuxMotorLabel))
            return ERR_CAN_AUX_MOTOR_ERROR;
        if (info->systemType == 26 && (err = can_park_aux_motor(info, false)) != NO_ERROR)
            return err;
    }
    int output = info->systemType == 26 ? 4 : info->cameraType == 29 ? 1 : -1;
    if (output >= 0) {
        if ((err = can_bridge_write_digitalout(info, static_cast<uint8_t>(output))) != NO_ERROR)
            return err;
        idle_wait(100);
    }
    if ((info->encodedZoom.flags & 0x01) != 0) return qel_enc_zoom_set_backlash(info);
    return NO_ERROR;
}

}  // namespace

CanFamily can_system_family(int32_t systemType) {
    switch (systemType) {
        case 11:
        case 13:
        case 22:
        case 28:
        case 31:
        case 34:
            return CAN_FAMILY_LED;
        case 29:
        case 35:
            return CAN_FAMILY_PZT;
        case 23:
        case 25:
        case 26:
        case 30:
        case 32:
        case 33:
            return CAN_FAMILY_QEL;
        default:
            return CAN_FAMILY_NONE;
    }
}

void can_take_node_requirements(SystemInfo* info) {
    SysCanState& can = info->can;
    can.triplePztRequired = info->pztPresent ? 1 : 0;
    can.largeApertureRequired = info->lapsPresent ? 1 : 0;
    can.zoomDiskRequired = info->zoomPresent ? 1 : 0;
    can.ringSpotRequired = info->ringSpot ? 1 : 0;
    can.dualBrushMotorRequired = info->dualBrushMotorPresent ? 1 : 0;
    can.focusNdwRequired = info->focusNdwPresent ? 1 : 0;
    can.turretPositions = info->turret[1];
    can.zoomPositions = 0;
}

bool find_node(uint8_t nodeId, const char* label) {
    static const char* const kName = "find_node";
    const CanApi* api = can_api();
    if (api == nullptr) return false;
    uint8_t status = 0;
    int32_t canErr = api->CAN_FindNode(nodeId, &status);
    if (canErr != CAN_OK) {
        u_msg_stamped("%s: Error finding node %s: CAN_FindNode canErr = %d\n", kName, label,
                      static_cast<int>(canErr));
        return false;
    }
    if (status != CAN_NODE_PRESENT) {
        u_msg_stamped("%s: Error finding node %s: CAN_FindNode status = %d\n", kName, label,
                      static_cast<int>(status));
        return false;
    }
    return true;
}

bool wait_for_node_operational(uint8_t nodeId, const char* label) {
    static const char* const kName = "wait_for_node_operational";
    const CanApi* api = can_api();
    if (api == nullptr) return false;
    uint8_t state = 0;
    for (int read = 0; read < CAN_NODE_STATE_READS; ++read) {
        if (read > 0) idle_wait(CAN_NODE_STATE_WAIT_MS);
        int32_t canErr = api->CAN_GetNodeState(nodeId, &state);
        if (canErr != CAN_OK) {
            u_msg_stamped(
                "%s: Error waiting for node %s operational: CAN_GetNodeState canErr = %d\n", kName,
                label, static_cast<int>(canErr));
            return false;
        }
        if (state == CAN_NODE_OPERATIONAL) return true;
    }
    u_msg_stamped("%s: Timeout waiting for node %s operational: CAN_GetNodeState status = %d\n",
                  kName, label, static_cast<int>(state));
    return false;
}

bool get_operational_node(SystemInfo* info, uint8_t nodeId, const char* label,
                          uint32_t* productId) {
    if (!find_node(nodeId, label) || !wait_for_node_operational(nodeId, label)) return false;
    int err = can_read_productID(info, nodeId, productId);
    if (err != NO_ERROR) {
        u_msg_stamped("%s: Error getting node %s product ID: %s\n", "get_operational_node", label,
                      u_error_name(err));
        return false;
    }
    return true;
}

int can_init_basic_node_availability(SystemInfo* info) {
    SysCanState& can = info->can;
    // All four are set from this enumeration, so a node gone since the last
    // power-on is not reported as present.
    can.dualBrushMotorPresent = 0;
    can.triplePztPresent = 0;
    can.bridgeNodePresent = 0;
    can.ledPresent = 0;
    uint8_t states[CAN_NODE_COUNT] = {};
    int err = enumerate(states, "can_init_basic_node_availability");
    if (err != NO_ERROR) return err;
    can.bridgeNodePresent = states[CAN_NODE_BRIDGE] == CAN_NODE_PRESENT;
    can.ledPresent = states[CAN_NODE_LED] == CAN_NODE_PRESENT;
    can.dualBrushMotorPresent = states[CAN_NODE_BRUSH_MOTOR] == CAN_NODE_PRESENT;
    can.triplePztPresent = states[CAN_NODE_TRIPLE_PZT] == CAN_NODE_PRESENT;
    u_msg_sink("Instrument CAN node status:\n");
    u_msg_sink("  Ramper           : %s  \n", yes_no(can.bridgeNodePresent));
    u_msg_sink("  LED              : %s  \n", yes_no(can.ledPresent));
    u_msg_sink("  Dual Brush Motor : %s%s\n", yes_no(can.dualBrushMotorPresent),
               ignore_mark(can.dualBrushMotorRequired));
    u_msg_sink("  Triple PZT       : %s%s\n", yes_no(can.triplePztPresent),
               ignore_mark(can.triplePztRequired));
    return NO_ERROR;
}

int can_led_family_on(SystemInfo* info, CanBridgeInfo* bridge) {
    static const char* const kName = "can_led_family_on";
    if (info == nullptr || bridge == nullptr) return ERR_INVALID_PARAM;
    int err = can_init_basic_node_availability(info);
    if (err != NO_ERROR) return err;
    if (info->can.dualBrushMotorRequired != 0 && info->can.dualBrushMotorPresent == 0) {
        u_msg_stamped("Missing the CAN Dual Brush Motor node\n");
        return ERR_CAN_NODE_MISSING;
    }
    if (!wait_for_node_operational(CAN_NODE_BRIDGE, kRampLabel)) return ERR_CAN_RAMP_ERROR;
    if ((err = scanner_check(info)) != NO_ERROR) return err;
    if ((err = led_and_brush_motor(info, bridge, kName)) != NO_ERROR) return err;
    // No turret report seen yet, no zoom move under way.
    can_set_last_turret_flags(info, 255);
    can_set_zoom_state(CAN_ZOOM_IDLE);
    if ((err = led_start_state(info)) != NO_ERROR) return err;
    if (bridge->brushMotorProductId == CAN_PRODUCT_BRMTR_ENCODED && info->zoom != 0) {
        // Tells the event decoder where the zoom starts.
        int32_t position = 0;
        if ((err = can_read_zoom(info, &position)) != NO_ERROR) return err;
    }
    return NO_ERROR;
}

int can_pzt_family_on(SystemInfo* info, CanBridgeInfo* bridge) {
    static const char* const kName = "can_pzt_family_on";
    if (info == nullptr || bridge == nullptr) return ERR_INVALID_PARAM;
    int err = can_init_basic_node_availability(info);
    if (err != NO_ERROR) return err;
    SysCanState& can = info->can;
    if (can.dualBrushMotorRequired != 0 && can.dualBrushMotorPresent == 0) {
        u_msg_stamped("Missing the CAN Dual Brush Motor node\n");
        return ERR_CAN_NODE_MISSING;
    }
    if (can.triplePztRequired != 0 && can.triplePztPresent == 0) {
        u_msg_stamped("Missing the CAN Triple PZT node\n");
        return ERR_CAN_NODE_MISSING;
    }
    // The triple PZT carries this family's ramp.
    if (!wait_for_node_operational(CAN_NODE_BRIDGE, kRampLabel) ||
        !wait_for_node_operational(CAN_NODE_TRIPLE_PZT, kTriplePztLabel))
        return ERR_CAN_RAMP_ERROR;
    can.triplePztPresent = 1;
    if ((err = led_and_brush_motor(info, bridge, kName)) != NO_ERROR) return err;
    return led_start_state(info);
}

int can_qel_on(SystemInfo* info, CanBridgeInfo* bridge) {
    static const char* const kName = "can_qel_on";
    if (info == nullptr || bridge == nullptr) return ERR_INVALID_PARAM;
    SysCanState& can = info->can;
    can.triplePztPresent = 0;
    can.largeAperturePresent = 0;
    can.primaryWandPresent = 0;
    can.secondaryWandPresent = 0;
    can.zoomDiskPresent = 0;
    can.ringSpotPresent = 0;
    can.focusNdwPresent = 0;
    can.auxMotorPresent = 0;
    can.dualBrushMotorPresent = 0;
    uint8_t states[CAN_NODE_COUNT] = {};
    int err = enumerate(states, kName);
    if (err != NO_ERROR) return err;
    auto found = [&states](uint8_t node) -> uint8_t {
        return states[node] == CAN_NODE_PRESENT ? 1 : 0;
    };
    can.triplePztPresent = found(CAN_NODE_TRIPLE_PZT);
    can.largeAperturePresent = found(CAN_NODE_LARGE_APERTURE);
    can.primaryWandPresent = found(CAN_NODE_WAND);
    can.secondaryWandPresent = found(CAN_NODE_WAND2);
    can.zoomDiskPresent = found(CAN_NODE_ZOOM_DISK);
    can.ringSpotPresent = found(CAN_NODE_RING_SPOT);
    can.focusNdwPresent = found(CAN_NODE_FOCUS_NDW);
    can.auxMotorPresent = found(CAN_NODE_AUX_MOTOR);
    u_msg_sink("Instrument CAN node status:\n");
    u_msg_sink("  Triple PZT          : %s\n", yes_no(can.triplePztPresent));
    u_msg_sink("  Large Aperture      : %s\n", yes_no(can.largeAperturePresent));
    u_msg_sink("  Primary Wand        : %s\n", yes_no(can.primaryWandPresent));
    u_msg_sink("  Secondary Wand      : %s\n", yes_no(can.secondaryWandPresent));
    u_msg_sink("  Zoom & Diffuser Disk: %s\n", yes_no(can.zoomDiskPresent));
    u_msg_sink("  RoF & Diffuser Disk : %s\n", yes_no(can.ringSpotPresent));
    u_msg_sink("  Focus & ND Wheel    : %s\n", yes_no(can.focusNdwPresent));
    u_msg_sink("  Auxiliary Motor     : %s\n", yes_no(can.auxMotorPresent));

    const char* missing = nullptr;
    if (can.triplePztRequired != 0 && can.triplePztPresent == 0)
        missing = "Missing the CAN Triple PZT node\n";
    else if (can.largeApertureRequired != 0 && can.largeAperturePresent == 0)
        missing = "Missing the CAN Large Aperture node\n";
    else if (can.zoomDiskRequired != 0 && can.zoomDiskPresent == 0)
        missing = "Missing the CAN Zoom & Diffuser Disk node\n";
    else if (can.ringSpotRequired != 0 && can.ringSpotPresent == 0)
        missing = "Missing the CAN Ring/Spot & Diffuser Disk node\n";
    else if (can.focusNdwRequired != 0 && can.focusNdwPresent == 0)
        missing = "Missing the CAN Focus & ND Wheel node\n";
    else if (info->systemType == 26 && can.auxMotorPresent == 0)
        missing = "Missing the CAN Auxiliary Motor node\n";
    if (missing != nullptr) {
        u_msg_stamped("%s", missing);
        return ERR_CAN_NODE_MISSING;
    }

    err = qel_nodes(info, bridge, kName);
    if (err != NO_ERROR) disable_disks(info);
    return err;
}

int can_bring_up_nodes(SystemInfo* info) {
    if (info == nullptr) return ERR_INVALID_PARAM;
    CanBridgeInfo* bridge = info->canInfo.get();
    switch (can_system_family(info->systemType)) {
        case CAN_FAMILY_LED:
            return can_led_family_on(info, bridge);
        case CAN_FAMILY_PZT:
            return can_pzt_family_on(info, bridge);
        case CAN_FAMILY_QEL:
            info->can.largeApertureInUse = 0;
            info->can.pztRampSelect = -1;
            if (info->systemType == 32 || info->systemType == 33) {
                info->can.triplePztRequired = 0;
                info->can.largeApertureRequired = 0;
            }
            return can_qel_on(info, bridge);
        default:
            return NO_ERROR;
    }
}

double can_zoom_disk_velocity(const SystemInfo* info) {
    if (info->diffDiskRate != -1) return info->diffDiskRate;
    double v = info->can.currentObjectiveValue;
    double k = info->diffDiskFraction;
    // A fraction of 0 would divide by zero, a negative one give a negative
    // velocity: neither is a rate the disk can run at.
    if (!std::isfinite(k) || k <= 0) return CAN_ZOOM_DISK_DEFAULT_VELOCITY;
    if (!std::isfinite(v) || v <= 0) return CAN_ZOOM_DISK_DEFAULT_VELOCITY;
    if (v <= 30) return v / k;
    if (v <= 75) return v * k;
    return CAN_ZOOM_DISK_DEFAULT_VELOCITY;
}

void can_close_ndw_event(SystemInfo* info) {
    if (info == nullptr || info->can.ndwStoppedEvent == nullptr) return;
    plat_handle_close(info->can.ndwStoppedEvent);
    info->can.ndwStoppedEvent = nullptr;
}
