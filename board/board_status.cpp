// Board status codes, the supply diagnostic and the unsolicited reports.
#include "board/board.h"
#include "common/msg.h"
#include "common/status.h"
#include "config/sysinfo.h"

namespace {
enum Supply { NO_SUPPLY, SUPPLY_P12, SUPPLY_P15, SUPPLY_N15 };

// One row per fault: its status on board types 1, 3, 6 and 7 (0 where the
// type does not have it). The LCA INIT* texts differ between the types.
struct StatusRow {
    const char* text;    // types 1 and 7
    const char* text36;  // types 3 and 6 (null: same text)
    uint8_t status[4];
    int error;
    Supply supply;
};

// clang-format off
const StatusRow kStatusRows[] = {
    {"Motor movement has timed out", nullptr, {1, 0, 0, 1}, ERR_TURRET_TIMEOUT, NO_SUPPLY},
    {"PZT stack fault", nullptr, {2, 1, 0, 0}, ERR_PZT_STACK_FAULT, NO_SUPPLY},
    {"PZT ground fault", nullptr, {3, 2, 0, 0}, ERR_PZT_GROUND_FAULT, NO_SUPPLY},
    {"Over voltage +12 volt power supply", nullptr, {4, 3, 1, 2}, ERR_INST_POWER, SUPPLY_P12},
    {"Under voltage +12 volt power supply", nullptr, {5, 4, 2, 3}, ERR_INST_POWER, SUPPLY_P12},
    {"Over voltage +15 volt power supply", nullptr, {6, 5, 3, 4}, ERR_INST_POWER, SUPPLY_P15},
    {"Under voltage +15 volt power supply", nullptr, {7, 6, 4, 5}, ERR_INST_POWER, SUPPLY_P15},
    {"Over voltage -15 volt power supply", nullptr, {8, 7, 5, 6}, ERR_INST_POWER, SUPPLY_N15},
    {"Under voltage -15 volt power supply", nullptr, {9, 8, 6, 7}, ERR_INST_POWER, SUPPLY_N15},
    {"Over voltage +200 volt power supply", nullptr, {10, 9, 0, 0}, ERR_INST_POWER, NO_SUPPLY},
    {"Under voltage +200 volt power supply", nullptr, {11, 10, 0, 0}, ERR_INST_POWER, NO_SUPPLY},
    {"No LCA installed", nullptr, {12, 11, 0, 8}, ERR_HW_FAIL, NO_SUPPLY},
    {"LCA INIT* stuck hi", "LCA INIT* stuck high", {13, 12, 7, 9}, ERR_HW_FAIL, NO_SUPPLY},
    {"LCA INIT* stuck lo", "LCA INIT* stuck low", {14, 13, 8, 10}, ERR_HW_FAIL, NO_SUPPLY},
    {"LCA READY* stuck low", nullptr, {15, 14, 9, 11}, ERR_HW_FAIL, NO_SUPPLY},
    {"LCA READY* stuck high", nullptr, {16, 15, 10, 12}, ERR_HW_FAIL, NO_SUPPLY},
    {"LCA early done", nullptr, {17, 16, 11, 13}, ERR_HW_FAIL, NO_SUPPLY},
    {"LCA no done", nullptr, {18, 17, 12, 14}, ERR_HW_FAIL, NO_SUPPLY},
    {"Fatal turret hardware problem", nullptr, {19, 0, 0, 15}, ERR_HW_FAIL, NO_SUPPLY},
    {"Diffuser disc error voltage too high", nullptr, {0, 18, 0, 0}, ERR_HW_FAIL, NO_SUPPLY},
    {"Ramp DAC output voltage incorrect", nullptr, {0, 19, 0, 0}, ERR_HW_FAIL, NO_SUPPLY},
    {"Attenuator in out position", nullptr, {0, 20, 0, 0}, ERR_HW_FAIL, NO_SUPPLY},
    {"Invalid ramp type", nullptr, {20, 0, 0, 16}, ERR_INVALID_PARAM, NO_SUPPLY},
    {"Invalid motor type", nullptr, {21, 0, 0, 17}, ERR_INVALID_PARAM, NO_SUPPLY},
    {"Motor already moving", nullptr, {22, 0, 0, 18}, ERR_HW_FAIL, NO_SUPPLY},
    {"Invalid ramp index", nullptr, {23, 0, 0, 19}, ERR_INVALID_PARAM, NO_SUPPLY},
    {" Invalid motor position", nullptr, {0, 0, 0, 20}, ERR_INVALID_PARAM, NO_SUPPLY},
};
// clang-format on

int type_column(int instrBdType) {
    switch (instrBdType) {
        case 1:
            return 0;
        case 3:
            return 1;
        case 6:
            return 2;
        case 7:
            return 3;
        default:
            return -1;
    }
}

const StatusRow* find_status(int instrBdType, int status) {
    int column = type_column(instrBdType);
    if (column < 0 || status <= 0) return nullptr;
    for (const StatusRow& row : kStatusRows)
        if (row.status[column] == status) return &row;
    return nullptr;
}
}  // namespace

