#include <windows.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/serial_port.h"

// The handle is opened for overlapped transfers: a synchronous handle would
// make the device-polling watcher's error query wait behind the owner's read.
struct PlatSerialPort {
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool is_comm = false;      // a communications device (not a plain file)
    uint64_t file_offset = 0;  // where a plain file's next transfer starts
    PlatCommTimeouts timeouts{};
    COMMTIMEOUTS applied{};  // what the driver holds, to change it only when needed
    bool applied_valid = false;
    // The driver clears its error flags on every query: both queries take
    // what it reports into both pending sets, each handing out its own.
    std::mutex error_lock;
    uint32_t owner_errors = 0;
    uint32_t peek_errors = 0;
};

namespace {
int errno_of(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
            return EACCES;
        case ERROR_SHARING_VIOLATION:
            return EBUSY;
        case ERROR_INVALID_PARAMETER:
            return EINVAL;
        case ERROR_INVALID_HANDLE:
            return EBADF;
        case ERROR_INVALID_FUNCTION:
        case ERROR_NOT_SUPPORTED:
            return ENOTTY;
        default:
            return EIO;
    }
}

bool fail_with_last_error() {
    errno = errno_of(::GetLastError());
    return false;
}

// "COM1" to "COM255" need the device-namespace form from COM10 up; it works
// for all of them. Every other name is opened as given.
std::string device_name(const char* device) {
    const char* p = device;
    if ((p[0] == 'C' || p[0] == 'c') && (p[1] == 'O' || p[1] == 'o') &&
        (p[2] == 'M' || p[2] == 'm') && p[3] >= '1' && p[3] <= '9') {
        const char* digit = p + 3;
        while (*digit >= '0' && *digit <= '9') ++digit;
        if (*digit == '\0' && digit - p <= 6) return std::string("\\\\.\\") + device;
    }
    return device;
}

int64_t ms_to_ns(uint64_t ms) {
    return ms > static_cast<uint64_t>(INT64_MAX / 1000000) ? INT64_MAX
                                                           : static_cast<int64_t>(ms) * 1000000;
}

// The clock reading `ms` after `start`; INT64_MAX ("no limit") when the sum
// does not fit, never a deadline that wrapped into the past.
int64_t deadline_after(int64_t start, uint64_t ms) {
    const int64_t span = ms_to_ns(ms);
    if (start > 0 && span > INT64_MAX - start) return INT64_MAX;
    return start + span;
}

uint64_t total_ms(uint32_t multiplier, uint32_t count, uint32_t constant) {
    return static_cast<uint64_t>(multiplier) * count + constant;
}

// A span of the library's clock as the driver's real milliseconds, rounded up
// (so the driver never ends a wait early), at least 1, below MAXDWORD (which
// has meanings of its own in the time-out record).
DWORD driver_ms(int64_t library_ns) {
    const int64_t real = plat_real_ns(library_ns);
    const int64_t ms = real / 1000000 + (real % 1000000 != 0 ? 1 : 0);
    if (ms < 1) return 1;
    if (ms >= static_cast<int64_t>(MAXDWORD)) return MAXDWORD - 1;
    return static_cast<DWORD>(ms);
}

bool apply_timeouts(PlatSerialPort* port, const COMMTIMEOUTS& wanted) {
    if (!port->is_comm) return true;
    if (port->applied_valid && std::memcmp(&port->applied, &wanted, sizeof wanted) == 0)
        return true;
    COMMTIMEOUTS copy = wanted;
    if (!::SetCommTimeouts(port->handle, &copy)) return false;
    port->applied = wanted;
    port->applied_valid = true;
    return true;
}

// The driver's own time-out ending a transfer is not a failure.
bool is_timeout(DWORD error) {
    return error == ERROR_TIMEOUT || error == WAIT_TIMEOUT || error == ERROR_SEM_TIMEOUT ||
           error == ERROR_COUNTER_TIMEOUT;
}

// One read or write through the driver, waited for. False with errno set on
// failure; *done gets the count either way.
bool transfer(PlatSerialPort* port, bool write, void* buffer, DWORD count, DWORD* done) {
    *done = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) return fail_with_last_error();
    if (!port->is_comm) {
        overlapped.Offset = static_cast<DWORD>(port->file_offset);
        overlapped.OffsetHigh = static_cast<DWORD>(port->file_offset >> 32);
    }
    BOOL ok = write ? ::WriteFile(port->handle, buffer, count, nullptr, &overlapped)
                    : ::ReadFile(port->handle, buffer, count, nullptr, &overlapped);
    DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
    if (ok || error == ERROR_IO_PENDING) {
        ok = ::GetOverlappedResult(port->handle, &overlapped, done, TRUE);
        error = ok ? ERROR_SUCCESS : ::GetLastError();
    }
    ::CloseHandle(overlapped.hEvent);
    if (!ok && is_timeout(error)) ok = TRUE;
    // A plain file read at its end is no error either: no bytes came.
    if (!ok && !port->is_comm && !write && error == ERROR_HANDLE_EOF) ok = TRUE;
    if (!port->is_comm) port->file_offset += *done;
    if (!ok) {
        // A line that is gone (an adapter unplugged) fails each transfer.
        errno = error == ERROR_INVALID_HANDLE ? EBADF : EIO;
        return false;
    }
    return true;
}
}  // namespace

