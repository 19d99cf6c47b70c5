#include "sim/board_model.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {
// The board's own copy of its command tables: code, name, request length
// byte, reply length byte.
// clang-format off
const SimBoardCmd kType1[] = {
    {0, "UZ1_INVALID_CMD", 0, 0},
    {1, "UZ1_MOTOR_MOVE_CMD", 5, 0},
    {2, "UZ1_MOTOR_READ_CMD", 3, 3},
    {3, "UZ1_PZT_SET_CMD", 8, 0},
    {4, "UZ1_PZT_POWER_CMD", 3, 0},
    {5, "UZ1_LLC_SET_CMD", 4, 0},
    {6, "UZ1_LLC_READ_CMD", 2, 4},
    {7, "UZ1_LLC_MODE_SET_CMD", 5, 0},
    {8, "UZ1_LLC_MODE_READ_CMD", 2, 3},
    {9, "UZ1_RAMP_REQUEST_CMD", 2, 14},
    {10, "UZ1_EE_SERIAL_SET_CMD", 6, 0},
    {11, "UZ1_EE_SERIAL_READ_CMD", 2, 6},
    {12, "UZ1_EE_CAMERA_SET_CMD", 3, 0},
    {13, "UZ1_EE_CAMERA_READ_CMD", 2, 3},
    {14, "UZ1_EE_LIGHT_SET_CMD", 3, 0},
    {15, "UZ1_EE_LIGHT_READ_CMD", 2, 3},
    {16, "UZ1_EE_SYSTEM_SET_CMD", 3, 0},
    {17, "UZ1_EE_SYSTEM_READ_CMD", 2, 3},
    {18, "UZ1_EE_SYSDATE_SET_CMD", 4, 0},
    {19, "UZ1_EE_SYSDATE_READ_CMD", 2, 4},
    {20, "UZ1_EE_INSTRBD_SET_CMD", 3, 0},
    {21, "UZ1_EE_INSTRBD_READ_CMD", 2, 3},
    {22, "UZ1_ADC_P12_READ_CMD", 2, 3},
    {23, "UZ1_ADC_N15_READ_CMD", 2, 3},
    {24, "UZ1_ADC_P15_READ_CMD", 2, 3},
    {25, "UZ1_ADC_P200_READ_CMD", 2, 3},
    {26, "UZ1_SYSERR_CMD", 2, 3},
    {27, "UZ1_PZT_CHK_CMD", 2, 3},
    {28, "UZ1_RESET_UART_CMD", 2, 0},
    {29, "UZ1_READ_IO_CMD", 4, 5},
    {30, "UZ1_WRITE_IO_CMD", 5, 0},
    {31, "UZ1_SW_VERSION_CMD", 2, 3},
    {32, "UZ1_RAMP_LOAD_CMD", 15, 0},
    {33, "UZ1_RAMP_DAC_CMD", 4, 0},
    {34, "UZ1_RAMP_DATA_CMD", 4, 3},
    {35, "UZ1_RAMP_COMPLETE_CMD", 2, 0},
    {36, "UZ1_RAMP_ABORT_CMD", 2, 0},
    {37, "UZ1_RAMP_DELETE_CMD", 3, 0},
    {38, "UZ1_RAMP_IDLE_CMD", 2, 3},
    {39, "UZ1_RAMP_START_CMD", 3, 0},
    {40, "UZ1_PZT3_DISCONNECT_CMD", 3, 0},
    {41, "UZ1_POWER_CHK_CMD", 2, 3},
    {42, "UZ1_PIFOC_LEVEL_CMD", 4, 0},
    {43, "UZ1_PIFOC_RESET_CMD", 5, 0},
    {44, "UZ1_CAMERA_RES_CMD", 3, 0},
    {45, "UZ1_PZT_TYPE_CMD", 3, 0},
    {46, "UZ1_PC_READ_CMD", 2, 27},
    {47, "UZ1_PC_ADC_SET_CMD", 7, 0},
    {48, "UZ1_PC_ADC_READ_CMD", 3, 7},
    {49, "UZ1_RAMP_COMP_LOAD_CMD", 10, 0},
    {50, "UZ1_PC_RAMP_DONE_CMD", 2, 0},
    {51, "UZ1_EXPANSION_BD_CMD", 2, 3},
    {52, "UZ1_LCZDRIVE_CMD", 3, 0},
    {53, "UZ1_RAMP_UPDATERATE_CMD", 5, 3},
    {54, "UZ1_CUSTOM_CAMERA_CMD", 10, 0},
    {55, "UZ1_ZOOM_POSITION_CMD", 0, 3},
    {56, "UZ1_TURRET_POSITION_CMD", 0, 3},
    {57, "UZ1_ZOOMPOS_REPORT_CMD", 3, 0},
    {58, "UZ1_TURRETPOS_REPORT_CMD", 3, 0},
};
const SimBoardCmd kType3[] = {
    {0, "UZ2_INVALID_CMD", 0, 0},
    {1, "UZ2_PZT_SET_CMD", 8, 0},
    {2, "UZ2_PZT_POWER_CMD", 3, 0},
    {3, "UZ2_LLC_SET_CMD", 3, 0},
    {4, "UZ2_LLC_READ_CMD", 2, 3},
    {5, "UZ2_LLC_MODE_SET_CMD", 4, 0},
    {6, "UZ2_LLC_MODE_READ_CMD", 2, 3},
    {7, "UZ2_EE_SERIAL_SET_CMD", 6, 0},
    {8, "UZ2_EE_SERIAL_READ_CMD", 2, 6},
    {9, "UZ2_EE_CAMERA_SET_CMD", 3, 0},
    {10, "UZ2_EE_CAMERA_READ_CMD", 2, 3},
    {11, "UZ2_EE_LIGHT_SET_CMD", 3, 0},
    {12, "UZ2_EE_LIGHT_READ_CMD", 2, 3},
    {13, "UZ2_EE_SYSTEM_SET_CMD", 3, 0},
    {14, "UZ2_EE_SYSTEM_READ_CMD", 2, 3},
    {15, "UZ2_EE_SYSDATE_SET_CMD", 4, 0},
    {16, "UZ2_EE_SYSDATE_READ_CMD", 2, 4},
    {17, "UZ2_EE_INSTRBD_SET_CMD", 3, 0},
    {18, "UZ2_EE_INSTRBD_READ_CMD", 2, 3},
    {19, "UZ2_ADC_P12_READ_CMD", 2, 3},
    {20, "UZ2_ADC_N15_READ_CMD", 2, 3},
    {21, "UZ2_ADC_P15_READ_CMD", 2, 3},
    {22, "UZ2_ADC_P200_READ_CMD", 2, 3},
    {23, "UZ2_SYSERR_CMD", 2, 3},
    {24, "UZ2_PZT_CHK_CMD", 2, 3},
    {25, "UZ2_RESET_UART_CMD", 2, 0},
    {26, "UZ2_RAMP_START_CMD", 3, 0},
    {27, "UZ2_RAMP_REQUEST_CMD", 2, 6},
    {28, "UZ2_SW_VERSION_CMD", 2, 3},
    {29, "UZ2_RAMP_LOAD_CMD", 15, 0},
    {30, "UZ2_RAMP_DAC_CMD", 4, 0},
    {31, "UZ2_WAND_CMD", 3, 0},
    {32, "UZ2_AXIOM_INIT_CMD", 2, 3},
    {33, "UZ2_AXIOM_POS_CMD", 2, 8},
    {34, "UZ2_LLC_STABLE_CMD", 2, 3},
    {35, "UZ2_FKEY_CMD", 0, 3},
    {36, "UZ2_VIDEO_PR_CMD", 2, 0},
    {37, "UZ2_LOCK_POS_CMD", 3, 0},
    {38, "UZ2_WAND_MOTION_CMD", 2, 3},
    {39, "UZ2_WAND_MODE_CMD", 2, 3},
    {40, "UZ2_PZT3_CMD", 2, 3},
    {41, "UZ2_PZT3_RESET_CMD", 2, 0},
    {42, "UZ2_PZT3_STATUS_CMD", 2, 3},
    {43, "UZ2_PZT3_PWRCHK_CMD", 2, 3},
    {44, "UZ2_PZT3_RAMP_CMD", 8, 0},
    {45, "UZ2_RAMP_DATA_CMD", 4, 3},
    {46, "UZ2_RAMP_COMPLETE_CMD", 2, 0},
    {47, "UZ2_RAMP_DELETE_CMD", 3, 0},
    {48, "UZ2_RAMP_IDLE_CMD", 2, 3},
    {49, "UZ2_POWER_CHK_CMD", 2, 3},
    {50, "UZ2_AXIOM_CMD", 2, 3},
    {51, "UZ2_DD_VOLTCHK_CMD", 2, 3},
    {52, "UZ2_READ_IO_CMD", 4, 5},
    {53, "UZ2_WRITE_IO_CMD", 5, 0},
    {54, "UZ2_CAMERA_RES_CMD", 3, 0},
    {55, "UZ2_ALIGN_VIEW_CMD", 0, 3},
    {56, "UZ2_CUSTOM_CAMERA_CMD", 4, 0},
    {57, "UZ2_RING_SPOT_CMD", 0, 3},
    {58, "UZ2_CHANGE_RINGSPOT_CMD", 3, 0},
    {59, "UZ2_CHANGE_ALIGNVIEW_CMD", 3, 0},
    {60, "UZ2_WAND_MODE2_CMD", 2, 3},
    {61, "UZ2_AV_MOVING_CMD", 2, 3},
    {62, "UZ2_RS_MOVING_CMD", 2, 3},
};
const SimBoardCmd kType6[] = {
    {1, "VOK_PZT_SET_CMD", 4, 0},
    {2, "VOK_SHUTTER_STATE_CMD", 3, 0},
    {3, "VOK_LLC_SET_CMD", 3, 0},
    {4, "VOK_LLC_READ_CMD", 2, 3},
    {5, "VOK_EE_SERIAL_SET_CMD", 6, 0},
    {6, "VOK_EE_SERIAL_READ_CMD", 2, 6},
    {7, "VOK_EE_CAMERA_SET_CMD", 3, 0},
    {8, "VOK_EE_CAMERA_READ_CMD", 2, 3},
    {9, "VOK_EE_LIGHT_SET_CMD", 3, 0},
    {10, "VOK_EE_LIGHT_READ_CMD", 2, 3},
    {11, "VOK_EE_SYSTEM_SET_CMD", 3, 0},
    {12, "VOK_EE_SYSTEM_READ_CMD", 2, 3},
    {13, "VOK_EE_SYSDATE_SET_CMD", 4, 0},
    {14, "VOK_EE_SYSDATE_READ_CMD", 2, 4},
    {15, "VOK_EE_INSTRBD_SET_CMD", 3, 0},
    {16, "VOK_EE_INSTRBD_READ_CMD", 2, 3},
    {17, "VOK_ADC_P12_READ_CMD", 2, 3},
    {18, "VOK_ADC_N15_READ_CMD", 2, 3},
    {19, "VOK_ADC_P15_READ_CMD", 2, 3},
    {20, "VOK_SYSERR_CMD", 2, 3},
    {21, "VOK_RESET_UART_CMD", 2, 0},
    {22, "VOK_RAMP_START_CMD", 3, 0},
    {23, "VOK_RAMP_REQUEST_CMD", 2, 6},
    {24, "VOK_SW_VERSION_CMD", 2, 3},
    {25, "VOK_RAMP_LOAD_CMD", 15, 0},
    {26, "VOK_RAMP_DAC_CMD", 4, 0},
    {27, "VOK_WAND_CMD", 3, 0},
    {28, "VOK_LLC_STABLE_CMD", 2, 3},
    {29, "VOK_FKEY_CMD", 0, 3},
    {30, "VOK_VIDEO_PR_CMD", 2, 0},
    {31, "VOK_LOCK_POS_CMD", 3, 0},
    {32, "VOK_WAND_MOTION_CMD", 2, 3},
    {33, "VOK_WAND_MODE_CMD", 2, 3},
    {34, "VOK_RAMP_DATA_CMD", 4, 3},
    {35, "VOK_RAMP_COMPLETE_CMD", 2, 0},
    {36, "VOK_RAMP_DELETE_CMD", 3, 0},
    {37, "VOK_RAMP_IDLE_CMD", 2, 3},
    {38, "VOK_POWER_CHK_CMD", 2, 3},
    {39, "VOK_ALIGN_VIEW_CMD", 0, 3},
    {40, "VOK_READ_IO_CMD", 4, 5},
    {41, "VOK_WRITE_IO_CMD", 5, 0},
    {42, "VOK_SHUTTER_OUTPUT_CMD", 3, 0},
};
const SimBoardCmd kType7[] = {
    {0, "FTP_INVALID_CMD", 0, 0},
    {1, "FTP_MOTOR_MOVE_CMD", 3, 0},
    {2, "FTP_MOTOR_READ_CMD", 2, 3},
    {3, "FTP_LLC_SET_CMD", 4, 0},
    {4, "FTP_LLC_READ_CMD", 2, 4},
    {5, "FTP_READ_KMR_LOCKEDP_CMD", 2, 3},
    {6, "FTP_READ_KMR_MEASERR_CMD", 2, 3},
    {7, "FTP_RAMP_REQUEST_CMD", 2, 14},
    {8, "FTP_EE_SERIAL_SET_CMD", 6, 0},
    {9, "FTP_EE_SERIAL_READ_CMD", 2, 6},
    {10, "FTP_EE_CAMERA_SET_CMD", 3, 0},
    {11, "FTP_EE_CAMERA_READ_CMD", 2, 3},
    {12, "FTP_EE_LIGHT_SET_CMD", 3, 0},
    {13, "FTP_EE_LIGHT_READ_CMD", 2, 3},
    {14, "FTP_EE_SYSTEM_SET_CMD", 3, 0},
    {15, "FTP_EE_SYSTEM_READ_CMD", 2, 3},
    {16, "FTP_EE_SYSDATE_SET_CMD", 4, 0},
    {17, "FTP_EE_SYSDATE_READ_CMD", 2, 4},
    {18, "FTP_EE_INSTRBD_SET_CMD", 3, 0},
    {19, "FTP_EE_INSTRBD_READ_CMD", 2, 3},
    {20, "FTP_ADC_P12_READ_CMD", 2, 3},
    {21, "FTP_ADC_N15_READ_CMD", 2, 3},
    {22, "FTP_ADC_P15_READ_CMD", 2, 3},
    {23, "FTP_SYSERR_CMD", 2, 3},
    {24, "FTP_RESET_UART_CMD", 2, 0},
    {25, "FTP_READ_IO_CMD", 4, 5},
    {26, "FTP_WRITE_IO_CMD", 5, 0},
    {27, "FTP_SW_VERSION_CMD", 2, 3},
    {28, "FTP_RAMP_LOAD_CMD", 15, 0},
    {29, "FTP_RAMP_DAC_CMD", 4, 0},
    {30, "FTP_RAMP_DATA_CMD", 4, 3},
    {31, "FTP_RAMP_COMPLETE_CMD", 2, 0},
    {32, "FTP_RAMP_ABORT_CMD", 2, 0},
    {33, "FTP_RAMP_DELETE_CMD", 3, 0},
    {34, "FTP_RAMP_IDLE_CMD", 2, 3},
    {35, "FTP_RAMP_START_CMD", 3, 0},
    {36, "FTP_POWER_CHK_CMD", 2, 3},
    {37, "FTP_PIFOC_LEVEL_CMD", 4, 0},
    {38, "FTP_PIFOC_RESET_CMD", 5, 0},
    {39, "FTP_RESET_KMR_CMD", 2, 0},
    {40, "FTP_RAMP_UPDATERATE_CMD", 5, 3},
    {41, "FTP_CUSTOM_CAMERA_CMD", 10, 0},
};
// clang-format on

