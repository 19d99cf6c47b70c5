// Accessors of the LED node, the dual brush motor node, the identity object,
// the dual-motor objects of any node and the PZT ramp nodes.
#include <cstring>
#include <vector>

#include "can/can_bridge.h"
#include "can/can_events.h"
#include "can/can_sdo.h"
#include "can/can_sdo_internal.h"
#include "common/msg.h"
#include "common/status.h"
#include "config/rampfile.h"

namespace {
constexpr int LED_ERR = ERR_CAN_SDO_LED_ERROR;
constexpr int BRMTR_ERR = ERR_CAN_SDO_BRMOTOR_ERROR;
constexpr int DMD_ERR = ERR_CAN_SDO_DMD_ERROR;

uint16_t maybe_invert(uint16_t value, bool invert) {
    return invert ? static_cast<uint16_t>(~value) : value;
}

bool turret_fitted(const SystemInfo* info) {
    return info->turret[0] == 1 || info->turret[0] == 2;
}
bool encoded_zoom(const SystemInfo* info) {
    return info->zoom == 1;
}
uint32_t brush_motor_product(const SystemInfo* info) {
    return info->canInfo ? info->canInfo->brushMotorProductId : 0;
}
}  // namespace

// ---- LED node 61 ----------------------------------------------------------

int can_write_led_setup(SystemInfo* info, uint8_t setup) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    return can_sdo_write2(CAN_NODE_LED, 0x2000, 0, &setup, 1, true, LED_ERR, "can_write_led_setup");
}

int can_write_llc(SystemInfo* info, uint16_t level, bool invert) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    uint16_t value = maybe_invert(level, invert);
    return can_sdo_write2(CAN_NODE_LED, 0x2001, 0, &value, 2, true, LED_ERR, "can_write_llc");
}

int can_read_llc(SystemInfo* info, uint16_t* level, bool invert) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    uint16_t value = 0;
    int err = can_sdo_read2(CAN_NODE_LED, 0x2001, 0, &value, 2, true, LED_ERR, "can_read_llc");
    if (err == NO_ERROR) *level = maybe_invert(value, invert);
    return err;
}

int can_write_llc_avgcurlmt(SystemInfo* info, int limit) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (limit < 0 || limit > 1000) return ERR_PARAM_OUT_OF_RANGE;
    uint16_t value = static_cast<uint16_t>(limit);
    return can_sdo_write2(CAN_NODE_LED, 0x2002, 0, &value, 2, true, LED_ERR,
                          "can_write_llc_avgcurlmt");
}

int can_write_llc_fwdvlt(SystemInfo* info, int voltage) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (voltage < 0 || voltage > 10000) return ERR_PARAM_OUT_OF_RANGE;
    uint16_t value = static_cast<uint16_t>(voltage);
    return can_sdo_write2(CAN_NODE_LED, 0x2004, 0, &value, 2, true, LED_ERR,
                          "can_write_llc_fwdvlt");
}

int can_write_llc_pwmfreq(SystemInfo* info, uint32_t frequency) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    return can_sdo_write2(CAN_NODE_LED, 0x2006, 0, &frequency, 4, true, LED_ERR,
                          "can_write_llc_pwmfreq");
}

// ---- Dual brush motor node 63 ---------------------------------------------

int can_read_turret_status(SystemInfo* info, uint8_t* status) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (!turret_fitted(info)) return ERR_MOTORIZED_OR_ENCODED_TURRET_NOT_AVAILABLE;
    return can_sdo_read2(CAN_NODE_BRUSH_MOTOR, 0x2001, 0, status, 1, true, BRMTR_ERR,
                         "can_read_turret_status");
}

int can_read_turret(SystemInfo* info, uint8_t* position) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (!turret_fitted(info)) return ERR_MOTORIZED_OR_ENCODED_TURRET_NOT_AVAILABLE;
    return can_sdo_read2(CAN_NODE_BRUSH_MOTOR, 0x2002, 0, position, 1, true, BRMTR_ERR,
                         "can_read_turret");
}

