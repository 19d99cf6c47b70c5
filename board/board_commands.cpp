// One function per board command: payload packing and reply unpacking.
#include <algorithm>
#include <cstring>

#include "board/board.h"
#include "common/msg.h"
#include "common/status.h"
#include "config/rampfile.h"
#include "config/sysinfo.h"

namespace {
void put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void put32(uint8_t* p, uint32_t v) {
    put16(p, v >> 16);
    put16(p + 2, v);
}
uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(get16(p)) << 16 | get16(p + 2);
}

// The board keeps piezo-focus readings with `r` fractional bits; the host
// works with 4. A resolution above 4 cannot be scaled (the shift would be
// negative) and is a corrupt reply.
bool scale_pifoc(uint32_t raw, uint8_t resolution, int32_t* value) {
    if (resolution > 4) return false;
    *value = static_cast<int32_t>(raw << (4 - resolution));
    return true;
}

// Runs the command named `suffix` ("POWER_CHK_CMD") of the instrument's
// board type; ERR_WRONG_INSTR_BOARD when the type lacks it.
int run(SystemInfo* info, const char* suffix, const uint8_t* payload, int payloadLen,
        uint8_t* reply, int replyCap) {
    if (info == nullptr || !ur_speaks_protocol(info->instrBdType)) return ERR_WRONG_INSTR_BOARD;
    int code = ur_cmd_code(info->instrBdType, suffix);
    if (code < 0) return ERR_WRONG_INSTR_BOARD;
    return ur_command(info, code, payload, payloadLen, reply, replyCap);
}

int run_byte(SystemInfo* info, const char* suffix, const uint8_t* payload, int payloadLen,
             uint8_t* value) {
    uint8_t reply[1] = {};
    int result = run(info, suffix, payload, payloadLen, reply, 1);
    if (result == NO_ERROR && value != nullptr) *value = reply[0];
    return result;
}

// A command whose request is one byte, or one 16-bit value, and that is
// acknowledged.
int run_value(SystemInfo* info, const char* suffix, uint8_t value) {
    return run(info, suffix, &value, 1, nullptr, 0);
}

int run_word(SystemInfo* info, const char* suffix, uint16_t value) {
    uint8_t payload[2];
    put16(payload, value);
    return run(info, suffix, payload, 2, nullptr, 0);
}

// Request length byte minus code and checksum: the payload size of a command.
int payload_size(SystemInfo* info, const char* suffix) {
    if (info == nullptr) return -1;
    int code = ur_cmd_code(info->instrBdType, suffix);
    const UrCmdInfo* row = ur_cmd_info(info->instrBdType, code);
    return row != nullptr ? row->reqLen - 2 : -1;
}

const char* const kEeSet[] = {"EE_CAMERA_SET_CMD", "EE_LIGHT_SET_CMD", "EE_SYSTEM_SET_CMD",
                              "EE_INSTRBD_SET_CMD"};
const char* const kEeRead[] = {"EE_CAMERA_READ_CMD", "EE_LIGHT_READ_CMD", "EE_SYSTEM_READ_CMD",
                               "EE_INSTRBD_READ_CMD"};
const char* const kAdcRead[] = {"ADC_P12_READ_CMD", "ADC_N15_READ_CMD", "ADC_P15_READ_CMD",
                                "ADC_P200_READ_CMD"};

int check_slot(int slot) {
    return slot >= 0 && slot <= 255 ? NO_ERROR : ERR_PARAM_OUT_OF_RANGE;
}
}  // namespace

