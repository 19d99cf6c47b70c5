// Accessors of the bridge node 127: ramps, PI scanner, configuration, digital
// I/O.
#include <cmath>
#include <cstring>
#include <vector>

#include "can/can_bridge.h"
#include "can/can_sdo.h"
#include "can/can_sdo_internal.h"
#include "common/abort.h"
#include "common/msg.h"
#include "common/status.h"
#include "config/rampfile.h"
#include "platform/clock.h"

namespace {
constexpr uint8_t B = CAN_NODE_BRIDGE;
constexpr int RAMP_ERR = ERR_CAN_SDO_RAMP_ERROR;
constexpr int BRIDGE_ERR = ERR_CAN_SDO_BRIDGE_ERROR;

bool valid_ramp(int ramp) {
    return ramp >= 0 && ramp <= 3;
}
uint16_t ramp_object(int ramp) {
    return static_cast<uint16_t>(0x2003 + ramp);
}

// System types whose piezo focus is driven by the bridge (piezo focus mode 1).
bool piezo_focus_type(int32_t type) {
    switch (type) {
        case 5:
        case 7:
        case 11:
        case 13:
        case 16:
        case 20:
        case 22:
        case 28:
        case 31:
        case 34:
            return true;
        default:
            return false;
    }
}
}  // namespace

uint8_t can_bridge_firmware_major(const SystemInfo* info) {
    return info->canInfo ? info->canInfo->firmwareMajor : 0;
}

bool can_bridge_firmware_newer(const SystemInfo* info, int major, int minor) {
    return info->canInfo && can_firmware_newer_than(info->canInfo.get(), major, minor);
}

// The frame number of the ramp's trigger, S x F / (sampleClkFreq x 1000),
// rounded; computed in double so no header value can overflow it. False for a
// result that is not a finite number; *forMessage is then what is printed.
bool can_ramp_frame_number(const rr_ramp_hdr_t* header, double* frame) {
    double value = static_cast<double>(header->trigStartAddr) * header->cameraRate /
                   (static_cast<double>(header->sampleClkFreq) * 1000.0);
    *frame = std::nearbyint(value);
    return std::isfinite(*frame);
}

// An int for the message of a frame number outside its range.
int can_frame_for_message(double frame) {
    if (std::isnan(frame)) return 0;
    if (frame >= 2147483647.0) return 2147483647;
    if (frame <= -2147483648.0) return -2147483647 - 1;
    return static_cast<int>(frame);
}

int can_ramp_start(SystemInfo* info) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (can_pi_scanner(info)) return can_pi_ramp_start(info);
    uint8_t one = 1;
    return can_sdo_write2(B, 0x2000, 0, &one, 1, true, RAMP_ERR, "can_ramp_start");
}

int can_read_ramp_status(SystemInfo* info, uint8_t* status) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (can_pi_scanner(info)) return can_read_pi_ramp_status(info, status);
    return can_sdo_read2(B, 0x2000, 0, status, 1, true, RAMP_ERR, "can_read_ramp_status");
}

int can_write_ramp_select(SystemInfo* info, int ramp) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (!valid_ramp(ramp)) return ERR_PARAM_OUT_OF_RANGE;
    // The PI scanner numbers its ramps from 1.
    if (can_pi_scanner(info)) return can_write_pi_ramp_select(info, ramp + 1);
    uint8_t value = static_cast<uint8_t>(ramp);
    return can_sdo_write2(B, 0x2001, 0, &value, 1, true, RAMP_ERR, "can_write_ramp_select");
}

int can_read_ramp_valid(SystemInfo* info, int ramp, uint8_t* valid) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (!valid_ramp(ramp)) return ERR_PARAM_OUT_OF_RANGE;
    if (can_pi_scanner(info)) {
        *valid = 1;
        return NO_ERROR;
    }
    return can_sdo_read2(B, ramp_object(ramp), 1, valid, 1, true, RAMP_ERR, "can_read_ramp_valid");
}

int can_write_ramp_trigger(SystemInfo* info, int ramp, const rr_ramp_hdr_t* header) {
    static const char* const kName = "can_write_ramp_trigger";
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (!valid_ramp(ramp)) return ERR_PARAM_OUT_OF_RANGE;
    if (header == nullptr) return ERR_NO_RAMP_INFO;
    double frame = 0;
    if (!can_ramp_frame_number(header, &frame) || frame < 0 || frame >= 256) {
        u_msg_sink("%s: calculated frameNumber=%d outside of valid range\n", kName,
                   can_frame_for_message(frame));
        return ERR_PARAM_OUT_OF_RANGE;
    }
    uint16_t value = static_cast<uint16_t>(frame);
    return can_sdo_write2(B, ramp_object(ramp), 2, &value, 2, true, RAMP_ERR, kName);
}