int can_read_zoom(SystemInfo* info, int32_t* position) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (info->zoom == 0) return ERR_ZOOM_NOT_AVAILABLE;
    uint8_t raw = 0;
    int err =
        can_sdo_read2(CAN_NODE_BRUSH_MOTOR, 0x2012, 0, &raw, 1, true, BRMTR_ERR, "can_read_zoom");
    if (err != NO_ERROR) return err;
    uint32_t product = brush_motor_product(info);
    if (product == CAN_PRODUCT_BRMTR_ENCODED && encoded_zoom(info)) {
        int mapped = can_zoom_table_position(raw);
        if (mapped < 0) {
            *position = 0;
            return ERR_PARAM_OUT_OF_RANGE;
        }
        *position = mapped;
        // The first reading tells the event decoder where the zoom starts.
        can_seed_last_zoom_position(static_cast<uint8_t>(mapped));
        return NO_ERROR;
    }
    *position = (product == CAN_PRODUCT_BRMTR_D5 && raw == 15) ? CAN_ZOOM_NO_POSITION : raw;
    return NO_ERROR;
}

int can_read_all_zoom(SystemInfo* info) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (info->canInfo == nullptr) return ERR_INVALID_PARAM;
    if (brush_motor_product(info) == CAN_PRODUCT_BRMTR_ENCODED && encoded_zoom(info))
        return ERR_INVALID_PARAM;
    int32_t* table = info->canInfo->zoomPositions;
    for (int i = 0; i < CAN_ZOOM_TABLE_SIZE; ++i) table[i] = CAN_ZOOM_NO_POSITION;
    uint8_t raw[CAN_ZOOM_TABLE_SIZE] = {};
    int err = can_sdo_read2(CAN_NODE_BRUSH_MOTOR, 0x2015, 0, raw, sizeof raw, true, BRMTR_ERR,
                            "can_read_all_zoom");
    if (err != NO_ERROR) return err;
    // The count comes from a 3-bit field of the node (up to 7); the table has six.
    int count = info->can.zoomPositions;
    if (count > CAN_ZOOM_TABLE_SIZE) count = CAN_ZOOM_TABLE_SIZE;
    for (int i = 0; i < count; ++i) table[i] = raw[i] == 15 ? CAN_ZOOM_NO_POSITION : raw[i];
    return NO_ERROR;
}

int can_get_brmtr_config(SystemInfo* info, uint16_t* config) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    return can_sdo_read2(CAN_NODE_BRUSH_MOTOR, 0x2020, 1, config, 2, true, BRMTR_ERR,
                         "can_get_brmtr_config");
}

// ---- Any node ------------------------------------------------------------

int can_read_productID(SystemInfo* info, uint8_t node, uint32_t* productId) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    return can_sdo_read2(node, 0x1018, 2, productId, 4, true, ERR_CAN_ERROR, "can_read_productID");
}

int can_read_version(SystemInfo* info, uint8_t node, int* major, int* minor) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    uint32_t version = 0;
    int err = can_sdo_read2(node, 0x1018, 3, &version, 4, true, ERR_CAN_ERROR, "can_read_version");
    if (err != NO_ERROR) return err;
    *major = static_cast<int>(version >> 16);
    *minor = static_cast<int>(version & 0xFFFF);
    return NO_ERROR;
}

int can_read_dmd_motor1_control(SystemInfo* info, uint8_t node, uint8_t* control) {
    if (!can_interface(info)) return ERR_INVALID_PARAM;
    return can_sdo_read2(node, 0x2000, 0, control, 1, true, DMD_ERR, "can_read_dmd_motor1_control");
}

int can_write_dmd_motor1_control(SystemInfo* info, uint8_t node, uint8_t control) {
    if (!can_interface(info)) return ERR_INVALID_PARAM;
    return can_sdo_write2(node, 0x2000, 0, &control, 1, true, DMD_ERR,
                          "can_write_dmd_motor1_control");
}

int can_write_dmd_motor1_mode(SystemInfo* info, uint8_t node, int mode) {
    static const char* const kName = "can_write_dmd_motor1_mode";
    if (!can_interface(info)) return ERR_INVALID_PARAM;
    if (mode < 0 || mode > 4) {
        u_msg_sink("%s: invalid mode=%d\n", kName, mode);
        return ERR_INVALID_PARAM;
    }
    uint8_t value = static_cast<uint8_t>(mode);
    return can_sdo_write2(node, 0x2002, 0, &value, 1, true, DMD_ERR, kName);
}

int can_write_dmd_motor1_targetVel(SystemInfo* info, uint8_t node, double velocity) {
    if (!can_interface(info)) return ERR_INVALID_PARAM;
    if (!(velocity >= 10 && velocity <= 10000)) return ERR_INVALID_PARAM;
    float value = static_cast<float>(velocity);
    return can_sdo_write2(node, 0x2004, 0, &value, 4, true, DMD_ERR,
                          "can_write_dmd_motor1_targetVel");
}

