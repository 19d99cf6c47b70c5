// The instrument board's command codes and, per board type, each command's
// request and reply length bytes. One list per board type gives both the
// code constants and the table rows, so a code and its lengths cannot drift.
#pragma once

#include <cstdint>

// X(name, code, request length byte, reply length byte); a length of 0 means
// no request frame (a report the board sends unasked) or no data reply (the
// board acknowledges with ACK or NAK).
// clang-format off
#define UR_UZ1_CMDS(X) \
    X(UZ1_INVALID_CMD, 0, 0, 0) \
    X(UZ1_MOTOR_MOVE_CMD, 1, 5, 0) \
    X(UZ1_MOTOR_READ_CMD, 2, 3, 3) \
    X(UZ1_PZT_SET_CMD, 3, 8, 0) \
    X(UZ1_PZT_POWER_CMD, 4, 3, 0) \
    X(UZ1_LLC_SET_CMD, 5, 4, 0) \
    X(UZ1_LLC_READ_CMD, 6, 2, 4) \
    X(UZ1_LLC_MODE_SET_CMD, 7, 5, 0) \
    X(UZ1_LLC_MODE_READ_CMD, 8, 2, 3) \
    X(UZ1_RAMP_REQUEST_CMD, 9, 2, 14) \
    X(UZ1_EE_SERIAL_SET_CMD, 10, 6, 0) \
    X(UZ1_EE_SERIAL_READ_CMD, 11, 2, 6) \
    X(UZ1_EE_CAMERA_SET_CMD, 12, 3, 0) \
    X(UZ1_EE_CAMERA_READ_CMD, 13, 2, 3) \
    X(UZ1_EE_LIGHT_SET_CMD, 14, 3, 0) \
    X(UZ1_EE_LIGHT_READ_CMD, 15, 2, 3) \
    X(UZ1_EE_SYSTEM_SET_CMD, 16, 3, 0) \
    X(UZ1_EE_SYSTEM_READ_CMD, 17, 2, 3) \
    X(UZ1_EE_SYSDATE_SET_CMD, 18, 4, 0) \
    X(UZ1_EE_SYSDATE_READ_CMD, 19, 2, 4) \
    X(UZ1_EE_INSTRBD_SET_CMD, 20, 3, 0) \
    X(UZ1_EE_INSTRBD_READ_CMD, 21, 2, 3) \
    X(UZ1_ADC_P12_READ_CMD, 22, 2, 3) \
    X(UZ1_ADC_N15_READ_CMD, 23, 2, 3) \
    X(UZ1_ADC_P15_READ_CMD, 24, 2, 3) \
    X(UZ1_ADC_P200_READ_CMD, 25, 2, 3) \
    X(UZ1_SYSERR_CMD, 26, 2, 3) \
    X(UZ1_PZT_CHK_CMD, 27, 2, 3) \
    X(UZ1_RESET_UART_CMD, 28, 2, 0) \
    X(UZ1_READ_IO_CMD, 29, 4, 5) \
    X(UZ1_WRITE_IO_CMD, 30, 5, 0) \
    X(UZ1_SW_VERSION_CMD, 31, 2, 3) \
    X(UZ1_RAMP_LOAD_CMD, 32, 15, 0) \
    X(UZ1_RAMP_DAC_CMD, 33, 4, 0) \
    X(UZ1_RAMP_DATA_CMD, 34, 4, 3) \
    X(UZ1_RAMP_COMPLETE_CMD, 35, 2, 0) \
    X(UZ1_RAMP_ABORT_CMD, 36, 2, 0) \
    X(UZ1_RAMP_DELETE_CMD, 37, 3, 0) \
    X(UZ1_RAMP_IDLE_CMD, 38, 2, 3) \
    X(UZ1_RAMP_START_CMD, 39, 3, 0) \
    X(UZ1_PZT3_DISCONNECT_CMD, 40, 3, 0) \
    X(UZ1_POWER_CHK_CMD, 41, 2, 3) \
    X(UZ1_PIFOC_LEVEL_CMD, 42, 4, 0) \
    X(UZ1_PIFOC_RESET_CMD, 43, 5, 0) \
    X(UZ1_CAMERA_RES_CMD, 44, 3, 0) \
    X(UZ1_PZT_TYPE_CMD, 45, 3, 0) \
    X(UZ1_PC_READ_CMD, 46, 2, 27) \
    X(UZ1_PC_ADC_SET_CMD, 47, 7, 0) \
    X(UZ1_PC_ADC_READ_CMD, 48, 3, 7) \
    X(UZ1_RAMP_COMP_LOAD_CMD, 49, 10, 0) \
    X(UZ1_PC_RAMP_DONE_CMD, 50, 2, 0) \
    X(UZ1_EXPANSION_BD_CMD, 51, 2, 3) \
    X(UZ1_LCZDRIVE_CMD, 52, 3, 0) \
    X(UZ1_RAMP_UPDATERATE_CMD, 53, 5, 3) \
    X(UZ1_CUSTOM_CAMERA_CMD, 54, 10, 0) \
    X(UZ1_ZOOM_POSITION_CMD, 55, 0, 3) \
    X(UZ1_TURRET_POSITION_CMD, 56, 0, 3) \
    X(UZ1_ZOOMPOS_REPORT_CMD, 57, 3, 0) \
    X(UZ1_TURRETPOS_REPORT_CMD, 58, 3, 0)