int ur_command(SystemInfo* info, int code, const uint8_t* payload, int payloadLen, uint8_t* reply,
               int replyCap) {
    if (info == nullptr || !ur_speaks_protocol(info->instrBdType)) return ERR_WRONG_INSTR_BOARD;
    const UrCmdInfo* row = ur_cmd_info(info->instrBdType, code);
    if (row == nullptr) return ERR_WRONG_INSTR_BOARD;
    // Reports are never requested.
    if (row->reqLen < 2) return ERR_INVALID_PARAM;
    int want = row->reqLen - 2;
    int reply_len = row->replyLen > 2 ? row->replyLen - 2 : 0;
    if (payloadLen != want || (want > 0 && payload == nullptr)) return ERR_INVALID_PARAM;
    if (reply_len > 0 && (reply == nullptr || replyCap < reply_len)) return ERR_INVALID_PARAM;

    uint8_t frame[UZ_REPLY_BUFFER_SIZE + 1] = {};
    frame[0] = row->reqLen;
    frame[1] = static_cast<uint8_t>(code);
    if (want > 0) std::memcpy(frame + 2, payload, static_cast<std::size_t>(want));
    bool data = row->replyLen != 0;
    int result =
        ur_writeUZ(info->serial.instrBdPort, row->reqLen, frame, sizeof frame, data, false);
    if (result == NO_ERROR && reply_len > 0)
        std::memcpy(reply, frame + 1, static_cast<std::size_t>(reply_len));
    return result;
}

int ur_pzt_set(SystemInfo* info, const uint16_t values[3]) {
    if (values == nullptr) return ERR_INVALID_PARAM;
    uint8_t payload[6];
    for (int i = 0; i < 3; ++i) put16(payload + 2 * i, values[i]);
    // Board type 6 drives one PZT value.
    int size = payload_size(info, "PZT_SET_CMD");
    return run(info, "PZT_SET_CMD", payload, size, nullptr, 0);
}

int ur_llc_set(SystemInfo* info, int level) {
    if (info == nullptr || !ur_speaks_protocol(info->instrBdType)) return ERR_WRONG_INSTR_BOARD;
    uint8_t payload[2];
    int size = 1;
    switch (info->instrBdType) {
        case 3:
        case 6:
            if (level < 0 || level >= (info->instrBdType == 3 ? 160 : 256))
                return ERR_PARAM_OUT_OF_RANGE;
            payload[0] = static_cast<uint8_t>(level);
            break;
        default: {
            // Types 1 and 7 take the level inverted against full scale.
            int full = info->instrBdType == 1 ? 4095 : 3685;
            if (level < 0 || level > full) return ERR_PARAM_OUT_OF_RANGE;
            put16(payload, static_cast<uint32_t>(full - level));
            size = 2;
        }
    }
    return run(info, "LLC_SET_CMD", payload, size, nullptr, 0);
}

int ur_llc_read(SystemInfo* info, int* level) {
    if (info == nullptr || !ur_speaks_protocol(info->instrBdType)) return ERR_WRONG_INSTR_BOARD;
    uint8_t reply[2] = {};
    bool wide = info->instrBdType == 1 || info->instrBdType == 7;
    int result = run(info, "LLC_READ_CMD", nullptr, 0, reply, sizeof reply);
    if (result != NO_ERROR || level == nullptr) return result;
    if (wide)
        *level = (info->instrBdType == 1 ? 4095 : 3685) - get16(reply);
    else
        *level = reply[0];
    return result;
}

int ur_ee_serial_set(SystemInfo* info, uint32_t serial) {
    uint8_t payload[4];
    put32(payload, serial);
    return run(info, "EE_SERIAL_SET_CMD", payload, 4, nullptr, 0);
}

int ur_ee_serial_read(SystemInfo* info, uint32_t* serial) {
    uint8_t reply[4] = {};
    int result = run(info, "EE_SERIAL_READ_CMD", nullptr, 0, reply, 4);
    if (result == NO_ERROR && serial != nullptr) *serial = get32(reply);
    return result;
}

int ur_ee_sysdate_set(SystemInfo* info, uint16_t date) {
    uint8_t payload[2];
    put16(payload, date);
    return run(info, "EE_SYSDATE_SET_CMD", payload, 2, nullptr, 0);
}

int ur_ee_sysdate_read(SystemInfo* info, uint16_t* date) {
    uint8_t reply[2] = {};
    int result = run(info, "EE_SYSDATE_READ_CMD", nullptr, 0, reply, 2);
    if (result == NO_ERROR && date != nullptr) *date = get16(reply);
    return result;
}