template <std::size_t N>
const SimBoardCmd* rows(const SimBoardCmd (&table)[N], int* count) {
    *count = static_cast<int>(N);
    return table;
}

uint8_t sum(const uint8_t* bytes, std::size_t count) {
    unsigned total = 0;
    for (std::size_t i = 0; i < count; ++i) total += bytes[i];
    return static_cast<uint8_t>(total);
}

uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void push16(SimBytes* out, uint32_t v) {
    out->push_back(static_cast<uint8_t>(v >> 8));
    out->push_back(static_cast<uint8_t>(v));
}

void push32(SimBytes* out, uint32_t v) {
    push16(out, v >> 16);
    push16(out, v);
}

// The command's name without the board type's prefix.
std::string suffix(const char* name) {
    const char* underscore = std::strchr(name, '_');
    return underscore != nullptr ? underscore + 1 : name;
}

constexpr uint8_t kAck = 0xFF;
constexpr uint8_t kNak = 0xFE;

// Ramp data statuses of the simulated board.
constexpr uint8_t kRampDataChecksum = 1;
constexpr uint8_t kRampNotLoading = 2;
constexpr uint8_t kRampTooLong = 3;
}  // namespace

const SimBoardCmd* sim_board_table(int boardType, int* count) {
    int ignored = 0;
    if (count == nullptr) count = &ignored;
    switch (boardType) {
        case 1:
            return rows(kType1, count);
        case 3:
            return rows(kType3, count);
        case 6:
            return rows(kType6, count);
        case 7:
            return rows(kType7, count);
        default:
            *count = 0;
            return nullptr;
    }
}

