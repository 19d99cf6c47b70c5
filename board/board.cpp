// Framing, sending with resends, reading one frame, and the board line's
// life in the device table.
#include "board/board.h"

#include <cstring>

#include "common/msg.h"
#include "common/status.h"
#include "config/sysinfo.h"
#include "devpoll/devpoll.h"

namespace {
bool is_report_code(int instrBdType, uint8_t b, int respType) {
    if (instrBdType == 1) return b == 155 || b == 156;
    if (b == 135 || b == 155 || b == 157) return true;
    // Board type 6 reports on codes the other types do not use; only a
    // report read takes them.
    return respType == UZ_RESP_REPORT && (b == 129 || b == 139);
}

// Reads the length byte, allowing the board 10 seconds to begin, and puts
// the port's own read time-out back.
bool read_first_byte(SerialHandle port, uint8_t* byte) {
    int saved = 0;
    if (sio_get_timeout(port, &saved) != NO_ERROR) return false;
    if (sio_set_timeout(port, UZ_FIRST_BYTE_TIMEOUT_S) != NO_ERROR) return false;
    uint32_t done = 0;
    bool got = sio_read_data(port, byte, 1, &done) == 0 && done == 1;
    bool restored = sio_set_timeout(port, saved) == NO_ERROR;
    return got && restored;
}

const char* printable(const char* text) {
    return text != nullptr ? text : "(null)";
}
}  // namespace

bool ur_speaks_protocol(int instrBdType) {
    return instrBdType == 1 || instrBdType == 3 || instrBdType == 6 || instrBdType == 7;
}

uint8_t ur_checksum(const uint8_t* bytes, std::size_t count) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += bytes[i];
    return static_cast<uint8_t>(sum);
}

SystemInfo* ur_port_owner(SerialHandle port) {
    // A closed port would match every instrument whose line is closed.
    if (port == SIO_INVALID_HANDLE) return nullptr;
    for (int slot = 0; slot < SB_NUM_SLOTS; ++slot) {
        SystemInfo* info = sb_system_info(slot);
        if (info != nullptr && info->serial.instrBdPort == port) return info;
    }
    return nullptr;
}

int ur_initUZ(SystemInfo* info) {
    if (info == nullptr) return ERR_UZ_COMM;
    const char* device = info->instrComm.c_str();
    if (!ur_speaks_protocol(info->instrBdType)) {
        u_msg_sink("ur_initUZ: error initializing %s: %s\n", device,
                   u_error_name(ERR_WRONG_INSTR_BOARD));
        return ERR_UZ_COMM;
    }
    // Opening again must not leave the old port and its registration behind.
    if (info->serial.instrBdPort != SIO_INVALID_HANDLE) ur_closeUZ(info);

    SerialHandle port = SIO_INVALID_HANDLE;
    int result = sio_open_line(device, SIO_SETUP_BOARD, &port, nullptr);
    if (result == NO_ERROR) {
        result = dev_add_device(UZ_DEVICE_TYPE, port, info);
        if (result != NO_ERROR) sio_close(&port);
    }
    if (result != NO_ERROR) {
        u_msg_sink("ur_initUZ: error initializing %s: %s\n", device, u_error_name(result));
        return ERR_UZ_COMM;
    }
    info->serial.instrBdPort = port;
    return NO_ERROR;
}

int ur_drainUZ(SystemInfo* info) {
    if (info == nullptr || sio_clear_buffer(info->serial.instrBdPort) != 0) {
        u_msg_sink("sio_clear_buffer failed.");
        return ERR_UZ_COMM;
    }
    return NO_ERROR;
}

int ur_closeUZ(SystemInfo* info) {
    if (info == nullptr || info->serial.instrBdPort == SIO_INVALID_HANDLE) return ERR_INVALID_PARAM;
    // A line the device table no longer holds (the table was closed or reset
    // under it) is closed all the same: left open, it would keep the device
    // locked and every later ur_initUZ would fail. The failed removal is still
    // the result.
    int removed = dev_remove_device(info->serial.instrBdPort);
    SerialHandle port = info->serial.instrBdPort;
    int closed = sio_close(&port);
    // The serial layer's port is gone whatever close said.
    info->serial.instrBdPort = SIO_INVALID_HANDLE;
    return removed != NO_ERROR ? removed : closed;
}

const char* ur_cmd_str(SerialHandle port, int code) {
    SystemInfo* info = ur_port_owner(port);
    if (info == nullptr) return "INVALID_PARAM";
    int type = info->instrBdType;
    if (!ur_speaks_protocol(type)) {
        u_msg_sink("ur_cmd_str: unknown instrBdType\n");
        return nullptr;
    }
    int count = 0;
    const UrCmdInfo* rows = ur_cmd_table(type, &count);
    if (code >= 0 && code < count && rows[code].name != nullptr) return rows[code].name;
    return type == 6 ? "VOK_INVALID_CMD" : rows[0].name;
}

