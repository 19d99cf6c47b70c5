#include "serial/wm.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "common/abort.h"
#include "common/msg.h"
#include "common/status.h"
#include "common/strformat.h"
#include "common/timing.h"
#include "config/sysinfo.h"
#include "platform/clock.h"

namespace {

uint32_t le32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

uint16_t le16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

float le_float(const uint8_t* bytes) {
    uint32_t bits = le32(bytes);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

bool read_byte(SerialHandle port, uint8_t* byte) {
    uint32_t done = 0;
    return sio_read_data(port, byte, 1, &done) == 0 && done == 1;
}

// The closing byte of a reply that ends in an acknowledgement.
int judge_closing_byte(uint8_t byte, const char* kind, std::string* detail) {
    if (byte == WM_ACK) return NO_ERROR;
    if (byte == WM_NAK) {
        *detail = u_format("%s: received NAK", kind);
        return ERR_WM_NAK;
    }
    *detail = u_format("%s: invalid response 0x%02X, expected ACK (0x%02X) or NAK (0x%02X)", kind,
                       byte, WM_ACK, WM_NAK);
    return ERR_WM_READ;
}

// Reads the reply bytes that follow the first one, by kind; the buffer is
// sized here.
int read_reply(SerialHandle port, Vector1* reply, uint8_t first, int respLen, int size,
               int respType, std::string* detail) {
    switch (respType) {
        case WM_RESP_ACK: {
            if (int rc = reply->resize(1, true); rc != NO_ERROR) return rc;
            reply->elems[0] = first;
            return judge_closing_byte(first, "WM_RESP_ACK", detail);
        }
        case WM_RESP_READ: {
            if (respLen < 1) {
                *detail = u_format("WM_RESP_READ: invalid respLen = %d", respLen);
                return ERR_WM_READ;
            }
            if (int rc = reply->resize(respLen, true); rc != NO_ERROR) return rc;
            reply->elems[0] = first;
            for (int i = 1; i < respLen; ++i) {
                if (!read_byte(port, &reply->elems[i])) {
                    *detail = u_format(
                        "WM_RESP_READ: sio_read_data failed reading response byte %d of %d", i + 1,
                        respLen);
                    return ERR_WM_READ;
                }
            }
            return NO_ERROR;
        }
        case WM_RESP_READ_ACK: {
            if (respLen < 1 || respLen == std::numeric_limits<int>::max()) {
                *detail = u_format("WM_RESP_READ_ACK: invalid respLen = %d", respLen);
                return ERR_WM_READ;
            }
            const int total = respLen + 1;
            if (int rc = reply->resize(total, true); rc != NO_ERROR) return rc;
            reply->elems[0] = first;
            for (int i = 1; i < total; ++i) {
                if (!read_byte(port, &reply->elems[i])) {
                    *detail = u_format(
                        "WM_RESP_READ_ACK: sio_read_data failed reading response char %d of %d",
                        i + 1, total);
                    return ERR_WM_READ;
                }
            }
            return judge_closing_byte(reply->elems[total - 1], "WM_RESP_READ_ACK", detail);
        }
        case WM_RESP_SIZE_READ_ACK: {
            uint8_t count_bytes[4] = {first, 0, 0, 0};
            for (int i = 1; i < 4; ++i) {
                if (!read_byte(port, &count_bytes[i])) {
                    *detail = u_format(
                        "WM_RESP_SIZE_READ_ACK: sio_read_data failed reading byte %d of %d", i + 1,
                        4);
                    return ERR_WM_READ;
                }
            }
            const uint32_t count = le32(count_bytes);
            // In 64 bits: a count from the device must not wrap the total
            // into a small buffer.
            const int64_t total = static_cast<int64_t>(respLen) +
                                  static_cast<int64_t>(size) * static_cast<int64_t>(count) + 5;
            if (respLen < 0 || size < 0 || total > WM_SIZE_READ_MAX_BYTES) {
                *detail = u_format(
                    "WM_RESP_SIZE_READ_ACK: invalid reply size %lld (respLen = %d, size = %d, "
                    "count = %u)",
                    static_cast<long long>(total), respLen, size, count);
                return ERR_WM_READ;
            }
            const int t = static_cast<int>(total);
            if (int rc = reply->resize(t, true); rc != NO_ERROR) return rc;
            const int32_t stored = static_cast<int32_t>(count);
            std::memcpy(reply->elems, &stored, sizeof stored);
            for (int i = 4; i < t; ++i) {
                if (!read_byte(port, &reply->elems[i])) {
                    *detail = u_format(
                        "WM_RESP_SIZE_READ_ACK: sio_read_data failed reading byte %d of %d", i + 1,
                        t);
                    return ERR_WM_READ;
                }
            }
            return judge_closing_byte(reply->elems[t - 1], "WM_RESP_SIZE_READ_ACK", detail);
        }
        default:
            if (int rc = reply->resize(1, true); rc != NO_ERROR) return rc;
            reply->elems[0] = first;
            return NO_ERROR;
    }
}

// A command whose reply is `respLen` data bytes and an ACK, copied to `out`.
int query(SerialHandle port, const char* command, int respLen, uint8_t* out) {
    Vector1 reply;
    reply.clear();
    int rc = wm_comm_write_rd(port, command, &reply, respLen, 0, WM_RESP_READ_ACK, 0);
    if (rc == NO_ERROR) std::memcpy(out, reply.elems, static_cast<size_t>(respLen));
    reply.release();
    return rc;
}

// A command answered by one acknowledgement byte.
int command(SerialHandle port, const char* text) {
    Vector1 reply;
    reply.clear();
    int rc = wm_comm_write_rd(port, text, &reply, 0, 0, WM_RESP_ACK, 0);
    reply.release();
    return rc;
}

void store_status(const WmStatusReply& status, SysWaveMonitorState* state) {
    state->statusRead = true;
    state->statusFlags = status.flags;
    state->calibrated = (status.flags & WM_STATUS_CALIBRATED) != 0;
    state->typeBits = status.flags & WM_STATUS_TYPE_BITS;
    state->maxTuneRange = static_cast<double>(status.maxTuneRange) * 1000000.0;
    state->minTuneRate = static_cast<double>(status.minTuneRate) * 1000000.0;
    state->maxTuneRate = static_cast<double>(status.maxTuneRate) * 1000000.0;
}

}  // namespace

int wm_comm_open_fd(SerialHandle* holder, const char* device) {
    const char* step = nullptr;
    int rc = sio_open_line(device, SIO_SETUP_WAVE_MONITOR, holder, &step);
    if (rc != NO_ERROR) {
        u_msg_sink("%s: error initializing device %s: %s\n", "wm_comm_open_fd", device,
                   u_error_name(rc));
        return ERR_WM_COMM;
    }
    return NO_ERROR;
}

int wm_comm_close(SerialHandle* holder) {
    if (holder == nullptr) return NO_ERROR;
    return sio_close(holder);
}

int wm_flush_inp(SerialHandle port) {
    if (sio_clear_buffer(port) != 0) {
        u_msg_sink("%s: sio_clear_buffer failed\n", "wm_flush_inp");
        return ERR_WM_COMM;
    }
    return NO_ERROR;
}

int wm_comm_write(SerialHandle port, const char* text) {
    if (port == SIO_INVALID_HANDLE) return NO_ERROR;
    if (text == nullptr) return ERR_INVALID_PARAM;
    const uint32_t length = static_cast<uint32_t>(std::strlen(text));
    uint32_t done = 0;
    if (length > 0 && sio_send_data(port, text, length, &done) != 0) {
        u_msg_sink("%s: sio_send_data failed, sendPacket = \"%s\", nbytes = %d\n", "wm_comm_write",
                   text, static_cast<int>(length));
        return ERR_WM_COMM;
    }
    const uint8_t cr = WM_CR;
    if (sio_send_data(port, &cr, 1, &done) != 0) {
        u_msg_sink("%s: sio_send_data failed, nbytes = 1\n", "wm_comm_write");
        return ERR_WM_COMM;
    }
    return NO_ERROR;
}

int wm_comm_read(SerialHandle port, Vector1* reply, int respLen, int size, int respType,
                 int timeout_s) {
    int rc = NO_ERROR;
    std::string detail;
    if (port == SIO_INVALID_HANDLE || reply == nullptr) {
        rc = ERR_INVALID_PARAM;
    } else {
        const int wanted = timeout_s < 1 ? WM_DEFAULT_TIMEOUT_S : timeout_s;
        int saved = 0;
        if (sio_get_timeout(port, &saved) != NO_ERROR) {
            rc = ERR_WM_COMM;
            detail = "sio_get_timeout failed";
        } else {
            bool changed = false;
            if (wanted != saved) {
                if (sio_set_timeout(port, wanted) != NO_ERROR) {
                    rc = ERR_WM_COMM;
                    detail = "sio_set_timeout failed";
                }
                changed = true;
            }
            uint8_t first = 0;
            bool got = rc == NO_ERROR && read_byte(port, &first);
            if (changed) sio_set_timeout(port, saved);
            if (rc == NO_ERROR) {
                rc = got ? read_reply(port, reply, first, respLen, size, respType, &detail)
                         : ERR_WM_TIMEOUT;
            }
        }
    }
    if (rc != NO_ERROR) {
        char stamp[U_TIMESTAMP_SIZE];
        u_timestamp(stamp);
        if (detail.empty()) {
            u_msg_sink("%s %s: %s\n", stamp, "wm_comm_read", u_error_name(rc));
        } else {
            u_msg_sink("%s %s: %s: %s\n", stamp, "wm_comm_read", u_error_name(rc), detail.c_str());
        }
        if (reply != nullptr) reply->release();
    }
    return rc;
}

int wm_comm_write_rd(SerialHandle port, const char* text, Vector1* reply, int respLen, int size,
                     int respType, int timeout_s) {
    int rc = wm_comm_write(port, text);
    if (rc != NO_ERROR) return rc;
    rc = wm_comm_read(port, reply, respLen, size, respType, timeout_s);
    if (rc != NO_ERROR) {
        char stamp[U_TIMESTAMP_SIZE];
        u_timestamp(stamp);
        u_msg_sink("%s %s: error reading response to command \"%s\": %s\n", stamp,
                   "wm_comm_write_rd", text, u_error_name(rc));
    }
    return rc;
}

int wm_get_laser_status(SerialHandle port, uint32_t* status) {
    uint8_t bytes[WM_LO_REPLY_LEN];
    int rc = query(port, "LO?", WM_LO_REPLY_LEN, bytes);
    if (rc == NO_ERROR && status != nullptr) *status = le32(bytes);
    return rc;
}

int wm_set_laser(SerialHandle port, int on) {
    return command(port, on ? "LO=1" : "LO=0");
}

int wm_set_laser_with_wait(SerialHandle port, int on) {
    int rc = wm_set_laser(port, on);
    if (rc != NO_ERROR) return rc;
    for (int poll = 0; poll < WM_LASER_POLLS; ++poll) {
        plat_sleep_ms(WM_LASER_POLL_MS);
        uint32_t status = 0;
        // A failed poll ends the wait: its reply cannot be judged.
        rc = wm_get_laser_status(port, &status);
        if (rc != NO_ERROR) return rc;
        if (((status & WM_LASER_ON_BIT) != 0) == (on != 0)) return NO_ERROR;
        if (u_abort_check(0) != 0) return ERR_KORVATEN_ABORTED;
    }
    u_msg_sink("%s: timeout waiting for laser to switch %s\n", "wm_set_laser_with_wait",
               on ? "ON" : "OFF");
    return ERR_WM_LASER_CONTROL_TIMEOUT;
}

int wm_get_status(SerialHandle port, WmStatusReply* status) {
    uint8_t bytes[WM_MS_REPLY_LEN];
    int rc = query(port, "MS?", WM_MS_REPLY_LEN, bytes);
    if (rc != NO_ERROR || status == nullptr) return rc;
    status->flags = le32(bytes);
    status->word1 = static_cast<int32_t>(le32(bytes + 4));
    status->word2 = static_cast<int32_t>(le32(bytes + 8));
    status->maxTuneRange = le_float(bytes + 12);
    status->minTuneRate = le_float(bytes + 16);
    status->maxTuneRate = le_float(bytes + 20);
    status->secondsSinceCal = static_cast<int32_t>(le32(bytes + 24));
    status->word7 = static_cast<int32_t>(le32(bytes + 28));
    status->word8 = static_cast<int32_t>(le32(bytes + 32));
    return NO_ERROR;
}

int wm_get_sys_gain(SerialHandle port, float* gain) {
    uint8_t bytes[WM_CC_REPLY_LEN];
    int rc = query(port, "CC?", WM_CC_REPLY_LEN, bytes);
    if (rc == NO_ERROR && gain != nullptr) *gain = le_float(bytes);
    return rc;
}

int wm_get_four_channel_cal(SerialHandle port, WmFourChannelCal* cal) {
    uint8_t bytes[WM_CC4_REPLY_LEN];
    int rc = query(port, "CC?", WM_CC4_REPLY_LEN, bytes);
    if (rc != NO_ERROR || cal == nullptr) return rc;
    for (int i = 0; i < 4; ++i) cal->adcGain[i] = le_float(bytes + 4 * i);
    cal->sysGain = le_float(bytes + 16);
    for (int i = 0; i < 4; ++i) cal->adcOffset[i] = le16(bytes + 20 + 2 * i);
    for (int i = 0; i < 3; ++i) cal->phaseOffset[i] = le_float(bytes + 28 + 4 * i);
    return NO_ERROR;
}

int wm_set_wavelength(SerialHandle port, double wavelength) {
    const double scaled = std::trunc(wavelength * 10000000.0);
    if (!(scaled >= std::numeric_limits<int>::min() && scaled <= std::numeric_limits<int>::max()))
        return ERR_INVALID_PARAM;
    char text[32];
    std::snprintf(text, sizeof text, "CL=%d", static_cast<int>(scaled));
    return command(port, text);
}

int wm_set_sys_gain(SerialHandle port, double gain) {
    if (!std::isfinite(gain)) return ERR_INVALID_PARAM;
    char text[400];
    std::snprintf(text, sizeof text, "SS=%f", gain);
    return command(port, text);
}

int wm_set_rr(SerialHandle port, int first, int second, int32_t reply[2]) {
    char text[40];
    std::snprintf(text, sizeof text, "RR=%d,%d", first, second);
    uint8_t bytes[WM_RR_REPLY_LEN];
    int rc = query(port, text, WM_RR_REPLY_LEN, bytes);
    if (rc == NO_ERROR && reply != nullptr) {
        reply[0] = static_cast<int32_t>(le32(bytes));
        reply[1] = static_cast<int32_t>(le32(bytes + 4));
    }
    return rc;
}

int wm_read_cal_state(SerialHandle port, SysWaveMonitorState* state) {
    if (state == nullptr) return ERR_INVALID_PARAM;
    WmStatusReply status{};
    int rc = wm_get_status(port, &status);
    if (rc != NO_ERROR) return rc;
    store_status(status, state);
    if (!state->calibrated) {
        state->calTime = 0;
        return NO_ERROR;
    }
    int64_t now = 0;
    u_time_now(&now, nullptr);
    state->calTime = now - status.secondsSinceCal;
    if ((state->statusFlags & WM_STATUS_FOUR_CHANNEL) == 0 &&
        (state->statusFlags & WM_STATUS_SECOND_TYPE) == 0) {
        // The first type's flags are read once more before its type is judged.
        WmStatusReply again{};
        rc = wm_get_status(port, &again);
        if (rc != NO_ERROR) return rc;
        state->statusFlags = again.flags;
        state->typeBits = again.flags & WM_STATUS_TYPE_BITS;
    }
    if ((state->statusFlags & WM_STATUS_FOUR_CHANNEL) == 0) {
        float gain = 0;
        rc = wm_get_sys_gain(port, &gain);
        if (rc == NO_ERROR) state->sysGain = gain;
        return rc;
    }
    WmFourChannelCal cal{};
    rc = wm_get_four_channel_cal(port, &cal);
    if (rc != NO_ERROR) return rc;
    std::memcpy(state->adcGain, cal.adcGain, sizeof cal.adcGain);
    std::memcpy(state->adcOffset, cal.adcOffset, sizeof cal.adcOffset);
    std::memcpy(state->phaseOffset, cal.phaseOffset, sizeof cal.phaseOffset);
    state->sysGain = cal.sysGain;
    return NO_ERROR;
}

int wm_init_ramp_info(SerialHandle port, SysWaveMonitorState* state) {
    if (state == nullptr) return ERR_INVALID_PARAM;
    WmStatusReply status{};
    int rc = wm_get_status(port, &status);
    if (rc != NO_ERROR) return rc;
    store_status(status, state);
    return NO_ERROR;
}

void wm_report_cal_state(const SysWaveMonitorState* state) {
    if (state == nullptr || !state->calibrated) {
        u_msg_sink("Wave monitor not calibrated\n");
        return;
    }
    char stamp[U_TIMESTAMP_SIZE];
    u_format_time(state->calTime, stamp);
    u_msg_sink("Wave monitor calibrated %s\n", stamp);
    if (state->typeBits & WM_STATUS_FOUR_CHANNEL) {
        const char names[] = "ABCD";
        for (int i = 0; i < 4; ++i)
            u_msg_sink("ADC Gain %c : %f\n", names[i], static_cast<double>(state->adcGain[i]));
        for (int i = 0; i < 4; ++i)
            u_msg_sink("ADC Offs %c : %u\n", names[i], static_cast<unsigned>(state->adcOffset[i]));
        u_msg_sink("Phs Offs 01: %f\n", static_cast<double>(state->phaseOffset[0]));
        u_msg_sink("Phs Offs 12: %f\n", static_cast<double>(state->phaseOffset[1]));
        u_msg_sink("Phs Offs 23: %f\n", static_cast<double>(state->phaseOffset[2]));
    }
    u_msg_sink("System Gain: %f\n", state->sysGain);
}

bool wm_system_has_monitor(int32_t systemType) {
    return systemType == 19 || systemType == 27 || systemType == 30 || systemType == 32 ||
           systemType == 33;
}

int wm_verify_ramp_in_limits(const SystemInfo* info, double req_range, int req_buckets) {
    const char* name = "wm_verify_ramp_in_limits";
    if (info == nullptr) return ERR_INVALID_PARAM;
    const double frame_rate = info->cameraMode.grabRate;
    // The rate is range x frame rate / buckets: without buckets or a frame
    // rate there is no rate to check.
    if (req_buckets <= 0 || !(frame_rate > 0) || !std::isfinite(frame_rate) ||
        !std::isfinite(req_range)) {
        u_msg_sink(
            "%s: cannot work out the rate: req_range = %g, req_buckets = %d, "
            "frame rate = %g\n",
            name, req_range, req_buckets, frame_rate);
        return ERR_INVALID_PARAM;
    }

    double max_range = WM_DEFAULT_MAX_TUNE_RANGE;
    double min_rate = 0;
    double max_rate = std::numeric_limits<double>::infinity();
    if (wm_system_has_monitor(info->systemType)) {
        max_range = info->wmTuneRange[1];
        min_rate = info->wmTuneRate[0];
        max_rate = info->wmTuneRate[1];
        if (info->systemType == 19 || info->systemType == 30) {
            const SysWaveMonitorState& wm = info->serial.wm;
            if (!wm.calibrated) {
                max_range = 0;
                min_rate = 0;
                max_rate = 0;
            } else {
                max_range = std::min(max_range, wm.maxTuneRange);
                min_rate = std::max(min_rate, wm.minTuneRate);
                max_rate = std::min(max_rate, wm.maxTuneRate);
            }
        }
    }

    const double rate = req_range * frame_rate / static_cast<double>(req_buckets);
    if (req_range - max_range > WM_LIMIT_SLACK) {
        u_msg_sink("%s: req_range = %g too large\n", name, req_range);
        return ERR_WM_TUNE_RANGE_TOO_LARGE;
    }
    if (rate - max_rate > WM_LIMIT_SLACK) {
        u_msg_sink("%s: req_rate = %g too fast\n", name, rate);
        return ERR_WM_TUNE_RANGE_TOO_LARGE;
    }
    if (req_buckets > WM_MAX_BUCKETS) {
        u_msg_sink("%s: req_buckets = %d is too big\n", name, req_buckets);
        return ERR_WM_NUM_BUCKETS_TOO_LARGE;
    }
    if (!(rate - min_rate >= WM_LIMIT_SLACK)) {
        u_msg_sink("%s: req_rate = %g is too slow\n", name, rate);
        return ERR_WM_TUNE_RATE_TOO_SLOW;
    }
    return NO_ERROR;
}