SimBoardModel::SimBoardModel(int boardType) : type_(boardType) {
    table_ = sim_board_table(boardType, &count_);
    ramp_data_code_ = -1;
    for (int i = 0; i < count_; ++i)
        if (suffix(table_[i].name) == "RAMP_DATA_CMD") ramp_data_code_ = table_[i].code;
    slots_.resize(boardType == 3 || boardType == 6 ? 4 : 12);
}

const SimBoardCmd* SimBoardModel::command(int code) const {
    for (int i = 0; i < count_; ++i)
        if (table_[i].code == code) return &table_[i];
    return nullptr;
}

SimBytes SimBoardModel::frame(const SimBytes& body) {
    SimBytes out;
    out.push_back(static_cast<uint8_t>(body.size() + 1));
    out.insert(out.end(), body.begin(), body.end());
    out.push_back(sum(body.data(), body.size()));
    return out;
}

SimBytes SimBoardModel::report(int command, uint8_t data) {
    return frame({static_cast<uint8_t>(command + 100), data});
}

SimBytes SimBoardModel::ack() const {
    return frame({kAck});
}

SimBytes SimBoardModel::nak(const SimBytes&) {
    return frame({kNak});
}

SimBytes SimBoardModel::data_reply(int code, const SimBytes& payload) const {
    SimBytes body{static_cast<uint8_t>(code)};
    body.insert(body.end(), payload.begin(), payload.end());
    return frame(body);
}