int ur_board_status_error(int instrBdType, int status) {
    int column = type_column(instrBdType);
    if (column < 0) return ERR_WRONG_INSTR_BOARD;
    if (status == 0) return NO_ERROR;
    const StatusRow* row = find_status(instrBdType, status);
    if (row == nullptr) {
        u_msg_sink("Error: Unrecognized instrument board error %d\n", status);
        return ERR_UNKNOWN;
    }
    bool second = column == 1 || column == 2;
    u_msg_sink("Error: %s\n", second && row->text36 != nullptr ? row->text36 : row->text);
    return row->error;
}

int ur_supply_diagnostic(SystemInfo* info, int status) {
    if (info == nullptr) return ERR_INVALID_PARAM;
    // The supply comes from the board type's own status row: the numbers of
    // one board type name other faults on the others.
    const StatusRow* row = find_status(info->instrBdType, status);
    if (row == nullptr || row->supply == NO_SUPPLY) return NO_ERROR;
    UrAdc adc = UR_ADC_P12;
    const char* format = "+12V PS test value %d out of range [%d,%d]\n";
    int low = 197, high = 210;
    if (row->supply == SUPPLY_P15) {
        adc = UR_ADC_P15;
        format = "+15V PS test value %d out of range [%d,%d]\n";
        low = 215;
        high = 231;
    } else if (row->supply == SUPPLY_N15) {
        adc = UR_ADC_N15;
        format = "-15V PS test value %d out of range [%d,%d]\n";
        low = 7;
        high = 22;
    }
    uint8_t raw = 0;
    int result = ur_adc_read(info, adc, &raw);
    if (result == NO_ERROR) u_msg_sink(format, raw, low, high);
    return result;
}

int ur_read_report(SystemInfo* info, UrReport* report) {
    if (info == nullptr || !ur_speaks_protocol(info->instrBdType)) return ERR_WRONG_INSTR_BOARD;
    uint8_t buffer[UZ_REPLY_BUFFER_SIZE];
    int count = 0;
    int result = ur_readUZ(info->serial.instrBdPort, buffer, UZ_RESP_REPORT, &count);
    if (result != NO_ERROR) return result;
    // Code, data byte, checksum.
    if (count < 3) return ERR_UZ_RECV_FAILED;
    int code = buffer[0];
    int data = buffer[1];
    UrReport out{0, data};
    bool accepted = false;
    switch (info->instrBdType) {
        case 1:
            out.kind = code == UZ1_ZOOM_POSITION_CMD + 100 ? UR_REPORT_ZOOM_POSITION
                                                           : UR_REPORT_TURRET_POSITION;
            out.value = data - 1;
            accepted = true;
            break;
        case 3:
            if (code == UZ2_FKEY_CMD + 100) {
                out.kind = UR_REPORT_FUNCTION_KEY;
                accepted = data == 2 || data == 8 || data == 9 || data == 12;
            } else if (code == UZ2_ALIGN_VIEW_CMD + 100 || code == UZ2_RING_SPOT_CMD + 100) {
                out.kind =
                    code == UZ2_ALIGN_VIEW_CMD + 100 ? UR_REPORT_ALIGN_VIEW : UR_REPORT_RING_SPOT;
                accepted = data == 0 || data == 1;
            }
            break;
        case 6:
            if (code == VOK_FKEY_CMD + 100) {
                out.kind = UR_REPORT_FUNCTION_KEY;
                accepted = data == 102 || data == 108 || data == 109 || data == 112;
            } else if (code == VOK_ALIGN_VIEW_CMD + 100) {
                out.kind = UR_REPORT_ALIGN_VIEW;
                accepted = data == 0 || data == 1;
            }
            break;
        default:
            break;
    }
    if (!accepted) return ERR_UZ_RECV_FAILED;
    if (report != nullptr) *report = out;
    return NO_ERROR;
}