int ur_ee_byte_set(SystemInfo* info, UrEeField field, uint8_t value) {
    if (field < UR_EE_CAMERA || field > UR_EE_INSTRBD) return ERR_INVALID_PARAM;
    return run(info, kEeSet[field], &value, 1, nullptr, 0);
}

int ur_ee_byte_read(SystemInfo* info, UrEeField field, uint8_t* value) {
    if (field < UR_EE_CAMERA || field > UR_EE_INSTRBD) return ERR_INVALID_PARAM;
    return run_byte(info, kEeRead[field], nullptr, 0, value);
}

int ur_adc_read(SystemInfo* info, UrAdc adc, uint8_t* raw) {
    if (adc < UR_ADC_P12 || adc > UR_ADC_P200) return ERR_INVALID_PARAM;
    return run_byte(info, kAdcRead[adc], nullptr, 0, raw);
}

int ur_power_check(SystemInfo* info, uint8_t* status) {
    return run_byte(info, "POWER_CHK_CMD", nullptr, 0, status);
}

int ur_syserr(SystemInfo* info, uint8_t* status) {
    return run_byte(info, "SYSERR_CMD", nullptr, 0, status);
}

int ur_io_read(SystemInfo* info, int address, uint8_t* value) {
    if (address < UZ_IO_ADDR_MIN || address > UZ_IO_ADDR_MAX) return ERR_PARAM_OUT_OF_RANGE;
    uint8_t payload[2];
    put16(payload, static_cast<uint32_t>(address));
    uint8_t reply[3] = {};
    int result = run(info, "READ_IO_CMD", payload, 2, reply, 3);
    if (result == NO_ERROR && value != nullptr) *value = reply[2];
    return result;
}

int ur_io_write(SystemInfo* info, int address, uint8_t value) {
    if (address < UZ_IO_ADDR_MIN || address > UZ_IO_ADDR_MAX) return ERR_PARAM_OUT_OF_RANGE;
    uint8_t payload[3];
    put16(payload, static_cast<uint32_t>(address));
    payload[2] = value;
    return run(info, "WRITE_IO_CMD", payload, 3, nullptr, 0);
}

int ur_ramp_slot_count(int instrBdType) {
    switch (instrBdType) {
        case 1:
        case 7:
            return 12;
        case 3:
        case 6:
            return 4;
        default:
            return 0;
    }
}

int ur_ramp_load(SystemInfo* info, int slot, const rr_ramp_hdr_t* hdr) {
    if (hdr == nullptr) return ERR_INVALID_PARAM;
    if (check_slot(slot) != NO_ERROR) return ERR_PARAM_OUT_OF_RANGE;
    uint8_t payload[13];
    payload[0] = static_cast<uint8_t>(slot);
    payload[1] = static_cast<uint8_t>(hdr->rampID);
    payload[2] = static_cast<uint8_t>(hdr->polar);
    put16(payload + 3, static_cast<uint32_t>(hdr->nPoints));
    put16(payload + 5, static_cast<uint32_t>(hdr->offset));
    put16(payload + 7, static_cast<uint32_t>(hdr->trigStartAddr));
    put16(payload + 9, static_cast<uint32_t>(hdr->trigEndAddr));
    put16(payload + 11, static_cast<uint32_t>(hdr->updateRate));
    return run(info, "RAMP_LOAD_CMD", payload, sizeof payload, nullptr, 0);
}