int can_write_dmd_motor2_control(SystemInfo* info, uint8_t node, uint8_t control) {
    if (!can_interface(info)) return ERR_INVALID_PARAM;
    return can_sdo_write2(node, 0x2020, 0, &control, 1, true, DMD_ERR,
                          "can_write_dmd_motor2_control");
}

int can_read_dmd_motor2_status(SystemInfo* info, uint8_t node, uint8_t* status) {
    if (!can_interface(info)) return ERR_INVALID_PARAM;
    return can_sdo_read2(node, 0x2021, 0, status, 1, true, DMD_ERR, "can_read_dmd_motor2_status");
}

int can_read_dmd_motor2_llcLevel(SystemInfo* info, uint8_t node, uint16_t* level, bool invert) {
    if (!can_interface(info)) return ERR_INVALID_PARAM;
    uint16_t value = 0;
    int err =
        can_sdo_read2(node, 0x2028, 0, &value, 2, true, DMD_ERR, "can_read_dmd_motor2_llcLevel");
    if (err == NO_ERROR) *level = maybe_invert(value, invert);
    return err;
}

int can_write_dmd_motor2_llcLevel(SystemInfo* info, uint8_t node, uint16_t level, bool invert) {
    if (!can_interface(info)) return ERR_INVALID_PARAM;
    uint16_t value = maybe_invert(level, invert);
    // The gain control's own adjustments are not the operator's use.
    return can_sdo_write2(node, 0x2028, 0, &value, 2, !can_agc_thread_running(), DMD_ERR,
                          "can_write_dmd_motor2_llcLevel");
}

int can_read_dmd_motor2_maxCurrent(SystemInfo* info, uint8_t node, int16_t* current) {
    if (!can_interface(info)) return ERR_INVALID_PARAM;
    return can_sdo_read2(node, 0x2036, 0, current, 2, true, DMD_ERR,
                         "can_read_dmd_motor2_maxCurrent");
}

int can_write_dmd_motor2_current(SystemInfo* info, uint8_t node, int16_t current) {
    if (!can_interface(info)) return ERR_INVALID_PARAM;
    int16_t maxCurrent = 0;
    int err = can_read_dmd_motor2_maxCurrent(info, node, &maxCurrent);
    if (err != NO_ERROR) return err;
    return can_sdo_write2(node, 0x2034, 0, &current, 2, true, DMD_ERR,
                          "can_write_dmd_motor2_current");
}

int can_read_dmd_motor2_position(SystemInfo* info, uint8_t node, uint8_t* position) {
    if (!can_interface(info)) return ERR_INVALID_PARAM;
    return can_sdo_read2(node, 0x2047, 0, position, 1, true, DMD_ERR,
                         "can_read_dmd_motor2_position");
}

int can_read_dmd_keypress_mode(SystemInfo* info, uint8_t node, uint8_t* mode) {
    if (!can_interface(info)) return ERR_INVALID_PARAM;
    return can_sdo_read2(node, 0x2044, 8, mode, 1, true, DMD_ERR, "can_read_dmd_keypress_mode");
}

int can_write_dmd_keypress_mode(SystemInfo* info, uint8_t node, uint8_t mode) {
    if (!can_interface(info)) return ERR_INVALID_PARAM;
    return can_sdo_write2(node, 0x2044, 8, &mode, 1, true, DMD_ERR, "can_write_dmd_keypress_mode");
}

// ---- PZT ramp node ---------------------------------------------------------

namespace {
struct PztNode {
    uint8_t node;
    int sdoError;
};

// The node rampMux selects, or the error (reported) when there is none.
int pzt_node(SystemInfo* info, PztNode* out) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (info->can.rampMux == 0) {
        if (info->can.triplePztPresent != 1) {
            u_msg_sink("The triple PZT node is not available\n");
            return ERR_CAN_NODE_NOT_AVAIL;
        }
        *out = {CAN_NODE_TRIPLE_PZT, ERR_CAN_SDO_PZT_ERROR};
        return NO_ERROR;
    }
    if (info->can.rampMux == 1) {
        if (info->can.largeAperturePresent != 1) {
            u_msg_sink("The large aperture PZT power node is not available\n");
            return ERR_CAN_NODE_NOT_AVAIL;
        }
        *out = {CAN_NODE_LARGE_APERTURE, ERR_CAN_SDO_LAP_ERROR};
        return NO_ERROR;
    }
    u_msg_sink("Invalid parameter si->rampMux=%d\n", info->can.rampMux);
    return ERR_INVALID_PARAM;
}
}  // namespace

int can_pztramp_start(SystemInfo* info) {
    PztNode p{};
    if (int err = pzt_node(info, &p)) return err;
    uint8_t one = 1;
    return can_sdo_write2(p.node, 0x2000, 0, &one, 1, true, p.sdoError, "can_pztramp_start");
}