long SimBoardModel::frame_length(const uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    int len = data[0];
    if (len == 0 || len > 127) return -1;  // not a length byte: noise
    if (size < 2) return 0;
    if (data[1] == ramp_data_code_ && len == 4) {
        // The words and their checksum follow the counted header.
        if (size < 4) return 0;
        std::size_t total = 5 + 2 * static_cast<std::size_t>(get16(data + 2)) + 1;
        return size >= total ? static_cast<long>(total) : 0;
    }
    return size >= static_cast<std::size_t>(len) + 1 ? len + 1 : 0;
}

SimBytes SimBoardModel::reply(const SimBytes& frame) {
    if (frame.size() < 3) return nak(frame);
    if (frame[1] == ramp_data_code_ && frame[0] == 4) return ramp_data(frame);
    std::size_t len = frame[0];
    if (frame.size() != len + 1 || sum(&frame[1], len - 1) != frame[len]) return nak(frame);
    const SimBoardCmd* cmd = command(frame[1]);
    // Unknown codes, reports (never requested) and wrong lengths are refused.
    if (cmd == nullptr || cmd->reqLen < 2 || cmd->reqLen != static_cast<int>(len))
        return nak(frame);
    std::lock_guard<std::mutex> guard(lock_);
    SimBytes out = handle(*cmd, &frame[2]);
    if (!out.empty() && out[1] != kNak) {
        commands_.push_back(cmd->code);
        last_payload_[cmd->code] = SimBytes(frame.begin() + 2, frame.end() - 1);
    }
    return out;
}