int ur_ramp_data(SystemInfo* info, const uint16_t* words, int count, uint8_t* status) {
    if (info == nullptr || !ur_speaks_protocol(info->instrBdType)) return ERR_WRONG_INSTR_BOARD;
    if (words == nullptr || count < 1 || count > UZ_RAMP_BLOCK_WORDS) return ERR_INVALID_PARAM;
    int code = ur_cmd_code(info->instrBdType, "RAMP_DATA_CMD");
    const UrCmdInfo* row = ur_cmd_info(info->instrBdType, code);
    if (row == nullptr) return ERR_WRONG_INSTR_BOARD;

    // The length byte covers the word count only; the words and their own
    // checksum follow the header's checksum.
    uint8_t frame[5 + 2 * UZ_RAMP_BLOCK_WORDS + 1];
    frame[0] = row->reqLen;
    frame[1] = static_cast<uint8_t>(code);
    put16(frame + 2, static_cast<uint32_t>(count));
    frame[4] = ur_checksum(frame + 1, 3);
    for (int i = 0; i < count; ++i) put16(frame + 5 + 2 * i, words[i]);
    std::size_t data_bytes = 2 * static_cast<std::size_t>(count);
    frame[5 + data_bytes] = ur_checksum(frame + 5, data_bytes);
    int total = static_cast<int>(6 + data_bytes);
    int result = ur_writeUZ(info->serial.instrBdPort, total, frame, sizeof frame, true, true);
    if (result == NO_ERROR && status != nullptr) *status = frame[1];
    return result;
}

int ur_ramp_complete(SystemInfo* info) {
    return run(info, "RAMP_COMPLETE_CMD", nullptr, 0, nullptr, 0);
}

int ur_ramp_delete(SystemInfo* info, int slot) {
    if (check_slot(slot) != NO_ERROR) return ERR_PARAM_OUT_OF_RANGE;
    uint8_t payload = static_cast<uint8_t>(slot);
    return run(info, "RAMP_DELETE_CMD", &payload, 1, nullptr, 0);
}

int ur_ramp_idle(SystemInfo* info, uint8_t* idle) {
    return run_byte(info, "RAMP_IDLE_CMD", nullptr, 0, idle);
}

int ur_ramp_request(SystemInfo* info, uint8_t ids[UZ_MAX_RAMP_SLOTS]) {
    if (info == nullptr || !ur_speaks_protocol(info->instrBdType)) return ERR_WRONG_INSTR_BOARD;
    uint8_t reply[UZ_MAX_RAMP_SLOTS];
    std::memset(reply, 0xFF, sizeof reply);
    int slots = ur_ramp_slot_count(info->instrBdType);
    int result = run(info, "RAMP_REQUEST_CMD", nullptr, 0, reply, slots);
    if (result == NO_ERROR && ids != nullptr) std::memcpy(ids, reply, sizeof reply);
    return result;
}

int ur_ramp_update_rate(SystemInfo* info, int slot, uint16_t rate, uint8_t* status) {
    if (check_slot(slot) != NO_ERROR) return ERR_PARAM_OUT_OF_RANGE;
    uint8_t payload[3];
    payload[0] = static_cast<uint8_t>(slot);
    put16(payload + 1, rate);
    uint8_t reply = 0;
    int result = run_byte(info, "RAMP_UPDATERATE_CMD", payload, 3, &reply);
    if (result != NO_ERROR) return result;
    if (status != nullptr) *status = reply;
    int invalid_index = info->instrBdType == 1 ? 23 : 19;
    return reply == invalid_index ? ERR_INVALID_RAMP_INDEX : NO_ERROR;
}

int ur_ramp_download(SystemInfo* info, int slot, const rr_ramp_hdr_t* hdr, const uint16_t* words) {
    if (info == nullptr || !ur_speaks_protocol(info->instrBdType)) return ERR_WRONG_INSTR_BOARD;
    if (hdr == nullptr || words == nullptr || hdr->nPoints < 1) return ERR_INVALID_PARAM;
    // The load command carries the point count in 16 bits.
    if (hdr->nPoints > 0xFFFF) return ERR_PARAM_OUT_OF_RANGE;

    int result = ur_ramp_load(info, slot, hdr);
    if (result == NO_ERROR) {
        int blocks = (hdr->nPoints + UZ_RAMP_BLOCK_WORDS - 1) / UZ_RAMP_BLOCK_WORDS;
        uint8_t last_status = 0;  // none received yet counts as 0
        for (int block = 0; block < blocks && result == NO_ERROR; ++block) {
            int first = block * UZ_RAMP_BLOCK_WORDS;
            int count = std::min(UZ_RAMP_BLOCK_WORDS, hdr->nPoints - first);
            uint8_t status = 0;
            result = ur_ramp_data(info, words + first, count, &status);
            // A board that already reported trouble with the ramp is not sent
            // the block again.
            if (result != NO_ERROR && last_status == 0)
                result = ur_ramp_data(info, words + first, count, &status);
            if (result == NO_ERROR) last_status = status;
        }
    }
    int complete = ur_ramp_complete(info);
    if (result == NO_ERROR) result = complete;
    if (result != NO_ERROR) ur_ramp_delete(info, slot);
    return result;
}