int can_read_pztramp_status(SystemInfo* info, uint8_t* status) {
    PztNode p{};
    if (int err = pzt_node(info, &p)) return err;
    return can_sdo_read2(p.node, 0x2000, 0, status, 1, true, p.sdoError, "can_read_pztramp_status");
}

int can_write_pztramp_select(SystemInfo* info, int ramp) {
    PztNode p{};
    if (int err = pzt_node(info, &p)) return err;
    if (ramp < 0 || ramp > 3) return ERR_PARAM_OUT_OF_RANGE;
    uint8_t value = static_cast<uint8_t>(ramp);
    return can_sdo_write2(p.node, 0x2001, 0, &value, 1, true, p.sdoError,
                          "can_write_pztramp_select");
}

int can_read_pztramp_valid(SystemInfo* info, int ramp, uint8_t* valid) {
    PztNode p{};
    if (int err = pzt_node(info, &p)) return err;
    if (ramp < 0 || ramp > 3) return ERR_PARAM_OUT_OF_RANGE;
    return can_sdo_read2(p.node, static_cast<uint16_t>(0x2003 + ramp), 1, valid, 1, true,
                         p.sdoError, "can_read_pztramp_valid");
}

int can_write_pztramp_trigger(SystemInfo* info, int ramp, const rr_ramp_hdr_t* header) {
    static const char* const kName = "can_write_pztramp_trigger";
    PztNode p{};
    if (int err = pzt_node(info, &p)) return err;
    if (ramp < 0 || ramp > 3) return ERR_PARAM_OUT_OF_RANGE;
    if (header == nullptr) return ERR_NO_RAMP_INFO;
    double frame = 0;
    bool finite = can_ramp_frame_number(header, &frame);
    if (finite && info->systemType == 25) frame = frame * 2 + 1;
    if (!finite || frame < 0 || frame > 16383) {
        u_msg_sink("%s: calculated frameNumber=%d outside of valid range [%d,%d]\n", kName,
                   can_frame_for_message(frame), 0, 16383);
        return ERR_PARAM_OUT_OF_RANGE;
    }
    uint16_t value = static_cast<uint16_t>(frame);
    return can_sdo_write2(p.node, static_cast<uint16_t>(0x2003 + ramp), 2, &value, 2, true,
                          p.sdoError, kName);
}

int can_write_pztramp_rate(SystemInfo* info, int ramp, double rate) {
    PztNode p{};
    if (int err = pzt_node(info, &p)) return err;
    if (ramp < 0 || ramp > 3 || !(rate >= 0 && rate <= 200)) return ERR_PARAM_OUT_OF_RANGE;
    float value = static_cast<float>(rate * 1000.0);
    return can_sdo_write2(p.node, static_cast<uint16_t>(0x2003 + ramp), 4, &value, 4, true,
                          p.sdoError, "can_write_pztramp_rate");
}

int can_write_pztramp_data(SystemInfo* info, int ramp, const uint16_t* samples, int count) {
    PztNode p{};
    if (int err = pzt_node(info, &p)) return err;
    if (ramp < 0 || ramp > 3 || count < 1 || count > CAN_RAMP_MAX_POINTS || samples == nullptr)
        return ERR_PARAM_OUT_OF_RANGE;
    return can_sdo_write2(p.node, static_cast<uint16_t>(0x2003 + ramp), 5, samples,
                          static_cast<uint32_t>(count) * 2, true, p.sdoError,
                          "can_write_pztramp_data");
}

int can_write_pztramp_gain(SystemInfo* info, int ramp, int kind, int gain) {
    PztNode p{};
    if (int err = pzt_node(info, &p)) return err;
    if (ramp < 0 || ramp > 3 || kind < 1 || kind > 3 || gain < 0 || gain > 0x3FFF)
        return ERR_PARAM_OUT_OF_RANGE;
    uint16_t value = static_cast<uint16_t>(gain);
    return can_sdo_write2(p.node, static_cast<uint16_t>(0x2003 + ramp),
                          static_cast<uint8_t>(5 + kind), &value, 2, true, p.sdoError,
                          "can_write_pztramp_gain");
}

int can_read_pztramp_errchk(SystemInfo* info, uint32_t* errors) {
    PztNode p{};
    if (int err = pzt_node(info, &p)) return err;
    return can_sdo_read2(p.node, 0x1002, 0, errors, 4, true, p.sdoError, "can_read_pztramp_errchk");
}