#define UR_UZ2_CMDS(X) \
    X(UZ2_INVALID_CMD, 0, 0, 0) \
    X(UZ2_PZT_SET_CMD, 1, 8, 0) \
    X(UZ2_PZT_POWER_CMD, 2, 3, 0) \
    X(UZ2_LLC_SET_CMD, 3, 3, 0) \
    X(UZ2_LLC_READ_CMD, 4, 2, 3) \
    X(UZ2_LLC_MODE_SET_CMD, 5, 4, 0) \
    X(UZ2_LLC_MODE_READ_CMD, 6, 2, 3) \
    X(UZ2_EE_SERIAL_SET_CMD, 7, 6, 0) \
    X(UZ2_EE_SERIAL_READ_CMD, 8, 2, 6) \
    X(UZ2_EE_CAMERA_SET_CMD, 9, 3, 0) \
    X(UZ2_EE_CAMERA_READ_CMD, 10, 2, 3) \
    X(UZ2_EE_LIGHT_SET_CMD, 11, 3, 0) \
    X(UZ2_EE_LIGHT_READ_CMD, 12, 2, 3) \
    X(UZ2_EE_SYSTEM_SET_CMD, 13, 3, 0) \
    X(UZ2_EE_SYSTEM_READ_CMD, 14, 2, 3) \
    X(UZ2_EE_SYSDATE_SET_CMD, 15, 4, 0) \
    X(UZ2_EE_SYSDATE_READ_CMD, 16, 2, 4) \
    X(UZ2_EE_INSTRBD_SET_CMD, 17, 3, 0) \
    X(UZ2_EE_INSTRBD_READ_CMD, 18, 2, 3) \
    X(UZ2_ADC_P12_READ_CMD, 19, 2, 3) \
    X(UZ2_ADC_N15_READ_CMD, 20, 2, 3) \
    X(UZ2_ADC_P15_READ_CMD, 21, 2, 3) \
    X(UZ2_ADC_P200_READ_CMD, 22, 2, 3) \
    X(UZ2_SYSERR_CMD, 23, 2, 3) \
    X(UZ2_PZT_CHK_CMD, 24, 2, 3) \
    X(UZ2_RESET_UART_CMD, 25, 2, 0) \
    X(UZ2_RAMP_START_CMD, 26, 3, 0) \
    X(UZ2_RAMP_REQUEST_CMD, 27, 2, 6) \
    X(UZ2_SW_VERSION_CMD, 28, 2, 3) \
    X(UZ2_RAMP_LOAD_CMD, 29, 15, 0) \
    X(UZ2_RAMP_DAC_CMD, 30, 4, 0) \
    X(UZ2_WAND_CMD, 31, 3, 0) \
    X(UZ2_AXIOM_INIT_CMD, 32, 2, 3) \
    X(UZ2_AXIOM_POS_CMD, 33, 2, 8) \
    X(UZ2_LLC_STABLE_CMD, 34, 2, 3) \
    X(UZ2_FKEY_CMD, 35, 0, 3) \
    X(UZ2_VIDEO_PR_CMD, 36, 2, 0) \
    X(UZ2_LOCK_POS_CMD, 37, 3, 0) \
    X(UZ2_WAND_MOTION_CMD, 38, 2, 3) \
    X(UZ2_WAND_MODE_CMD, 39, 2, 3) \
    X(UZ2_PZT3_CMD, 40, 2, 3) \
    X(UZ2_PZT3_RESET_CMD, 41, 2, 0) \
    X(UZ2_PZT3_STATUS_CMD, 42, 2, 3) \
    X(UZ2_PZT3_PWRCHK_CMD, 43, 2, 3) \
    X(UZ2_PZT3_RAMP_CMD, 44, 8, 0) \
    X(UZ2_RAMP_DATA_CMD, 45, 4, 3) \
    X(UZ2_RAMP_COMPLETE_CMD, 46, 2, 0) \
    X(UZ2_RAMP_DELETE_CMD, 47, 3, 0) \
    X(UZ2_RAMP_IDLE_CMD, 48, 2, 3) \
    X(UZ2_POWER_CHK_CMD, 49, 2, 3) \
    X(UZ2_AXIOM_CMD, 50, 2, 3) \
    X(UZ2_DD_VOLTCHK_CMD, 51, 2, 3) \
    X(UZ2_READ_IO_CMD, 52, 4, 5) \
    X(UZ2_WRITE_IO_CMD, 53, 5, 0) \
    X(UZ2_CAMERA_RES_CMD, 54, 3, 0) \
    X(UZ2_ALIGN_VIEW_CMD, 55, 0, 3) \
    X(UZ2_CUSTOM_CAMERA_CMD, 56, 4, 0) \
    X(UZ2_RING_SPOT_CMD, 57, 0, 3) \
    X(UZ2_CHANGE_RINGSPOT_CMD, 58, 3, 0) \
    X(UZ2_CHANGE_ALIGNVIEW_CMD, 59, 3, 0) \
    X(UZ2_WAND_MODE2_CMD, 60, 2, 3) \
    X(UZ2_AV_MOVING_CMD, 61, 2, 3) \
    X(UZ2_RS_MOVING_CMD, 62, 2, 3)