PlatSerialPort* plat_serial_open(const char* device) {
    if (device == nullptr || device[0] == '\0') {
        errno = device == nullptr ? EINVAL : ENOENT;
        return nullptr;
    }
    const std::string name = device_name(device);
    // No sharing: a second open of the device fails until this one is closed.
    HANDLE handle = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errno_of(::GetLastError());
        return nullptr;
    }
    auto* port = new PlatSerialPort;
    port->handle = handle;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    port->is_comm = ::GetCommState(handle, &dcb) != 0;
    if (port->is_comm) {
        // Errors left from the device's last user are not this user's.
        DWORD errors = 0;
        ::ClearCommError(handle, &errors, nullptr);
    }
    return port;
}

bool plat_serial_close(PlatSerialPort* port) {
    if (port == nullptr) {
        errno = EBADF;
        return false;
    }
    const bool ok = ::CloseHandle(port->handle) != 0;
    const int error = ok ? 0 : errno_of(::GetLastError());
    delete port;
    if (!ok) errno = error;
    return ok;
}

bool plat_serial_set_mask(PlatSerialPort* port, uint32_t mask) {
    if (port == nullptr || !port->is_comm) {
        errno = ENOTTY;
        return false;
    }
    return ::SetCommMask(port->handle, mask) != 0 || fail_with_last_error();
}

bool plat_serial_setup(PlatSerialPort* port, uint32_t in_queue, uint32_t out_queue) {
    if (port == nullptr || !port->is_comm) {
        errno = ENOTTY;
        return false;
    }
    return ::SetupComm(port->handle, in_queue, out_queue) != 0 || fail_with_last_error();
}

bool plat_serial_get_state(PlatSerialPort* port, PlatCommState* state) {
    if (port == nullptr || state == nullptr) {
        errno = EINVAL;
        return false;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(port->handle, &dcb)) return fail_with_last_error();
    // The caller's record length stays as the caller set it.
    const uint32_t length = state->DCBlength;
    *state = PlatCommState{};
    state->DCBlength = length;
    state->BaudRate = dcb.BaudRate;
    state->fBinary = dcb.fBinary;
    state->fParity = dcb.fParity;
    state->fOutxCtsFlow = dcb.fOutxCtsFlow;
    state->fOutxDsrFlow = dcb.fOutxDsrFlow;
    state->fDtrControl = dcb.fDtrControl;
    state->fDsrSensitivity = dcb.fDsrSensitivity;
    state->fTXContinueOnXoff = dcb.fTXContinueOnXoff;
    state->fOutX = dcb.fOutX;
    state->fInX = dcb.fInX;
    state->fErrorChar = dcb.fErrorChar;
    state->fNull = dcb.fNull;
    state->fRtsControl = dcb.fRtsControl;
    state->fAbortOnError = dcb.fAbortOnError;
    state->XonLim = dcb.XonLim;
    state->XoffLim = dcb.XoffLim;
    state->ByteSize = dcb.ByteSize;
    state->Parity = dcb.Parity;
    state->StopBits = dcb.StopBits;
    state->XonChar = dcb.XonChar;
    state->XoffChar = dcb.XoffChar;
    state->ErrorChar = dcb.ErrorChar;
    state->EofChar = dcb.EofChar;
    state->EvtChar = dcb.EvtChar;
    return true;
}