SimBytes SimBoardModel::ramp_data(const SimBytes& frame) {
    if (sum(&frame[1], 3) != frame[4]) return nak(frame);
    std::size_t words = get16(&frame[2]);
    std::lock_guard<std::mutex> guard(lock_);
    commands_.push_back(ramp_data_code_);
    blocks_.push_back(static_cast<int>(words));
    uint8_t status = 0;
    if (sum(&frame[5], 2 * words) != frame.back()) {
        status = kRampDataChecksum;
    } else if (pending_slot_ < 0) {
        status = kRampNotLoading;
    } else {
        SimRampSlot& slot = slots_[static_cast<std::size_t>(pending_slot_)];
        if (slot.words.size() + words > slot.nPoints) {
            status = kRampTooLong;
        } else {
            for (std::size_t i = 0; i < words; ++i) slot.words.push_back(get16(&frame[5 + 2 * i]));
        }
    }
    if (forced_ramp_status_ != 0) status = forced_ramp_status_;
    return data_reply(ramp_data_code_, {status});
}

// Called with lock_ held. `p` is the request payload.
SimBytes SimBoardModel::handle(const SimBoardCmd& cmd, const uint8_t* p) {
    const std::string name = suffix(cmd.name);
    const int code = cmd.code;
    const bool wide_llc = type_ == 1 || type_ == 7;
    const int slot_count = static_cast<int>(slots_.size());
    auto byte_reply = [&](uint8_t value) { return data_reply(code, {value}); };

    if (name == "PZT_SET_CMD") {
        int values = type_ == 6 ? 1 : 3;
        for (int i = 0; i < values; ++i) pzt_[i] = get16(p + 2 * i);
        return ack();
    }
    if (name == "PZT_POWER_CMD") {
        pzt_power_ = p[0];
        return ack();
    }
    if (name == "LLC_SET_CMD") {
        llc_wire_ = wide_llc ? get16(p) : p[0];
        return ack();
    }
    if (name == "LLC_READ_CMD") {
        SimBytes out;
        if (wide_llc)
            push16(&out, static_cast<uint32_t>(llc_wire_));
        else
            out.push_back(static_cast<uint8_t>(llc_wire_));
        return data_reply(code, out);
    }
    if (name == "LLC_MODE_SET_CMD") {
        llc_mode_ = p[0];
        return ack();
    }
    if (name == "LLC_MODE_READ_CMD") return byte_reply(llc_mode_);
    if (name == "EE_SERIAL_SET_CMD") {
        eeprom_.serial = static_cast<uint32_t>(get16(p)) << 16 | get16(p + 2);
        return ack();
    }
    if (name == "EE_SERIAL_READ_CMD") {
        SimBytes out;
        push32(&out, eeprom_.serial);
        return data_reply(code, out);
    }
    if (name == "EE_SYSDATE_SET_CMD") {
        eeprom_.sysdate = get16(p);
        return ack();
    }
    if (name == "EE_SYSDATE_READ_CMD") {
        SimBytes out;
        push16(&out, eeprom_.sysdate);
        return data_reply(code, out);
    }
    struct EeByte {
        const char* set;
        const char* read;
        uint8_t SimBoardEeprom::*field;
    };
    static const EeByte kEeBytes[] = {
        {"EE_CAMERA_SET_CMD", "EE_CAMERA_READ_CMD", &SimBoardEeprom::camera},
        {"EE_LIGHT_SET_CMD", "EE_LIGHT_READ_CMD", &SimBoardEeprom::light},
        {"EE_SYSTEM_SET_CMD", "EE_SYSTEM_READ_CMD", &SimBoardEeprom::system},
        {"EE_INSTRBD_SET_CMD", "EE_INSTRBD_READ_CMD", &SimBoardEeprom::instrBd},
    };
    for (const EeByte& ee : kEeBytes) {
        if (name == ee.set) {
            eeprom_.*ee.field = p[0];
            return ack();
        }
        if (name == ee.read) return byte_reply(eeprom_.*ee.field);
    }
    static const char* const kAdcs[] = {"ADC_P12_READ_CMD", "ADC_N15_READ_CMD", "ADC_P15_READ_CMD",
                                        "ADC_P200_READ_CMD"};
    for (int i = 0; i < 4; ++i)
        if (name == kAdcs[i]) return byte_reply(adc_[i]);
    if (name == "POWER_CHK_CMD") return byte_reply(power_status_);
    if (name == "SYSERR_CMD") return byte_reply(syserr_);
    if (name == "SW_VERSION_CMD") return byte_reply(sw_version_);
    if (name == "READ_IO_CMD" || name == "WRITE_IO_CMD") {
        int address = get16(p);
        if (address < 4096 || address > 6143) return frame({kNak});
        if (name == "WRITE_IO_CMD") {
            io_[address] = p[2];
            return ack();
        }
        auto it = io_.find(address);
        return data_reply(code, {p[0], p[1], it != io_.end() ? it->second : uint8_t{0}});
    }
    if (name == "RAMP_LOAD_CMD") {
        if (p[0] >= slot_count) return frame({kNak});
        SimRampSlot slot;
        slot.loaded = true;
        slot.rampID = p[1];
        slot.polar = static_cast<char>(p[2]);
        slot.nPoints = get16(p + 3);
        slot.offset = get16(p + 5);
        slot.trigStart = get16(p + 7);
        slot.trigEnd = get16(p + 9);
        slot.updateRate = get16(p + 11);
        slots_[p[0]] = slot;
        pending_slot_ = p[0];
        return ack();
    }
    if (name == "RAMP_COMPLETE_CMD") {
        if (pending_slot_ >= 0) {
            SimRampSlot& slot = slots_[static_cast<std::size_t>(pending_slot_)];
            slot.complete = slot.words.size() == slot.nPoints;
        }
        pending_slot_ = -1;
        return ack();
    }
    if (name == "RAMP_ABORT_CMD") {
        if (pending_slot_ >= 0) slots_[static_cast<std::size_t>(pending_slot_)] = SimRampSlot{};
        pending_slot_ = -1;
        return ack();
    }
    if (name == "RAMP_DELETE_CMD") {
        if (p[0] >= slot_count) return frame({kNak});
        slots_[p[0]] = SimRampSlot{};
        if (started_ == p[0]) started_ = -1;
        return ack();
    }
    if (name == "RAMP_IDLE_CMD") return byte_reply(idle_ ? 1 : 0);
    if (name == "RAMP_START_CMD") {
        if (p[0] >= slot_count || !slots_[p[0]].complete) return frame({kNak});
        started_ = p[0];
        return ack();
    }
    if (name == "RAMP_REQUEST_CMD") {
        SimBytes out;
        for (const SimRampSlot& slot : slots_) out.push_back(slot.complete ? slot.rampID : 0xFF);
        return data_reply(code, out);
    }
    if (name == "RAMP_UPDATERATE_CMD") {
        if (p[0] >= slot_count || !slots_[p[0]].complete) return byte_reply(type_ == 1 ? 23 : 19);
        slots_[p[0]].updateRate = get16(p + 1);
        return byte_reply(0);
    }
    if (name == "ZOOMPOS_REPORT_CMD" || name == "TURRETPOS_REPORT_CMD") {
        if (p[0] > 1) return frame({kNak});
        (name == "ZOOMPOS_REPORT_CMD" ? zoom_reports_ : turret_reports_) = p[0] == 1;
        return ack();
    }
    if (name == "PZT_TYPE_CMD") {
        if (p[0] != 1 && p[0] != 2) return frame({kNak});
        return ack();
    }
    if (name == "MOTOR_MOVE_CMD") {
        // Type 1 names the motor and takes a 16-bit position; type 7 has one
        // motor and a position byte. A motor read gives the position's low byte.
        int motor = cmd.reqLen > 3 ? p[0] : 0;
        if (motor > 1) return frame({kNak});
        motor_[motor] = cmd.reqLen > 3 ? p[2] : p[0];
        return ack();
    }
    if (name == "MOTOR_READ_CMD") {
        int motor = cmd.reqLen > 2 ? p[0] : 0;
        if (motor > 1) return frame({kNak});
        return byte_reply(motor_[motor]);
    }
    if (name == "PC_ADC_SET_CMD") {
        pifoc_settings_ = {p[0], p[1], p[2], get16(p + 3)};
        return ack();
    }
    if (name == "PC_ADC_READ_CMD") {
        if (p[0] > 1) return frame({kNak});
        SimBytes out{pifoc_res_[p[0]]};
        push32(&out, pifoc_raw_[p[0]]);
        return data_reply(code, out);
    }
    if (name == "PC_READ_CMD") {
        SimBytes out;
        push16(&out, static_cast<uint16_t>(comp_.values[0]));
        push16(&out, static_cast<uint16_t>(comp_.values[1]));
        for (uint32_t v : {comp_.min, comp_.max, comp_.first, comp_.mid, comp_.last})
            push32(&out, v);
        out.push_back(comp_.resolution);
        return data_reply(code, out);
    }
    // Commands the simulation does not model: acknowledged, or answered with
    // the reply a test set (zeros by default) in the table's reply length.
    if (cmd.replyLen == 0) return ack();
    SimBytes out(static_cast<std::size_t>(cmd.replyLen - 2), 0);
    auto canned = canned_.find(code);
    if (canned != canned_.end())
        std::copy_n(canned->second.begin(), std::min(canned->second.size(), out.size()),
                    out.begin());
    return data_reply(code, out);
}