#define UR_VOK_CMDS(X) \
    X(VOK_PZT_SET_CMD, 1, 4, 0) \
    X(VOK_SHUTTER_STATE_CMD, 2, 3, 0) \
    X(VOK_LLC_SET_CMD, 3, 3, 0) \
    X(VOK_LLC_READ_CMD, 4, 2, 3) \
    X(VOK_EE_SERIAL_SET_CMD, 5, 6, 0) \
    X(VOK_EE_SERIAL_READ_CMD, 6, 2, 6) \
    X(VOK_EE_CAMERA_SET_CMD, 7, 3, 0) \
    X(VOK_EE_CAMERA_READ_CMD, 8, 2, 3) \
    X(VOK_EE_LIGHT_SET_CMD, 9, 3, 0) \
    X(VOK_EE_LIGHT_READ_CMD, 10, 2, 3) \
    X(VOK_EE_SYSTEM_SET_CMD, 11, 3, 0) \
    X(VOK_EE_SYSTEM_READ_CMD, 12, 2, 3) \
    X(VOK_EE_SYSDATE_SET_CMD, 13, 4, 0) \
    X(VOK_EE_SYSDATE_READ_CMD, 14, 2, 4) \
    X(VOK_EE_INSTRBD_SET_CMD, 15, 3, 0) \
    X(VOK_EE_INSTRBD_READ_CMD, 16, 2, 3) \
    X(VOK_ADC_P12_READ_CMD, 17, 2, 3) \
    X(VOK_ADC_N15_READ_CMD, 18, 2, 3) \
    X(VOK_ADC_P15_READ_CMD, 19, 2, 3) \
    X(VOK_SYSERR_CMD, 20, 2, 3) \
    X(VOK_RESET_UART_CMD, 21, 2, 0) \
    X(VOK_RAMP_START_CMD, 22, 3, 0) \
    X(VOK_RAMP_REQUEST_CMD, 23, 2, 6) \
    X(VOK_SW_VERSION_CMD, 24, 2, 3) \
    X(VOK_RAMP_LOAD_CMD, 25, 15, 0) \
    X(VOK_RAMP_DAC_CMD, 26, 4, 0) \
    X(VOK_WAND_CMD, 27, 3, 0) \
    X(VOK_LLC_STABLE_CMD, 28, 2, 3) \
    X(VOK_FKEY_CMD, 29, 0, 3) \
    X(VOK_VIDEO_PR_CMD, 30, 2, 0) \
    X(VOK_LOCK_POS_CMD, 31, 3, 0) \
    X(VOK_WAND_MOTION_CMD, 32, 2, 3) \
    X(VOK_WAND_MODE_CMD, 33, 2, 3) \
    X(VOK_RAMP_DATA_CMD, 34, 4, 3) \
    X(VOK_RAMP_COMPLETE_CMD, 35, 2, 0) \
    X(VOK_RAMP_DELETE_CMD, 36, 3, 0) \
    X(VOK_RAMP_IDLE_CMD, 37, 2, 3) \
    X(VOK_POWER_CHK_CMD, 38, 2, 3) \
    X(VOK_ALIGN_VIEW_CMD, 39, 0, 3) \
    X(VOK_READ_IO_CMD, 40, 4, 5) \
    X(VOK_WRITE_IO_CMD, 41, 5, 0) \
    X(VOK_SHUTTER_OUTPUT_CMD, 42, 3, 0)

