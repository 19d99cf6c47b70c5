#include "serial/temp_comm.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "common/msg.h"
#include "common/status.h"
#include "config/sysinfo.h"
#include "platform/clock.h"

namespace {

// The error-status request that follows a refused write.
constexpr uint8_t kErrorStatusPoll[] = {TEMP_EOT, '0', '0', '1', '1', 'E', 'E'};

// The error-status answer is only printed; a controller that never ends it
// must not keep the host reading.
constexpr int kErrorStatusMaxBytes = 256;

bool read_byte(SerialHandle port, uint8_t* byte) {
    uint32_t done = 0;
    return sio_read_data(port, byte, 1, &done) == 0 && done == 1;
}

bool send(SerialHandle port, const uint8_t* bytes, std::size_t count) {
    uint32_t done = 0;
    return sio_send_data(port, bytes, static_cast<uint32_t>(count), &done) == 0;
}

void set_empty(char* reply, std::size_t reply_size) {
    if (reply != nullptr && reply_size > 0) reply[0] = '\0';
}

// A refused write: ask the controller why and print its answer.
void dump_error_status(SerialHandle port) {
    if (!send(port, kErrorStatusPoll, sizeof kErrorStatusPoll)) {
        u_msg_sink("temp_comm_read: EE err2 error\n");
        return;
    }
    for (int i = 0; i < kErrorStatusMaxBytes; ++i) {
        uint8_t byte = 0;
        if (!read_byte(port, &byte)) {
            u_msg_sink("temp_comm_read: EE err3 error\n");
            break;
        }
        u_msg_sink("char: 0x%x\n", byte);
        if (byte == TEMP_ETX) break;
    }
    // The answer's block check (or whatever is left of an endless answer)
    // would otherwise be taken for the first byte of the next answer.
    sio_clear_buffer(port);
}

// The framed block after STX: 0 with the text (ETX replaced by its end).
int read_block(SerialHandle port, char* reply, std::size_t reply_size) {
    uint8_t stored[TEMP_STR_MAX_LEN + 1];
    int count = 0;
    for (;;) {
        uint8_t byte = 0;
        if (!read_byte(port, &byte)) {
            u_msg_sink(
                "temp_comm_read: sio_read_data failed: no reply byte %d within the timeout\n",
                count + 1);
            return ERR_TEMP_SENSOR_READ;
        }
        stored[count++] = byte;
        if (byte == TEMP_ETX) break;
        if (count == TEMP_STR_MAX_LEN + 1) {
            u_msg_sink("temp_comm_read: i=TEMP_STR_MAX_LEN\n");
            return ERR_TEMP_SENSOR_READ;
        }
    }
    uint8_t sent = 0;
    if (!read_byte(port, &sent)) {
        u_msg_sink(
            "temp_comm_read: sio_read_data failed: no block check character within the timeout\n");
        return ERR_TEMP_SENSOR_READ;
    }
    const uint8_t calc = temp_comm_bcc(stored, static_cast<std::size_t>(count));
    if (sent != calc) {
        u_msg_sink("temp_comm_read: checksums mismatched: sent=%d calc=%d\n",
                   static_cast<int>(static_cast<int8_t>(sent)),
                   static_cast<int>(static_cast<int8_t>(calc)));
        return ERR_TEMP_SENSOR_CHECKSUM;
    }
    const std::size_t length = static_cast<std::size_t>(count - 1);
    if (length + 1 > reply_size) {
        u_msg_sink("temp_comm_read: reply of %d characters does not fit in %d bytes\n",
                   static_cast<int>(length), static_cast<int>(reply_size));
        return ERR_TEMP_SENSOR_READ;
    }
    std::memcpy(reply, stored, length);
    reply[length] = '\0';
    return NO_ERROR;
}

}  // namespace

uint8_t temp_comm_bcc(const uint8_t* bytes, std::size_t count) {
    uint8_t bcc = 0;
    for (std::size_t i = 0; i < count; ++i) bcc ^= bytes[i];
    return bcc;
}

int temp_comm_open(SerialHandle* holder, const char* device) {
    int rc = sio_open_line(device, SIO_SETUP_TEMP_SENSOR, holder, nullptr);
    if (rc != NO_ERROR) {
        u_msg_sink("temp_comm_open: error initializing device %s: %s\n", device, u_error_name(rc));
        return ERR_TEMP_SENSOR_COMM;
    }
    return NO_ERROR;
}

int temp_comm_close(SerialHandle* holder) {
    if (holder == nullptr || *holder == SIO_INVALID_HANDLE) return NO_ERROR;
    int rc = sio_close(holder);
    if (rc != NO_ERROR) {
        u_msg_sink("temp_comm_close: sio_close failed: %s\n", u_error_name(rc));
        return ERR_TEMP_SENSOR_COMM;
    }
    return NO_ERROR;
}