int ur_ramp_start(SystemInfo* info, int slot) {
    if (check_slot(slot) != NO_ERROR) return ERR_PARAM_OUT_OF_RANGE;
    uint8_t idle = 0;
    int result = ur_ramp_idle(info, &idle);
    if (result != NO_ERROR) return result;
    if (idle == 0) return ERR_RAMP_BUSY;
    uint8_t payload = static_cast<uint8_t>(slot);
    return run(info, "RAMP_START_CMD", &payload, 1, nullptr, 0);
}

int ur_zoompos_report(SystemInfo* info, int on) {
    if (info == nullptr || info->instrBdType != 1) return ERR_WRONG_INSTR_BOARD;
    if (on != 0 && on != 1) return ERR_INVALID_PARAM;
    uint8_t payload = static_cast<uint8_t>(on);
    return run(info, "ZOOMPOS_REPORT_CMD", &payload, 1, nullptr, 0);
}

int ur_turretpos_report(SystemInfo* info, int on) {
    if (info == nullptr || info->instrBdType != 1) return ERR_WRONG_INSTR_BOARD;
    if (on != 0 && on != 1) return ERR_INVALID_PARAM;
    uint8_t payload = static_cast<uint8_t>(on);
    return run(info, "TURRETPOS_REPORT_CMD", &payload, 1, nullptr, 0);
}

int ur_motor_read(SystemInfo* info, int motor, uint8_t* value) {
    if (info == nullptr || (info->instrBdType != 1 && info->instrBdType != 7))
        return ERR_WRONG_INSTR_BOARD;
    // Type 7 has a single motor and its request names none.
    if (info->instrBdType == 7) {
        if (motor != 0) return ERR_INVALID_PARAM;
        return run_byte(info, "MOTOR_READ_CMD", nullptr, 0, value);
    }
    if (motor != 0 && motor != 1) return ERR_INVALID_PARAM;
    uint8_t payload = static_cast<uint8_t>(motor);
    return run_byte(info, "MOTOR_READ_CMD", &payload, 1, value);
}

int ur_motor_move(SystemInfo* info, int motor, int position) {
    if (info == nullptr || (info->instrBdType != 1 && info->instrBdType != 7))
        return ERR_WRONG_INSTR_BOARD;
    if (info->instrBdType == 7) {
        if (motor != 0) return ERR_INVALID_PARAM;
        if (position < 0 || position > 0xFF) return ERR_PARAM_OUT_OF_RANGE;
        uint8_t payload = static_cast<uint8_t>(position);
        return run(info, "MOTOR_MOVE_CMD", &payload, 1, nullptr, 0);
    }
    if (motor != 0 && motor != 1) return ERR_INVALID_PARAM;
    if (position < 0 || position > 0xFFFF) return ERR_PARAM_OUT_OF_RANGE;
    uint8_t payload[3] = {static_cast<uint8_t>(motor)};
    put16(payload + 1, static_cast<uint32_t>(position));
    return run(info, "MOTOR_MOVE_CMD", payload, 3, nullptr, 0);
}

int ur_sw_version(SystemInfo* info, uint8_t* version) {
    return run_byte(info, "SW_VERSION_CMD", nullptr, 0, version);
}