void SimBoardModel::set_eeprom(const SimBoardEeprom& eeprom) {
    std::lock_guard<std::mutex> guard(lock_);
    eeprom_ = eeprom;
}

SimBoardEeprom SimBoardModel::eeprom() const {
    std::lock_guard<std::mutex> guard(lock_);
    return eeprom_;
}

void SimBoardModel::set_adc(int index, uint8_t raw) {
    std::lock_guard<std::mutex> guard(lock_);
    if (index >= 0 && index < 4) adc_[index] = raw;
}

void SimBoardModel::set_power_status(uint8_t status) {
    std::lock_guard<std::mutex> guard(lock_);
    power_status_ = status;
}

void SimBoardModel::set_syserr(uint8_t status) {
    std::lock_guard<std::mutex> guard(lock_);
    syserr_ = status;
}

void SimBoardModel::set_sw_version(uint8_t version) {
    std::lock_guard<std::mutex> guard(lock_);
    sw_version_ = version;
}

int SimBoardModel::llc_wire() const {
    std::lock_guard<std::mutex> guard(lock_);
    return llc_wire_;
}

void SimBoardModel::set_llc_wire(int value) {
    std::lock_guard<std::mutex> guard(lock_);
    llc_wire_ = value;
}

std::vector<uint16_t> SimBoardModel::pzt() const {
    std::lock_guard<std::mutex> guard(lock_);
    return {pzt_[0], pzt_[1], pzt_[2]};
}