int temp_comm_read(SerialHandle port, char* reply, int kind, std::size_t reply_size) {
    if (port == SIO_INVALID_HANDLE) {
        set_empty(reply, reply_size);
        return NO_ERROR;
    }
    if (reply == nullptr || reply_size == 0) return ERR_INVALID_PARAM;
    reply[0] = '\0';
    if (kind != TEMP_RESP_WRITE && kind != TEMP_RESP_READ) {
        u_msg_sink("temp_comm_read: unknown response type %d\n", kind);
        return ERR_TEMP_SENSOR_COMM;
    }

    int saved = 0;
    if (sio_get_timeout(port, &saved) != NO_ERROR) return ERR_TEMP_SENSOR_COMM;
    if (saved != TEMP_READ_TIMEOUT_S) sio_set_timeout(port, TEMP_READ_TIMEOUT_S);
    uint8_t first = 0;
    const bool got = read_byte(port, &first);
    if (saved != TEMP_READ_TIMEOUT_S) sio_set_timeout(port, saved);
    if (!got) {
        u_msg_sink("temp_comm_read: timeout on first byte, respType=%d\n", kind);
        return ERR_TEMP_SENSOR_TIMEOUT;
    }

    if (kind == TEMP_RESP_WRITE) {
        if (first == TEMP_ACK) return NO_ERROR;
        if (first == TEMP_NAK) {
            u_msg_sink("temp_comm_read: received NAK\n");
            dump_error_status(port);
            return ERR_TEMP_SENSOR_COMM;
        }
        // Only ACK takes a write; anything else must not pass for one.
        u_msg_sink("temp_comm_read: received unknown response character 0x%x\n", first);
        return ERR_TEMP_SENSOR_COMM;
    }

    if (first == TEMP_EOT) {
        u_msg_sink("temp_comm_read: received EOT, respType=%d\n", kind);
        return ERR_TEMP_SENSOR_COMM;
    }
    if (first == TEMP_STX) return read_block(port, reply, reply_size);
    u_msg_sink("temp_comm_read: received unknown response character 0x%x\n", first);
    return ERR_TEMP_SENSOR_COMM;
}

int temp_comm_write(SerialHandle port, char* text, int length, int kind, std::size_t text_size) {
    if (port == SIO_INVALID_HANDLE) return NO_ERROR;
    if (kind != TEMP_RESP_WRITE && kind != TEMP_RESP_READ) return ERR_TEMP_SENSOR_COMM;
    if (text == nullptr || length < 0 || static_cast<std::size_t>(length) > text_size ||
        length > TEMP_STR_MAX_LEN || (kind == TEMP_RESP_READ && length < 2))
        return ERR_INVALID_PARAM;

    std::vector<uint8_t> message = {TEMP_EOT, '0', '0', '1', '1'};
    if (kind == TEMP_RESP_WRITE) {
        message.push_back(TEMP_STX);
        const std::size_t block = message.size();
        message.insert(message.end(), text, text + length);
        message.push_back(TEMP_ETX);
        message.push_back(temp_comm_bcc(message.data() + block, message.size() - block));
    } else {
        message.insert(message.end(), text, text + length);
        message.push_back(TEMP_ENQ);
    }
    if (!send(port, message.data(), message.size())) {
        u_msg_sink("temp_comm_write: sio_send_data failed: nbytes=%d\n",
                   static_cast<int>(message.size()));
        return ERR_TEMP_SENSOR_COMM;
    }

    char reply[TEMP_REPLY_SIZE];
    int rc = temp_comm_read(port, reply, kind, sizeof reply);
    if (rc != NO_ERROR || kind == TEMP_RESP_WRITE) return rc;
    if (reply[0] != text[0] || reply[0] == '\0' || reply[1] != text[1]) {
        u_msg_sink("temp_comm_write: reply \"%s\" is not for %c%c\n", reply, text[0], text[1]);
        return ERR_TEMP_SENSOR_READ;
    }
    const std::size_t value_length = std::strlen(reply + 2);
    if (value_length + 1 > text_size) {
        u_msg_sink("temp_comm_write: value of %d characters does not fit in %d bytes\n",
                   static_cast<int>(value_length), static_cast<int>(text_size));
        return ERR_TEMP_SENSOR_READ;
    }
    std::memcpy(text, reply + 2, value_length + 1);
    return NO_ERROR;
}

int temp_comm_startup(SerialHandle port) {
    static const char* const kSequence[] = {"IM0002.", "QD0002.", "Q10000.", "IM0000."};
    for (const char* step : kSequence) {
        char text[8];
        std::memcpy(text, step, sizeof text);
        int rc = temp_comm_write(port, text, 7, TEMP_RESP_WRITE, sizeof text);
        if (rc != NO_ERROR) return rc;
    }
    // The controller takes its new settings over before it answers again.
    plat_sleep_ms(TEMP_STARTUP_PAUSE_MS);
    return NO_ERROR;
}

int temp_comm_power_up(SystemInfo* info) {
    if (info == nullptr) return ERR_INVALID_PARAM;
    SerialHandle* holder = &info->serial.tempPort;
    int rc = temp_comm_close(holder);
    if (rc == NO_ERROR && info->tempSensor != 0 && !info->tempSensorPort.empty()) {
        rc = temp_comm_open(holder, info->tempSensorPort.c_str());
        if (rc == NO_ERROR) rc = temp_comm_startup(*holder);
    }
    if (rc != NO_ERROR) {
        u_msg_sink("Error initializing temperature sensor: %s\n", u_error_name(rc));
        return ERR_TEMP_SENSOR_INIT;
    }
    return NO_ERROR;
}