bool plat_serial_set_state(PlatSerialPort* port, const PlatCommState* state) {
    if (port == nullptr || state == nullptr) {
        errno = EINVAL;
        return false;
    }
    // The same framings as everywhere else; the driver judges the rate.
    if (state->BaudRate == 0 || state->ByteSize < 5 || state->ByteSize > 8 ||
        state->Parity > PLAT_EVENPARITY || state->StopBits > PLAT_TWOSTOPBITS) {
        errno = EINVAL;
        return false;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = state->BaudRate;
    dcb.fBinary = 1;  // the only mode Windows drivers support
    dcb.fParity = state->fParity ? 1 : 0;
    dcb.fOutxCtsFlow = state->fOutxCtsFlow ? 1 : 0;
    dcb.fOutxDsrFlow = state->fOutxDsrFlow ? 1 : 0;
    dcb.fDtrControl = state->fDtrControl & 3;
    dcb.fDsrSensitivity = state->fDsrSensitivity ? 1 : 0;
    dcb.fTXContinueOnXoff = state->fTXContinueOnXoff ? 1 : 0;
    dcb.fOutX = state->fOutX ? 1 : 0;
    dcb.fInX = state->fInX ? 1 : 0;
    dcb.fErrorChar = state->fErrorChar ? 1 : 0;
    dcb.fNull = state->fNull ? 1 : 0;
    dcb.fRtsControl = state->fRtsControl & 3;
    dcb.fAbortOnError = state->fAbortOnError ? 1 : 0;
    dcb.XonLim = state->XonLim;
    dcb.XoffLim = state->XoffLim;
    dcb.ByteSize = state->ByteSize;
    dcb.Parity = state->Parity;
    dcb.StopBits = state->StopBits;
    dcb.XonChar = state->XonChar;
    dcb.XoffChar = state->XoffChar;
    dcb.ErrorChar = state->ErrorChar;
    dcb.EofChar = state->EofChar;
    dcb.EvtChar = state->EvtChar;
    if (!::SetCommState(port->handle, &dcb)) return fail_with_last_error();
    // Some drivers take a rate they cannot make and round it: that is a refusal.
    DCB now{};
    now.DCBlength = sizeof now;
    if (!::GetCommState(port->handle, &now)) return fail_with_last_error();
    if (now.BaudRate != dcb.BaudRate) {
        errno = EINVAL;
        return false;
    }
    return true;
}

bool plat_serial_get_timeouts(PlatSerialPort* port, PlatCommTimeouts* timeouts) {
    if (port == nullptr || timeouts == nullptr) {
        errno = EINVAL;
        return false;
    }
    *timeouts = port->timeouts;
    return true;
}

// Kept here and handed to the driver per transfer, converted to real time:
// the library's clock may run faster than the driver's.
bool plat_serial_set_timeouts(PlatSerialPort* port, const PlatCommTimeouts* timeouts) {
    if (port == nullptr || timeouts == nullptr) {
        errno = EINVAL;
        return false;
    }
    port->timeouts = *timeouts;
    return true;
}

bool plat_serial_escape(PlatSerialPort* port, int function) {
    if (port == nullptr) {
        errno = EBADF;
        return false;
    }
    if (function != PLAT_SETDTR && function != PLAT_CLRDTR) {
        errno = EINVAL;
        return false;
    }
    // A line without modem signals refuses; that is not the caller's fault.
    ::EscapeCommFunction(port->handle, static_cast<DWORD>(function));
    return true;
}

bool plat_serial_purge(PlatSerialPort* port, uint32_t flags) {
    if (port == nullptr) {
        errno = EBADF;
        return false;
    }
    // Transfers are waited for: there is never a pending one of the owner's to
    // abort, and aborting would end a watcher's nothing. Only the queues.
    const DWORD clear = flags & (PLAT_PURGE_RXCLEAR | PLAT_PURGE_TXCLEAR);
    if (clear == 0) return true;
    return ::PurgeComm(port->handle, clear) != 0 || fail_with_last_error();
}

namespace {
// Asks the driver for its error flags (which it then clears) and queue
// counts; the flags go into both pending sets. The caller holds error_lock.
bool query_driver(PlatSerialPort* port, COMSTAT* queues) {
    DWORD seen = 0;
    if (!::ClearCommError(port->handle, &seen, queues)) return fail_with_last_error();
    port->owner_errors |= seen;
    port->peek_errors |= seen;
    return true;
}

bool errors_and_queues(PlatSerialPort* port, bool owner, uint32_t* errors, PlatCommStatus* status) {
    if (errors != nullptr) *errors = 0;
    if (status != nullptr) *status = PlatCommStatus{};
    if (port == nullptr) {
        errno = EBADF;
        return false;
    }
    std::lock_guard<std::mutex> guard(port->error_lock);
    COMSTAT queues{};
    if (!query_driver(port, &queues)) return false;
    uint32_t& mine = owner ? port->owner_errors : port->peek_errors;
    if (errors != nullptr) *errors = mine;
    mine = 0;
    if (status != nullptr) {
        status->cbInQue = queues.cbInQue;
        status->cbOutQue = queues.cbOutQue;
    }
    return true;
}
}  // namespace

bool plat_serial_clear_error(PlatSerialPort* port, uint32_t* errors, PlatCommStatus* status) {
    return errors_and_queues(port, true, errors, status);
}

bool plat_serial_peek_error(PlatSerialPort* port, uint32_t* errors, PlatCommStatus* status) {
    return errors_and_queues(port, false, errors, status);
}

bool plat_serial_read(PlatSerialPort* port, void* buffer, uint32_t count, uint32_t* done) {
    if (done != nullptr) *done = 0;
    if (port == nullptr || (buffer == nullptr && count > 0)) {
        errno = EINVAL;
        return false;
    }
    const PlatCommTimeouts t = port->timeouts;
    const bool immediate = t.ReadIntervalTimeout == PLAT_MAXDWORD &&
                           t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
    const bool has_total = t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0;
    const bool has_interval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != PLAT_MAXDWORD;
    const int64_t total_end =
        has_total ? deadline_after(plat_clock_ns(), total_ms(t.ReadTotalTimeoutMultiplier, count,
                                                             t.ReadTotalTimeoutConstant))
                  : INT64_MAX;
    auto* bytes = static_cast<unsigned char*>(buffer);
    uint32_t got = 0;
    int64_t last_byte = 0;
    if (immediate && port->is_comm) {
        // What is there, taken without the driver's return-at-once mode (some
        // drivers wait in it when the queue is empty).
        COMSTAT queues{};
        {
            std::lock_guard<std::mutex> guard(port->error_lock);
            if (!query_driver(port, &queues)) return false;
        }
        count = queues.cbInQue < count ? static_cast<uint32_t>(queues.cbInQue) : count;
    }
    while (got < count) {
        // The driver gets the time left as one total in real milliseconds,
        // and the interval, which it counts from the first byte of this call.
        COMMTIMEOUTS driver{};
        if (immediate) {
            driver.ReadIntervalTimeout = MAXDWORD;
        } else {
            int64_t end = total_end;
            if (got > 0 && has_interval) {
                const int64_t gap_end = deadline_after(last_byte, t.ReadIntervalTimeout);
                if (gap_end < end) end = gap_end;
            }
            const int64_t now = plat_clock_ns();
            if (end != INT64_MAX && now >= end) break;
            if (end != INT64_MAX) driver.ReadTotalTimeoutConstant = driver_ms(end - now);
            if (has_interval)
                driver.ReadIntervalTimeout = driver_ms(ms_to_ns(t.ReadIntervalTimeout));
        }
        if (!apply_timeouts(port, driver)) {
            if (done != nullptr) *done = got;
            return fail_with_last_error();
        }
        DWORD n = 0;
        if (!transfer(port, false, bytes + got, count - got, &n)) {
            if (done != nullptr) *done = got + n;
            return false;
        }
        got += n;
        if (n > 0) last_byte = plat_clock_ns();
        if (immediate || !port->is_comm) break;
        // A short read after a byte with an interval set: the gap ended it.
        if (n > 0 && has_interval) break;
        // Nothing, though nothing bounded the wait: the line is gone.
        if (n == 0 && driver.ReadTotalTimeoutConstant == 0) {
            if (done != nullptr) *done = got;
            errno = EIO;
            return false;
        }
    }
    if (done != nullptr) *done = got;
    return true;
}

bool plat_serial_write(PlatSerialPort* port, const void* data, uint32_t count, uint32_t* done) {
    if (done != nullptr) *done = 0;
    if (port == nullptr || (data == nullptr && count > 0)) {
        errno = EINVAL;
        return false;
    }
    const PlatCommTimeouts t = port->timeouts;
    const bool has_total = t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0;
    const int64_t end =
        has_total ? deadline_after(plat_clock_ns(), total_ms(t.WriteTotalTimeoutMultiplier, count,
                                                             t.WriteTotalTimeoutConstant))
                  : INT64_MAX;
    // The driver takes the read fields too: keep what the last read gave it.
    COMMTIMEOUTS driver = port->applied;
    auto* bytes = static_cast<unsigned char*>(const_cast<void*>(data));
    uint32_t sent = 0;
    while (sent < count) {
        const int64_t now = plat_clock_ns();
        if (end != INT64_MAX && now >= end) break;
        driver.WriteTotalTimeoutMultiplier = 0;
        driver.WriteTotalTimeoutConstant = end == INT64_MAX ? 0 : driver_ms(end - now);
        if (!apply_timeouts(port, driver)) {
            if (done != nullptr) *done = sent;
            return fail_with_last_error();
        }
        DWORD n = 0;
        if (!transfer(port, true, bytes + sent, count - sent, &n)) {
            if (done != nullptr) *done = sent + n;
            return false;
        }
        sent += n;
        if (n == 0 && driver.WriteTotalTimeoutConstant == 0) {
            if (done != nullptr) *done = sent;
            errno = EIO;
            return false;
        }
    }
    if (done != nullptr) *done = sent;
    return true;
}

// No descriptors here: the handle is not one.
int plat_serial_descriptor(const PlatSerialPort*) {
    return -1;
}