int ur_pifoc_adc_set(SystemInfo* info, int mode, int gain, int on, uint16_t value) {
    if (info == nullptr || info->instrBdType != 1) return ERR_WRONG_INSTR_BOARD;
    bool mode_ok = mode == 0 || mode == 1 || (mode >= 5 && mode <= 7);
    if (!mode_ok || gain < 0 || gain > 3 || (on != 0 && on != 1)) return ERR_PARAM_OUT_OF_RANGE;
    uint8_t payload[5] = {static_cast<uint8_t>(mode), static_cast<uint8_t>(gain),
                          static_cast<uint8_t>(on)};
    put16(payload + 3, value);
    return run(info, "PC_ADC_SET_CMD", payload, 5, nullptr, 0);
}

int ur_pifoc_adc_read(SystemInfo* info, int channel, int32_t* value) {
    if (info == nullptr || info->instrBdType != 1) return ERR_WRONG_INSTR_BOARD;
    if (channel != 0 && channel != 1) return ERR_PARAM_OUT_OF_RANGE;
    uint8_t payload = static_cast<uint8_t>(channel);
    uint8_t reply[5] = {};
    int result = run(info, "PC_ADC_READ_CMD", &payload, 1, reply, 5);
    if (result != NO_ERROR) return result;
    uint32_t raw = get32(reply + 1);
    if (channel == 1 && (raw == 0x80000000u || raw == 0x007FFFFFu || raw == 0xFF800000u)) {
        u_msg_sink("### uz_pifoc_adcRead: invalid ADC value = 0x%8.8x\n", raw);
        return ERR_PIFOC_COMP;
    }
    int32_t scaled = 0;
    if (!scale_pifoc(raw, reply[0], &scaled)) return ERR_PIFOC_COMP;
    if (value != nullptr) *value = scaled;
    return NO_ERROR;
}

int ur_pifoc_comp_read(SystemInfo* info, UrPifocComp* comp) {
    if (info == nullptr || info->instrBdType != 1) return ERR_WRONG_INSTR_BOARD;
    uint8_t reply[25] = {};
    int result = run(info, "PC_READ_CMD", nullptr, 0, reply, 25);
    if (result != NO_ERROR) return result;
    UrPifocComp out{};
    out.values[0] = static_cast<int16_t>(get16(reply));
    out.values[1] = static_cast<int16_t>(get16(reply + 2));
    out.resolution = reply[24];
    static const char* const kNames[5] = {"min", "max", "first", "mid", "last"};
    int32_t* fields[5] = {&out.min, &out.max, &out.first, &out.mid, &out.last};
    for (int i = 0; i < 5; ++i) {
        uint32_t raw = get32(reply + 4 + 4 * i);
        if (raw == 0x007FFFFFu || raw == 0xFF800000u) {
            u_msg_sink("### uz_pifoc_comp: bad %s value 0x%8.8x\n", kNames[i], raw);
            return ERR_PIFOC_COMP;
        }
        if (!scale_pifoc(raw, out.resolution, fields[i])) return ERR_PIFOC_COMP;
    }
    if (comp != nullptr) *comp = out;
    return NO_ERROR;
}

int ur_reset_uart(SystemInfo* info) {
    return run(info, "RESET_UART_CMD", nullptr, 0, nullptr, 0);
}

int ur_pzt_power(SystemInfo* info, int on) {
    if (on != 0 && on != 1) return ERR_INVALID_PARAM;
    return run_value(info, "PZT_POWER_CMD", static_cast<uint8_t>(on));
}

int ur_pzt_check(SystemInfo* info, uint8_t* status) {
    return run_byte(info, "PZT_CHK_CMD", nullptr, 0, status);
}

int ur_pzt_type(SystemInfo* info, int type) {
    if (type != 1 && type != 2) return ERR_INVALID_PARAM;
    return run_value(info, "PZT_TYPE_CMD", static_cast<uint8_t>(type));
}

int ur_pzt3_disconnect(SystemInfo* info, uint8_t value) {
    return run_value(info, "PZT3_DISCONNECT_CMD", value);
}

