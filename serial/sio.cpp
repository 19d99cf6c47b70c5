#include "serial/sio.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/msg.h"
#include "common/status.h"
#include "platform/clock.h"

namespace {
constexpr int kAcceptedBauds[] = {150,  300,   600,   1200,  2400,  4800,
                                  9600, 19200, 38400, 57600, 115200};

// atoi as the system this layer was designed on does it: 32-bit, clamped.
int to_int(const char* text) {
    long long value = std::strtoll(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

bool accepted_baud(int baud) {
    for (int rate : kAcceptedBauds)
        if (rate == baud) return true;
    return false;
}

struct LineParams {
    int baud = 9600;
    int data_bits = 8;
    int parity = PLAT_NOPARITY;
    uint8_t stop_bits = PLAT_ONESTOPBIT;
};

// Parses "baud,databits,parity,stopbits". Text after the stop bits is ignored.
// *quiet is set for the one refusal that is returned without a message.
int parse_settings(const char* text, LineParams* params, bool* quiet) {
    *quiet = false;
    params->baud = to_int(text);
    if (!accepted_baud(params->baud)) return ERR_INVALID_PARAM;
    const char* comma = std::strchr(text, ',');
    if (comma == nullptr) return ERR_INVALID_PARAM;
    params->data_bits = to_int(comma + 1);
    if (params->data_bits < 5 || params->data_bits > 8) return ERR_INVALID_PARAM;
    comma = std::strchr(comma + 1, ',');
    if (comma == nullptr) return ERR_INVALID_PARAM;
    if (comma[1] < '0' || comma[1] > '9') {
        *quiet = true;
        return ERR_PARAM_OUT_OF_RANGE;
    }
    params->parity = to_int(comma + 1);
    if (params->parity < 0 || params->parity > 2) return ERR_INVALID_PARAM;
    comma = std::strchr(comma + 1, ',');
    if (comma == nullptr) return ERR_INVALID_PARAM;
    float stop = static_cast<float>(std::strtod(comma + 1, nullptr));
    if (stop == 1.0f)
        params->stop_bits = PLAT_ONESTOPBIT;
    else if (stop == 1.5f)
        params->stop_bits = PLAT_ONE5STOPBITS;
    else if (stop == 2.0f)
        params->stop_bits = PLAT_TWOSTOPBITS;
    else
        return ERR_PARAM_OUT_OF_RANGE;
    return NO_ERROR;
}

bool is_stream_mode(const char* text) {
    static const char* const kModes[] = {"r", "r+", "w", "w+", "a", "a+"};
    for (const char* mode : kModes)
        if (std::strcmp(text, mode) == 0) return true;
    return false;
}

void set_xon_xoff(SioLineState* state, bool on) {
    state->fOutX = on ? 1 : 0;
    state->fInX = on ? 1 : 0;
    state->XonChar = SIO_XON_CHAR;
    state->XoffChar = SIO_XOFF_CHAR;
    state->XonLim = SIO_XON_LIMIT;
    state->XoffLim = SIO_XOFF_LIMIT;
}

// The shared read-change-write pattern of the line setters.
template <typename Change>
int change_state(SerialHandle handle, Change change) {
    if (handle == SIO_INVALID_HANDLE) return ERR_SERIAL_NOT_OPEN;
    SioLineState state{};
    state.DCBlength = sizeof state;
    if (!plat_serial_get_state(handle, &state)) return ERR_CANT_GET_SERIAL;
    change(&state);
    if (!plat_serial_set_state(handle, &state)) return ERR_CANT_SET_SERIAL;
    return NO_ERROR;
}

// now + ms + extra_ns on the library's clock; INT64_MAX (no limit) when the
// sum does not fit, as with a MAXDWORD write multiplier.
int64_t deadline_in(uint64_t ms, int64_t extra_ns) {
    constexpr int64_t kMax = INT64_MAX;
    int64_t span =
        ms > static_cast<uint64_t>(kMax / 1000000) ? kMax : static_cast<int64_t>(ms) * 1000000;
    span = extra_ns > kMax - span ? kMax : span + extra_ns;
    const int64_t now = plat_clock_ns();
    return now > 0 && span > kMax - now ? kMax : now + span;
}

// Bits on the line per character: start, data, parity, stop.
int64_t transmit_ns(const SioLineState& state, uint32_t count) {
    if (state.BaudRate == 0) return 0;
    int bits = 1 + (state.ByteSize ? state.ByteSize : 8) + (state.Parity ? 1 : 0) +
               (state.StopBits == PLAT_ONESTOPBIT ? 1 : 2);
    return static_cast<int64_t>(static_cast<double>(count) * bits * 1e9 / state.BaudRate);
}
}  // namespace

int sio_open(const char* device, SerialHandle* handle) {
    *handle = plat_serial_open(device);
    if (*handle == SIO_INVALID_HANDLE) return ERR_CANT_OPEN_SERIAL;
    if (!plat_serial_set_mask(*handle, PLAT_EV_RXCHAR) ||
        !plat_serial_setup(*handle, SIO_QUEUE_SIZE, SIO_QUEUE_SIZE))
        return ERR_CANT_SET_SERIAL;
    return NO_ERROR;
}

int sio_init(SerialHandle handle, const char* settings) {
    return sio_init(handle, settings, true);
}

int sio_init(SerialHandle handle, const char* settings, bool xon_xoff) {
    if (handle == SIO_INVALID_HANDLE) return ERR_SERIAL_NOT_OPEN;
    int result = NO_ERROR;
    SioLineState state{};
    state.DCBlength = sizeof state;
    if (!plat_serial_get_state(handle, &state)) {
        result = ERR_CANT_GET_SERIAL;
    } else {
        LineParams params;
        if (settings != nullptr && is_stream_mode(settings)) {
            u_msg_sink("Com Settings Parameter: %s is ignored.\n", settings);
        } else if (settings != nullptr) {
            bool quiet = false;
            result = parse_settings(settings, &params, &quiet);
            if (quiet) return result;
        }
        if (result == NO_ERROR) {
            state.BaudRate = static_cast<uint32_t>(params.baud);
            state.ByteSize = static_cast<uint8_t>(params.data_bits);
            state.Parity = static_cast<uint8_t>(params.parity);
            state.fParity = params.parity > 0 ? 1 : 0;
            state.StopBits = params.stop_bits;
            set_xon_xoff(&state, xon_xoff);
            state.fDtrControl = PLAT_DTR_CONTROL_ENABLE;
            state.fOutxCtsFlow = xon_xoff ? 0 : 1;
            state.fRtsControl = PLAT_RTS_CONTROL_HANDSHAKE;
            state.fAbortOnError = xon_xoff ? 0 : 1;
            state.fBinary = 1;
            PlatCommTimeouts timeouts{SIO_READ_INTERVAL_MS, 0, SIO_READ_TOTAL_MS, 0,
                                      SIO_WRITE_TOTAL_MS};
            plat_serial_set_timeouts(handle, &timeouts);
            if (!plat_serial_set_state(handle, &state)) result = ERR_CANT_SET_SERIAL;
            plat_serial_escape(handle, PLAT_SETDTR);
        }
    }
    if (result != NO_ERROR)
        u_msg_sink("Com Settings Parameter: %s is Invalid.\n", settings ? settings : "(null)");
    return result;
}

int sio_set_baud(SerialHandle handle, int baud) {
    return change_state(
        handle, [baud](SioLineState* state) { state->BaudRate = static_cast<uint32_t>(baud); });
}

int sio_set_parity(SerialHandle handle, int parity) {
    return change_state(handle, [parity](SioLineState* state) {
        state->Parity = static_cast<uint8_t>(parity);
        state->fParity = parity != 0 ? 1 : 0;
    });
}

int sio_set_data_bits(SerialHandle handle, int bits) {
    return change_state(
        handle, [bits](SioLineState* state) { state->ByteSize = static_cast<uint8_t>(bits); });
}

int sio_xon_xoff_on(SerialHandle handle) {
    return change_state(handle, [](SioLineState* state) { set_xon_xoff(state, true); });
}

int sio_xon_xoff_off(SerialHandle handle) {
    return change_state(handle, [](SioLineState* state) { set_xon_xoff(state, false); });
}

int sio_get_timeout(SerialHandle handle, int* seconds) {
    *seconds = 0;
    if (handle == SIO_INVALID_HANDLE) return ERR_SERIAL_NOT_OPEN;
    PlatCommTimeouts timeouts{};
    if (!plat_serial_get_timeouts(handle, &timeouts)) return ERR_CANT_GET_SERIAL;
    *seconds = static_cast<int>(timeouts.ReadTotalTimeoutConstant / 1000);
    return NO_ERROR;
}

int sio_set_timeout(SerialHandle handle, int seconds) {
    if (handle == SIO_INVALID_HANDLE) return ERR_SERIAL_NOT_OPEN;
    PlatCommTimeouts timeouts{};
    if (!plat_serial_get_timeouts(handle, &timeouts)) return ERR_CANT_SET_SERIAL;
    // Seconds beyond what the millisecond field holds mean its longest wait,
    // not the remainder of a wrapped product.
    int64_t ms = static_cast<int64_t>(seconds) * 1000;
    if (ms < 0) ms = 0;
    if (ms > PLAT_MAXDWORD) ms = PLAT_MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = static_cast<uint32_t>(ms);
    if (!plat_serial_set_timeouts(handle, &timeouts)) return ERR_CANT_SET_SERIAL;
    return NO_ERROR;
}

int sio_get_state(SerialHandle handle, SioLineState* state) {
    if (handle == SIO_INVALID_HANDLE) return ERR_SERIAL_NOT_OPEN;
    state->DCBlength = sizeof *state;
    if (!plat_serial_get_state(handle, state)) return ERR_CANT_GET_SERIAL;
    return NO_ERROR;
}

int sio_set_state(SerialHandle handle, const SioLineState* state) {
    if (handle == SIO_INVALID_HANDLE) return ERR_SERIAL_NOT_OPEN;
    if (!plat_serial_set_state(handle, state)) return ERR_CANT_SET_SERIAL;
    return NO_ERROR;
}

int sio_send_data(SerialHandle handle, const void* data, uint32_t count, uint32_t* done) {
    uint32_t written = 0;
    bool ok = plat_serial_write(handle, data, count, &written);
    if (done != nullptr) *done = written;

    // Wait for the bytes to leave the output queue, but not for ever: a
    // stalled peer gets the write time-out plus the bytes' time on the line.
    PlatCommTimeouts timeouts{};
    SioLineState state{};
    state.DCBlength = sizeof state;
    plat_serial_get_timeouts(handle, &timeouts);
    plat_serial_get_state(handle, &state);
    uint64_t limit_ms = static_cast<uint64_t>(timeouts.WriteTotalTimeoutMultiplier) * count +
                        timeouts.WriteTotalTimeoutConstant;
    // Without a write time-out the wait still ends, after the layer's default one.
    if (limit_ms == 0) limit_ms = SIO_WRITE_TOTAL_MS;
    const int64_t end = deadline_in(limit_ms, transmit_ns(state, count));
    bool drained = true;
    for (;;) {
        uint32_t errors = 0;
        PlatCommStatus status{};
        if (!plat_serial_clear_error(handle, &errors, &status) || errors != 0 ||
            status.cbOutQue == 0)
            break;
        if (plat_clock_ns() >= end) {
            drained = false;
            break;
        }
        plat_sleep_ms(1);
    }
    return ok && drained && written == count ? 0 : 1;
}

int sio_read_data(SerialHandle handle, void* buffer, uint32_t count, uint32_t* done) {
    plat_serial_clear_error(handle, nullptr, nullptr);
    uint32_t got = 0;
    // A read that failed (the line hung up) fails the call.
    bool read = plat_serial_read(handle, buffer, count, &got);
    if (done != nullptr) *done = got;
    bool cleared = plat_serial_clear_error(handle, nullptr, nullptr);
    return read && cleared && got == count ? 0 : 1;
}

int sio_bytes_waiting(SerialHandle handle, uint32_t* count) {
    PlatCommStatus status{};
    if (!plat_serial_clear_error(handle, nullptr, &status)) {
        *count = 0;
        return 1;
    }
    *count = status.cbInQue;
    return 0;
}

int sio_clear_buffer(SerialHandle handle) {
    if (handle == SIO_INVALID_HANDLE) return ERR_SERIAL_NOT_OPEN;
    PlatCommTimeouts saved{};
    bool have_saved = plat_serial_get_timeouts(handle, &saved);
    if (have_saved) {
        PlatCommTimeouts draining = saved;
        draining.ReadTotalTimeoutConstant = SIO_CLEAR_READ_MS;
        plat_serial_set_timeouts(handle, &draining);
    }
    bool purged = false;
    bool read_ok = true;
    uint32_t got = 0;
    // A device that never stops talking must not keep the caller here.
    for (int pass = 0; pass < SIO_CLEAR_MAX_PASSES; ++pass) {
        got = 0;
        purged = plat_serial_purge(handle, PLAT_PURGE_TXABORT | PLAT_PURGE_RXABORT |
                                               PLAT_PURGE_TXCLEAR | PLAT_PURGE_RXCLEAR);
        if (!purged) break;
        unsigned char byte = 0;
        read_ok = plat_serial_read(handle, &byte, 1, &got);
        if (!read_ok || got == 0) break;
    }
    if (have_saved) plat_serial_set_timeouts(handle, &saved);
    // A line that hung up is silent, not drained.
    return purged && read_ok && got == 0 ? 0 : 1;
}

int sio_close(SerialHandle* handle) {
    if (handle == nullptr || *handle == SIO_INVALID_HANDLE) return ERR_SERIAL_NOT_OPEN;
    SerialHandle port = *handle;
    plat_serial_set_mask(port, 0);
    plat_serial_escape(port, PLAT_CLRDTR);
    plat_serial_purge(
        port, PLAT_PURGE_TXABORT | PLAT_PURGE_RXABORT | PLAT_PURGE_TXCLEAR | PLAT_PURGE_RXCLEAR);
    bool closed = plat_serial_close(port);
    // The port object is gone even when closing reported an error.
    *handle = SIO_INVALID_HANDLE;
    return closed ? NO_ERROR : ERR_CANT_CLOSE_SERIAL;
}

int sio_open_line(const char* device, const SioLineSetup& setup, SerialHandle* handle,
                  const char** failed_step) {
    const char* step = "sio_open";
    int result = sio_open(device, handle);
    if (result == ERR_CANT_OPEN_SERIAL) {
        if (failed_step != nullptr) *failed_step = step;
        return result;
    }
    if (result == NO_ERROR) {
        step = "sio_init";
        result = sio_init(*handle, nullptr);
    }
    if (result == NO_ERROR && setup.baud >= 0) {
        step = "sio_set_baud";
        result = sio_set_baud(*handle, setup.baud);
    }
    if (result == NO_ERROR && setup.parity >= 0) {
        step = "sio_set_parity";
        result = sio_set_parity(*handle, setup.parity);
    }
    if (result == NO_ERROR && setup.data_bits >= 0) {
        step = "sio_set_data_bits";
        result = sio_set_data_bits(*handle, setup.data_bits);
    }
    if (result == NO_ERROR) {
        step = "sio_xon_xoff_off";
        result = sio_xon_xoff_off(*handle);
    }
    if (result != NO_ERROR) {
        if (failed_step != nullptr) *failed_step = step;
        sio_close(handle);
        *handle = SIO_INVALID_HANDLE;
    } else if (failed_step != nullptr) {
        *failed_step = nullptr;
    }
    return result;
}