int can_write_ramp_rate(SystemInfo* info, int ramp, double rate) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (!valid_ramp(ramp) || !(rate >= 0 && rate <= 200)) return ERR_PARAM_OUT_OF_RANGE;
    float value = static_cast<float>(rate * 1000.0);
    return can_sdo_write2(B, ramp_object(ramp), 4, &value, 4, true, RAMP_ERR,
                          "can_write_ramp_rate");
}

int can_write_ramp_data(SystemInfo* info, int ramp, const uint16_t* samples, int count) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (!valid_ramp(ramp) || count < 0 || count > CAN_RAMP_MAX_POINTS ||
        (count > 0 && samples == nullptr))
        return ERR_PARAM_OUT_OF_RANGE;
    // The object is always the whole block: a shorter ramp is padded with zeros
    // rather than read past its end.
    std::vector<uint16_t> block(CAN_RAMP_MAX_POINTS, 0);
    if (count > 0) std::memcpy(block.data(), samples, static_cast<size_t>(count) * 2);
    return can_sdo_write2(B, ramp_object(ramp), 5, block.data(), CAN_RAMP_BLOCK_BYTES, true,
                          RAMP_ERR, "can_write_ramp_data");
}

int can_write_pifoc_offset(SystemInfo* info, int32_t offset, bool wait) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (offset < 0 || offset > 0xFFFF) return ERR_PARAM_OUT_OF_RANGE;
    if (wait && !piezo_focus_type(info->systemType)) return ERR_WRONG_SYSTEM_TYPE;
    if (!can_pi_scanner(info)) {
        uint16_t value = static_cast<uint16_t>(offset);
        int err = can_sdo_write2(B, 0x2009, 1, &value, 2, true, RAMP_ERR, "can_write_pifoc_offset");
        if (err != NO_ERROR) return err;
    }
    info->can.pifocOffsetTimeMs = plat_clock_ms();
    if (!wait) return NO_ERROR;
    for (int read = 0; read < 20; ++read) {
        if (read > 0) {
            plat_sleep_ms(100);
            u_idle();
        }
        uint8_t status = 0;
        int err = can_read_ramp_status(info, &status);
        if (err != NO_ERROR) return err;
        if (status == 0) return NO_ERROR;
    }
    return ERR_RAMP_WAIT_TIMEOUT;
}

int can_read_bridge_status(SystemInfo* info, uint8_t* status) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    return can_sdo_read2(B, 0x2010, 1, status, 1, true, BRIDGE_ERR, "can_read_bridge_status");
}

int can_bridge_read_config(SystemInfo* info, uint16_t* config) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    return can_sdo_read2(B, 0x2010, 2, config, 2, true, RAMP_ERR, "can_bridge_read_config");
}

int can_bridge_write_config(SystemInfo* info, uint16_t config) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    return can_sdo_write2(B, 0x2010, 2, &config, 2, true, RAMP_ERR, "can_bridge_write_config");
}

int can_write_fg_trigger(SystemInfo* info, uint16_t frame) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    // Firmware up to 1.11 takes one byte.
    uint32_t size = can_bridge_firmware_newer(info, 1, 11) ? 2 : 1;
    return can_sdo_write2(B, 0x2010, 5, &frame, size, true, RAMP_ERR, "can_write_fg_trigger");
}

int can_write_syncgen(SystemInfo* info, double frequency) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (!(frequency >= 0 && frequency <= 100000)) return ERR_PARAM_OUT_OF_RANGE;
    float value = static_cast<float>(frequency);
    return can_sdo_write2(B, 0x2030, 0, &value, 4, true, RAMP_ERR, "can_write_syncgen");
}

int can_pi_ramp_start(SystemInfo* info) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (!can_pi_scanner(info)) return ERR_INVALID_PARAM;
    uint8_t one = 1;
    return can_sdo_write2(B, 0x2041, 6, &one, 1, true, RAMP_ERR, "can_pi_ramp_start");
}

int can_write_pi_ramp_select(SystemInfo* info, int ramp) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (!can_pi_scanner(info)) return ERR_INVALID_PARAM;
    int last = info->can.digitalScanner == 1 ? 15 : 100;
    if (ramp < 1 || ramp > last) return ERR_PARAM_OUT_OF_RANGE;
    uint8_t value = static_cast<uint8_t>(ramp);
    return can_sdo_write2(B, 0x2041, 1, &value, 1, true, RAMP_ERR, "can_write_pi_ramp_select");
}