int ur_llc_mode_set(SystemInfo* info, uint8_t mode, int value) {
    int size = payload_size(info, "LLC_MODE_SET_CMD");
    if (size < 0) return ERR_WRONG_INSTR_BOARD;
    // The value is as wide as the rest of the request: 16 bits on type 1,
    // one byte on type 3.
    uint8_t payload[3] = {mode};
    int limit = size == 3 ? 0xFFFF : 0xFF;
    if (value < 0 || value > limit) return ERR_PARAM_OUT_OF_RANGE;
    if (size == 3)
        put16(payload + 1, static_cast<uint32_t>(value));
    else
        payload[1] = static_cast<uint8_t>(value);
    return run(info, "LLC_MODE_SET_CMD", payload, size, nullptr, 0);
}

int ur_llc_mode_read(SystemInfo* info, uint8_t* mode) {
    return run_byte(info, "LLC_MODE_READ_CMD", nullptr, 0, mode);
}

int ur_llc_stable(SystemInfo* info, uint8_t* stable) {
    return run_byte(info, "LLC_STABLE_CMD", nullptr, 0, stable);
}

int ur_ramp_dac(SystemInfo* info, uint16_t value) {
    return run_word(info, "RAMP_DAC_CMD", value);
}

int ur_ramp_abort(SystemInfo* info) {
    return run(info, "RAMP_ABORT_CMD", nullptr, 0, nullptr, 0);
}

int ur_pifoc_level(SystemInfo* info, uint16_t level) {
    return run_word(info, "PIFOC_LEVEL_CMD", level);
}

int ur_pifoc_reset(SystemInfo* info, uint8_t select, uint16_t value) {
    uint8_t payload[3] = {select};
    put16(payload + 1, value);
    return run(info, "PIFOC_RESET_CMD", payload, 3, nullptr, 0);
}

int ur_ramp_comp_load(SystemInfo* info, int slot, const uint8_t values[7]) {
    if (values == nullptr) return ERR_INVALID_PARAM;
    if (check_slot(slot) != NO_ERROR) return ERR_PARAM_OUT_OF_RANGE;
    uint8_t payload[8] = {static_cast<uint8_t>(slot)};
    std::memcpy(payload + 1, values, 7);
    return run(info, "RAMP_COMP_LOAD_CMD", payload, 8, nullptr, 0);
}

int ur_pc_ramp_done(SystemInfo* info) {
    return run(info, "PC_RAMP_DONE_CMD", nullptr, 0, nullptr, 0);
}

int ur_expansion_bd(SystemInfo* info, uint8_t* present) {
    return run_byte(info, "EXPANSION_BD_CMD", nullptr, 0, present);
}

int ur_lczdrive(SystemInfo* info, uint8_t value) {
    return run_value(info, "LCZDRIVE_CMD", value);
}

int ur_camera_res(SystemInfo* info, uint8_t mode) {
    return run_value(info, "CAMERA_RES_CMD", mode);
}

int ur_custom_camera(SystemInfo* info, const uint8_t* settings, int count) {
    int size = payload_size(info, "CUSTOM_CAMERA_CMD");
    if (size < 0) return ERR_WRONG_INSTR_BOARD;
    // The settings differ in size between the board types; a caller's block
    // of another size belongs to another board.
    if (settings == nullptr || count != size) return ERR_INVALID_PARAM;
    return run(info, "CUSTOM_CAMERA_CMD", settings, count, nullptr, 0);
}

int ur_wand(SystemInfo* info, uint8_t value) {
    return run_value(info, "WAND_CMD", value);
}

int ur_wand_motion(SystemInfo* info, uint8_t* motion) {
    return run_byte(info, "WAND_MOTION_CMD", nullptr, 0, motion);
}

int ur_wand_mode(SystemInfo* info, uint8_t* mode) {
    return run_byte(info, "WAND_MODE_CMD", nullptr, 0, mode);
}