int ur_readUZ(SerialHandle port, uint8_t* buffer, int respType, int* count) {
    if (count != nullptr) *count = 0;
    SystemInfo* info = ur_port_owner(port);
    if (info == nullptr) return ERR_SYS_INFO_NOT_AVAIL;
    int type = info->instrBdType;
    if (!ur_speaks_protocol(type)) return ERR_WRONG_INSTR_BOARD;
    if (buffer == nullptr || count == nullptr || respType < UZ_RESP_ACK ||
        respType > UZ_RESP_REPORT)
        return ERR_INVALID_PARAM;

    for (int pass = 0; pass < UZ_READ_PASSES; ++pass) {
        uint8_t first = 0;
        if (!read_first_byte(port, &first)) {
            u_msg_sink("ur_readUZ: timed out on first byte, respType=%d\n", respType);
            return ERR_UZ_RECV_TIMEOUT;
        }
        int len = static_cast<int8_t>(first);
        if (len <= 0) return NO_ERROR;

        uint32_t done = 0;
        if (sio_read_data(port, buffer, static_cast<uint32_t>(len), &done) != 0) {
            u_msg_sink("ur_readUZ: sio_read_data failed\n");
            return ERR_UZ_RECV_TIMEOUT;
        }
        uint8_t calc = ur_checksum(buffer, static_cast<std::size_t>(len - 1));
        if (calc != buffer[len - 1]) {
            u_msg_sink("ur_readUZ: checksum err recv %d calc %d\n", buffer[len - 1], calc);
            return UZ_STATUS_CHECKSUM;
        }

        uint8_t b = buffer[0];
        bool last_pass = pass == UZ_READ_PASSES - 1;
        if (respType == UZ_RESP_REPORT) {
            if (is_report_code(type, b, respType)) {
                *count = len;
                return NO_ERROR;
            }
            if (last_pass) return ERR_UZ_RECV_FAILED;
            continue;
        }
        if (b == UZ_NAK) return UZ_STATUS_NAK;
        if (is_report_code(type, b, respType)) {
            // Dropped: the reply is still to come.
            if (last_pass) {
                u_msg_sink("ur_readUZ: received unsolicited info\n");
                return ERR_UZ_RECV_FAILED;
            }
            continue;
        }
        if (respType == UZ_RESP_ACK && b != UZ_ACK) return ERR_UZ_RECV_FAILED;
        *count = len;
        return NO_ERROR;
    }
    return ERR_UZ_RECV_FAILED;
}

int ur_writeUZ(SerialHandle port, int len, uint8_t* frame, std::size_t frameSize, bool dataReply,
               bool checksumPresent) {
    int code = frame != nullptr && len >= 1 && frameSize >= 2 ? frame[1] : 0;
    int result = NO_ERROR;
    SystemInfo* info = ur_port_owner(port);
    std::size_t send_count =
        checksumPresent ? static_cast<std::size_t>(len) : static_cast<std::size_t>(len) + 1;
    if (info == nullptr) {
        result = ERR_SYS_INFO_NOT_AVAIL;
    } else if (!ur_speaks_protocol(info->instrBdType)) {
        result = ERR_WRONG_INSTR_BOARD;
    } else if (frame == nullptr || len < 2 || send_count > frameSize ||
               (!checksumPresent && len > UZ_MAX_FRAME_LEN)) {
        result = ERR_INVALID_PARAM;
    }
    if (result != NO_ERROR) {
        u_msg_sink("ur_writeUZ failed: cmd=%s\n", printable(ur_cmd_str(port, code)));
        return result;
    }

    if (!checksumPresent) frame[len] = ur_checksum(frame + 1, static_cast<std::size_t>(len - 1));
    const UrCmdInfo* row = ur_cmd_info(info->instrBdType, code);
    int expected = row != nullptr ? row->replyLen : 0;

    result = ERR_UZ_RECV_FAILED;
    for (int attempt = 0; attempt < UZ_SEND_ATTEMPTS; ++attempt) {
        uint32_t done = 0;
        if (sio_send_data(port, frame, static_cast<uint32_t>(send_count), &done) != 0) {
            u_msg_sink("ur_writeUZ: sio_send_data failed  i=%d  len=%d\n", attempt,
                       static_cast<int>(send_count));
            result = ERR_UZ_SEND_FAILED;
            break;
        }
        uint8_t reply[UZ_REPLY_BUFFER_SIZE];
        int count = 0;
        int read = ur_readUZ(port, reply, dataReply ? UZ_RESP_DATA : UZ_RESP_ACK, &count);
        if (read == UZ_STATUS_NAK || read == UZ_STATUS_CHECKSUM) {
            result = ERR_UZ_RECV_FAILED;
            continue;
        }
        if (read != NO_ERROR) {
            result = read;
            break;
        }
        // A length byte of 0 or above 127 brought no reply at all: neither an
        // acknowledgement nor bytes to unpack.
        if (count == 0) {
            result = ERR_UZ_RECV_FAILED;
            break;
        }
        if (dataReply) {
            if (reply[0] != code) {
                u_msg_sink("ur_writeUZ: recvd invalid resp  wanted %d  got %d\n", code, reply[0]);
                result = ERR_UZ_RECV_FAILED;
                break;
            }
            // A short reply would leave the caller unpacking old request bytes.
            if (count < expected || static_cast<std::size_t>(count) > frameSize) {
                result = ERR_UZ_RECV_FAILED;
                break;
            }
            std::memcpy(frame, reply, static_cast<std::size_t>(count));
        }
        result = NO_ERROR;
        break;
    }
    if (result != NO_ERROR)
        u_msg_sink("ur_writeUZ failed: cmd=%s\n", printable(ur_cmd_str(port, code)));
    return result;
}