int can_read_pi_ramp_amplitude(SystemInfo* info, float* amplitude) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (!can_pi_scanner(info)) return ERR_INVALID_PARAM;
    return can_sdo_read2(B, 0x2041, 2, amplitude, 4, true, RAMP_ERR, "can_read_pi_ramp_amplitude");
}

int can_read_pi_ramp_velocity(SystemInfo* info, float* velocity) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (!can_pi_scanner(info)) return ERR_INVALID_PARAM;
    return can_sdo_read2(B, 0x2041, 3, velocity, 4, true, RAMP_ERR, "can_read_pi_ramp_velocity");
}

int can_read_pi_ramp_status(SystemInfo* info, uint8_t* status) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (!can_pi_scanner(info)) return ERR_INVALID_PARAM;
    // Kept as documented: firmware whose major and minor both exceed 5 moved it.
    bool moved =
        info->canInfo && info->canInfo->firmwareMajor > 5 && info->canInfo->firmwareMinor > 5;
    uint16_t value = 0;
    int err =
        moved ? can_sdo_read2(B, 0x2040, 0, &value, 2, true, RAMP_ERR, "can_read_pi_ramp_status")
              : can_sdo_read2(B, 0x2041, 11, &value, 2, true, RAMP_ERR, "can_read_pi_ramp_status");
    if (err != NO_ERROR) return err;
    *status = value != 0 ? 3 : 0;
    return NO_ERROR;
}

int can_read_pi_serial_integer(SystemInfo* info, uint16_t* value) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (!can_pi_scanner(info)) return ERR_INVALID_PARAM;
    return can_sdo_read2(B, 0x2041, 20, value, 2, true, RAMP_ERR, "can_read_pi_serial_integer");
}

int can_pi_load_ddl_tables(SystemInfo* info, int* tables) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (info->can.digitalScanner != 1) return ERR_INVALID_PARAM;
    uint8_t zero = 0;
    int err = can_sdo_write2(B, 0x2041, 19, &zero, 1, true, RAMP_ERR, "can_pi_load_ddl_tables");
    if (err != NO_ERROR) return err;
    plat_sleep_ms(2000);
    u_idle();
    uint16_t count = 0;
    err = can_read_pi_serial_integer(info, &count);
    if (err == NO_ERROR && tables != nullptr) *tables = count;
    return err;
}

int can_bridge_read_digitalout(SystemInfo* info, uint8_t* value) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    return can_sdo_read2(B, 0x6200, 1, value, 1, true, BRIDGE_ERR, "can_bridge_read_digitalout");
}

int can_bridge_write_digitalout(SystemInfo* info, uint8_t value) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    return can_sdo_write2(B, 0x6200, 1, &value, 1, true, BRIDGE_ERR, "can_bridge_write_digitalout");
}

int can_set_align_illumination_diode(SystemInfo* info, bool on) {
    static const char* const kName = "can_set_align_illumination_diode";
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (can_bridge_firmware_major(info) == 0) return NO_ERROR;
    if (!can_bridge_firmware_newer(info, 10, 8)) {
        // Before 10.9 the diode is bit 0 of the digital outputs, active low.
        uint8_t outputs = 0;
        int err = can_bridge_read_digitalout(info, &outputs);
        if (err != NO_ERROR) return err;
        outputs = on ? static_cast<uint8_t>(outputs & ~1u) : static_cast<uint8_t>(outputs | 1u);
        return can_bridge_write_digitalout(info, outputs);
    }
    uint8_t one = 1;
    int err = can_sdo_write2(B, 0x6240, 1, &one, 1, true, BRIDGE_ERR, kName);
    if (err != NO_ERROR) return err;
    uint8_t state = on ? 1 : 0;
    return can_sdo_write2(B, 0x6220, 1, &state, 1, true, BRIDGE_ERR, kName);
}

int can_rearm_scanner_trigger(SystemInfo* info) {
    if (!can_interface(info)) return ERR_WRONG_INSTR_BOARD;
    if (!can_bridge_firmware_newer(info, 1, 11) || !can_pi_scanner(info)) return NO_ERROR;
    uint16_t config = 0;
    int err = can_bridge_read_config(info, &config);
    if (err != NO_ERROR) return err;
    return can_bridge_write_config(info, static_cast<uint16_t>(config | (1u << 13)));
}