void SimBoardModel::set_io(int address, uint8_t value) {
    std::lock_guard<std::mutex> guard(lock_);
    io_[address] = value;
}

uint8_t SimBoardModel::io(int address) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = io_.find(address);
    return it != io_.end() ? it->second : 0;
}

SimRampSlot SimBoardModel::ramp_slot(int slot) const {
    std::lock_guard<std::mutex> guard(lock_);
    if (slot < 0 || slot >= static_cast<int>(slots_.size())) return {};
    return slots_[static_cast<std::size_t>(slot)];
}

int SimBoardModel::started_ramp() const {
    std::lock_guard<std::mutex> guard(lock_);
    return started_;
}

void SimBoardModel::set_idle(bool idle) {
    std::lock_guard<std::mutex> guard(lock_);
    idle_ = idle;
}

void SimBoardModel::set_ramp_data_status(uint8_t status) {
    std::lock_guard<std::mutex> guard(lock_);
    forced_ramp_status_ = status;
}

std::vector<int> SimBoardModel::ramp_block_sizes() const {
    std::lock_guard<std::mutex> guard(lock_);
    return blocks_;
}

void SimBoardModel::set_motor(int motor, uint8_t value) {
    std::lock_guard<std::mutex> guard(lock_);
    if (motor == 0 || motor == 1) motor_[motor] = value;
}