#define UR_FTP_CMDS(X) \
    X(FTP_INVALID_CMD, 0, 0, 0) \
    X(FTP_MOTOR_MOVE_CMD, 1, 3, 0) \
    X(FTP_MOTOR_READ_CMD, 2, 2, 3) \
    X(FTP_LLC_SET_CMD, 3, 4, 0) \
    X(FTP_LLC_READ_CMD, 4, 2, 4) \
    X(FTP_READ_KMR_LOCKEDP_CMD, 5, 2, 3) \
    X(FTP_READ_KMR_MEASERR_CMD, 6, 2, 3) \
    X(FTP_RAMP_REQUEST_CMD, 7, 2, 14) \
    X(FTP_EE_SERIAL_SET_CMD, 8, 6, 0) \
    X(FTP_EE_SERIAL_READ_CMD, 9, 2, 6) \
    X(FTP_EE_CAMERA_SET_CMD, 10, 3, 0) \
    X(FTP_EE_CAMERA_READ_CMD, 11, 2, 3) \
    X(FTP_EE_LIGHT_SET_CMD, 12, 3, 0) \
    X(FTP_EE_LIGHT_READ_CMD, 13, 2, 3) \
    X(FTP_EE_SYSTEM_SET_CMD, 14, 3, 0) \
    X(FTP_EE_SYSTEM_READ_CMD, 15, 2, 3) \
    X(FTP_EE_SYSDATE_SET_CMD, 16, 4, 0) \
    X(FTP_EE_SYSDATE_READ_CMD, 17, 2, 4) \
    X(FTP_EE_INSTRBD_SET_CMD, 18, 3, 0) \
    X(FTP_EE_INSTRBD_READ_CMD, 19, 2, 3) \
    X(FTP_ADC_P12_READ_CMD, 20, 2, 3) \
    X(FTP_ADC_N15_READ_CMD, 21, 2, 3) \
    X(FTP_ADC_P15_READ_CMD, 22, 2, 3) \
    X(FTP_SYSERR_CMD, 23, 2, 3) \
    X(FTP_RESET_UART_CMD, 24, 2, 0) \
    X(FTP_READ_IO_CMD, 25, 4, 5) \
    X(FTP_WRITE_IO_CMD, 26, 5, 0) \
    X(FTP_SW_VERSION_CMD, 27, 2, 3) \
    X(FTP_RAMP_LOAD_CMD, 28, 15, 0) \
    X(FTP_RAMP_DAC_CMD, 29, 4, 0) \
    X(FTP_RAMP_DATA_CMD, 30, 4, 3) \
    X(FTP_RAMP_COMPLETE_CMD, 31, 2, 0) \
    X(FTP_RAMP_ABORT_CMD, 32, 2, 0) \
    X(FTP_RAMP_DELETE_CMD, 33, 3, 0) \
    X(FTP_RAMP_IDLE_CMD, 34, 2, 3) \
    X(FTP_RAMP_START_CMD, 35, 3, 0) \
    X(FTP_POWER_CHK_CMD, 36, 2, 3) \
    X(FTP_PIFOC_LEVEL_CMD, 37, 4, 0) \
    X(FTP_PIFOC_RESET_CMD, 38, 5, 0) \
    X(FTP_RESET_KMR_CMD, 39, 2, 0) \
    X(FTP_RAMP_UPDATERATE_CMD, 40, 5, 3) \
    X(FTP_CUSTOM_CAMERA_CMD, 41, 10, 0)
// clang-format on

#define UR_CMD_ENUM_ENTRY(name, code, req, reply) name = code,
enum Uz1Command : uint8_t { UR_UZ1_CMDS(UR_CMD_ENUM_ENTRY) };
enum Uz2Command : uint8_t { UR_UZ2_CMDS(UR_CMD_ENUM_ENTRY) };
enum VokCommand : uint8_t { UR_VOK_CMDS(UR_CMD_ENUM_ENTRY) };
enum FtpCommand : uint8_t { UR_FTP_CMDS(UR_CMD_ENUM_ENTRY) };
#undef UR_CMD_ENUM_ENTRY

// One row of a command table. Rows are indexed by code; a row without a name
// is a code the board type does not have (code 0 of board type 6).
struct UrCmdInfo {
    const char* name;
    uint8_t reqLen;
    uint8_t replyLen;
};

// The command table of a board type and its row count; null (count 0) for a
// board type that does not speak the board protocol.
const UrCmdInfo* ur_cmd_table(int instrBdType, int* count);

// The row of a command, or null when the board type lacks the code.
const UrCmdInfo* ur_cmd_info(int instrBdType, int code);

// The code of a command by its name without the board type's prefix
// ("POWER_CHK_CMD"), or -1 when the board type has no such command.
int ur_cmd_code(int instrBdType, const char* suffix);