int ur_wand_mode2(SystemInfo* info, uint8_t* mode) {
    return run_byte(info, "WAND_MODE2_CMD", nullptr, 0, mode);
}

int ur_video_pr(SystemInfo* info) {
    return run(info, "VIDEO_PR_CMD", nullptr, 0, nullptr, 0);
}

int ur_lock_pos(SystemInfo* info, uint8_t value) {
    return run_value(info, "LOCK_POS_CMD", value);
}

int ur_axiom_init(SystemInfo* info, uint8_t* status) {
    return run_byte(info, "AXIOM_INIT_CMD", nullptr, 0, status);
}

int ur_axiom_pos(SystemInfo* info, int32_t* position, uint16_t* status) {
    uint8_t reply[6] = {};
    int result = run(info, "AXIOM_POS_CMD", nullptr, 0, reply, 6);
    if (result != NO_ERROR) return result;
    if (position != nullptr) *position = static_cast<int32_t>(get32(reply));
    if (status != nullptr) *status = get16(reply + 4);
    return NO_ERROR;
}

int ur_axiom(SystemInfo* info, uint8_t* value) {
    return run_byte(info, "AXIOM_CMD", nullptr, 0, value);
}

int ur_pzt3(SystemInfo* info, uint8_t* value) {
    return run_byte(info, "PZT3_CMD", nullptr, 0, value);
}

int ur_pzt3_reset(SystemInfo* info) {
    return run(info, "PZT3_RESET_CMD", nullptr, 0, nullptr, 0);
}

int ur_pzt3_status(SystemInfo* info, uint8_t* status) {
    return run_byte(info, "PZT3_STATUS_CMD", nullptr, 0, status);
}

int ur_pzt3_power_check(SystemInfo* info, uint8_t* status) {
    return run_byte(info, "PZT3_PWRCHK_CMD", nullptr, 0, status);
}

int ur_pzt3_ramp(SystemInfo* info, const uint16_t values[3]) {
    if (values == nullptr) return ERR_INVALID_PARAM;
    uint8_t payload[6];
    for (int i = 0; i < 3; ++i) put16(payload + 2 * i, values[i]);
    return run(info, "PZT3_RAMP_CMD", payload, 6, nullptr, 0);
}

int ur_dd_volt_check(SystemInfo* info, uint8_t* status) {
    return run_byte(info, "DD_VOLTCHK_CMD", nullptr, 0, status);
}

int ur_change_ringspot(SystemInfo* info, int position) {
    if (position != 0 && position != 1) return ERR_INVALID_PARAM;
    return run_value(info, "CHANGE_RINGSPOT_CMD", static_cast<uint8_t>(position));
}

int ur_change_alignview(SystemInfo* info, int position) {
    if (position != 0 && position != 1) return ERR_INVALID_PARAM;
    return run_value(info, "CHANGE_ALIGNVIEW_CMD", static_cast<uint8_t>(position));
}

int ur_av_moving(SystemInfo* info, uint8_t* moving) {
    return run_byte(info, "AV_MOVING_CMD", nullptr, 0, moving);
}

int ur_rs_moving(SystemInfo* info, uint8_t* moving) {
    return run_byte(info, "RS_MOVING_CMD", nullptr, 0, moving);
}

int ur_shutter_state(SystemInfo* info, uint8_t state) {
    return run_value(info, "SHUTTER_STATE_CMD", state);
}

int ur_shutter_output(SystemInfo* info, uint8_t output) {
    return run_value(info, "SHUTTER_OUTPUT_CMD", output);
}

int ur_read_kmr_lockedp(SystemInfo* info, uint8_t* locked) {
    return run_byte(info, "READ_KMR_LOCKEDP_CMD", nullptr, 0, locked);
}

int ur_read_kmr_measerr(SystemInfo* info, uint8_t* error) {
    return run_byte(info, "READ_KMR_MEASERR_CMD", nullptr, 0, error);
}

int ur_reset_kmr(SystemInfo* info) {
    return run(info, "RESET_KMR_CMD", nullptr, 0, nullptr, 0);
}