bool SimBoardModel::zoom_reports() const {
    std::lock_guard<std::mutex> guard(lock_);
    return zoom_reports_;
}

bool SimBoardModel::turret_reports() const {
    std::lock_guard<std::mutex> guard(lock_);
    return turret_reports_;
}

void SimBoardModel::set_pifoc_adc(int channel, uint32_t raw, uint8_t resolution) {
    std::lock_guard<std::mutex> guard(lock_);
    if (channel != 0 && channel != 1) return;
    pifoc_raw_[channel] = raw;
    pifoc_res_[channel] = resolution;
}

std::vector<int> SimBoardModel::pifoc_adc_settings() const {
    std::lock_guard<std::mutex> guard(lock_);
    return pifoc_settings_;
}

void SimBoardModel::set_pifoc_comp(const SimPifocComp& comp) {
    std::lock_guard<std::mutex> guard(lock_);
    comp_ = comp;
}

std::vector<int> SimBoardModel::commands() const {
    std::lock_guard<std::mutex> guard(lock_);
    return commands_;
}

SimBytes SimBoardModel::last_payload(int code) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = last_payload_.find(code);
    return it != last_payload_.end() ? it->second : SimBytes{};
}

void SimBoardModel::set_reply(int code, const SimBytes& payload) {
    std::lock_guard<std::mutex> guard(lock_);
    canned_[code] = payload;
}
