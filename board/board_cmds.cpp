#include "board/board_cmds.h"

#include <cstring>

namespace {
#define UR_CMD_ROW(name, code, req, reply) {#name, req, reply},
const UrCmdInfo kUz1Table[] = {UR_UZ1_CMDS(UR_CMD_ROW)};
const UrCmdInfo kUz2Table[] = {UR_UZ2_CMDS(UR_CMD_ROW)};
// Board type 6 numbers its commands from 1: row 0 stays unnamed.
const UrCmdInfo kVokTable[] = {{nullptr, 0, 0}, UR_VOK_CMDS(UR_CMD_ROW)};
const UrCmdInfo kFtpTable[] = {UR_FTP_CMDS(UR_CMD_ROW)};
#undef UR_CMD_ROW

template <std::size_t N>
const UrCmdInfo* table(const UrCmdInfo (&rows)[N], int* count) {
    *count = static_cast<int>(N);
    return rows;
}
}  // namespace

const UrCmdInfo* ur_cmd_table(int instrBdType, int* count) {
    int ignored = 0;
    if (count == nullptr) count = &ignored;
    switch (instrBdType) {
        case 1:
            return table(kUz1Table, count);
        case 3:
            return table(kUz2Table, count);
        case 6:
            return table(kVokTable, count);
        case 7:
            return table(kFtpTable, count);
        default:
            *count = 0;
            return nullptr;
    }
}

const UrCmdInfo* ur_cmd_info(int instrBdType, int code) {
    int count = 0;
    const UrCmdInfo* rows = ur_cmd_table(instrBdType, &count);
    if (rows == nullptr || code < 0 || code >= count || rows[code].name == nullptr) return nullptr;
    return &rows[code];
}

int ur_cmd_code(int instrBdType, const char* suffix) {
    int count = 0;
    const UrCmdInfo* rows = ur_cmd_table(instrBdType, &count);
    if (suffix == nullptr) return -1;
    for (int code = 0; code < count; ++code) {
        const char* name = rows[code].name;
        if (name == nullptr) continue;
        const char* underscore = std::strchr(name, '_');
        if (underscore != nullptr && std::strcmp(underscore + 1, suffix) == 0) return code;
    }
    return -1;
}
