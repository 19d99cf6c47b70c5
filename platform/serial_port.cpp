#include "platform/serial_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/clock.h"

struct PlatSerialPort {
    int fd = -1;
    bool is_terminal = false;
    bool is_pty = false;  // a pseudo-terminal keeps neither character size nor parity
    PlatCommState shadow{};
    PlatCommTimeouts timeouts{};
    uint32_t event_mask = 0;
    uint32_t in_queue = 0;
    uint32_t out_queue = 0;
    // The error counters are read by the owner's clear and by a watcher's
    // peek on another thread: each keeps its own baseline, under this lock.
    std::mutex counter_lock;
    serial_icounter_struct counters{};       // at the owner's last clear
    serial_icounter_struct peek_counters{};  // at the watcher's last peek
};

namespace {
struct SpeedEntry {
    uint32_t baud;
    speed_t code;
};

constexpr SpeedEntry kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},         {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},         {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},       {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},   {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000},
};

bool speed_code(uint32_t baud, speed_t* code) {
    for (const SpeedEntry& entry : kSpeeds) {
        if (entry.baud == baud) {
            *code = entry.code;
            return true;
        }
    }
    return false;
}

uint32_t speed_baud(speed_t code) {
    for (const SpeedEntry& entry : kSpeeds)
        if (entry.code == code) return entry.baud;
    return 0;
}

tcflag_t size_flag(uint8_t bits) {
    switch (bits) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

uint8_t size_bits(tcflag_t cflag) {
    switch (cflag & CSIZE) {
        case CS5:
            return 5;
        case CS6:
            return 6;
        case CS7:
            return 7;
        default:
            return 8;
    }
}

// Error flags as the Windows error query (ClearCommError) reports them.
constexpr uint32_t kErrOverrun = 0x0002;
constexpr uint32_t kErrParity = 0x0004;
constexpr uint32_t kErrFrame = 0x0008;
constexpr uint32_t kErrBreak = 0x0010;
constexpr uint32_t kErrRxOver = 0x0001;

int64_t ms_to_ns(uint64_t ms) {
    return ms > static_cast<uint64_t>(INT64_MAX / 1000000) ? INT64_MAX
                                                           : static_cast<int64_t>(ms) * 1000000;
}

// The clock reading `ms` after `start`. A span the clock cannot hold (a
// MAXDWORD multiplier times a long count) is INT64_MAX, which the transfers
// take as "no limit", never a sum that wraps into the past.
int64_t deadline_after(int64_t start, uint64_t ms) {
    const int64_t span = ms_to_ns(ms);
    if (start > 0 && span > INT64_MAX - start) return INT64_MAX;
    return start + span;
}

// Total time-out of a transfer: multiplier x count + constant, in ms. Cannot
// overflow: (2^32 - 1)^2 + 2^32 - 1 < 2^64.
uint64_t total_ms(uint32_t multiplier, uint32_t count, uint32_t constant) {
    return static_cast<uint64_t>(multiplier) * count + constant;
}

// Error flags between two readings of the driver's counters.
uint32_t counter_flags(const serial_icounter_struct& now, const serial_icounter_struct& last) {
    uint32_t flags = 0;
    if (now.overrun != last.overrun) flags |= kErrOverrun;
    if (now.parity != last.parity) flags |= kErrParity;
    if (now.frame != last.frame) flags |= kErrFrame;
    if (now.brk != last.brk) flags |= kErrBreak;
    if (now.buf_overrun != last.buf_overrun) flags |= kErrRxOver;
    return flags;
}

// Queue counts. Only a terminal has an output queue to ask about.
bool queue_counts(const PlatSerialPort* port, PlatCommStatus* status) {
    int in = 0;
    int out = 0;
    if (::ioctl(port->fd, FIONREAD, &in) != 0) return false;
    if (port->is_terminal && ::ioctl(port->fd, TIOCOUTQ, &out) != 0) return false;
    status->cbInQue = in > 0 ? static_cast<uint32_t>(in) : 0;
    status->cbOutQue = out > 0 ? static_cast<uint32_t>(out) : 0;
    return true;
}

// Waits up to `library_ns` (negative: no limit) for the descriptor. True when
// poll reported something (readiness, hang-up or error).
bool wait_fd(int fd, short events, int64_t library_ns, short* revents) {
    pollfd entry{fd, events, 0};
    timespec span{};
    timespec* limit = nullptr;
    if (library_ns >= 0) {
        int64_t real = plat_real_ns(library_ns);
        span.tv_sec = static_cast<time_t>(real / 1000000000);
        span.tv_nsec = static_cast<long>(real % 1000000000);
        limit = &span;
    }
    int n = ::ppoll(&entry, 1, limit, nullptr);
    *revents = n > 0 ? entry.revents : 0;
    return n > 0;
}
}  // namespace

PlatSerialPort* plat_serial_open(const char* device) {
    if (device == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = ::open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    // The device is opened without sharing: a second open must fail.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return nullptr;
    }
    auto* port = new PlatSerialPort;
    port->fd = fd;
    port->is_terminal = ::isatty(fd) == 1;
    if (port->is_terminal) {
        ::ioctl(fd, TIOCEXCL);
        struct stat status {};
        if (::fstat(fd, &status) == 0 && S_ISCHR(status.st_mode)) {
            unsigned major_number = major(status.st_rdev);
            port->is_pty = major_number >= 136 && major_number <= 143;
        }
        termios tio{};
        if (::tcgetattr(fd, &tio) == 0) {
            PlatCommState& s = port->shadow;
            s.DCBlength = sizeof(PlatCommState);
            s.BaudRate = speed_baud(::cfgetospeed(&tio));
            s.fBinary = 1;
            s.ByteSize = size_bits(tio.c_cflag);
            s.Parity = (tio.c_cflag & PARENB)
                           ? ((tio.c_cflag & PARODD) ? PLAT_ODDPARITY : PLAT_EVENPARITY)
                           : PLAT_NOPARITY;
            s.StopBits = (tio.c_cflag & CSTOPB) ? PLAT_TWOSTOPBITS : PLAT_ONESTOPBIT;
            s.XonChar = static_cast<char>(tio.c_cc[VSTART]);
            s.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
            s.XonLim = 2048;
            s.XoffLim = 512;
            s.fDtrControl = PLAT_DTR_CONTROL_ENABLE;
            // CRTSCTS is both directions of the hardware handshake.
            const bool rts_cts = (tio.c_cflag & CRTSCTS) != 0;
            s.fOutxCtsFlow = rts_cts ? 1 : 0;
            s.fRtsControl = rts_cts ? PLAT_RTS_CONTROL_HANDSHAKE : PLAT_RTS_CONTROL_ENABLE;
        }
        ::ioctl(fd, TIOCGICOUNT, &port->counters);
        port->peek_counters = port->counters;
    }
    return port;
}

bool plat_serial_close(PlatSerialPort* port) {
    if (port == nullptr) {
        errno = EBADF;
        return false;
    }
    // The exclusive-use mark belongs to the terminal, not to the descriptor:
    // leave the device openable for the next user.
    if (port->is_terminal) ::ioctl(port->fd, TIOCNXCL);
    bool ok = ::close(port->fd) == 0;
    int saved = errno;
    delete port;
    errno = saved;
    return ok;
}

bool plat_serial_set_mask(PlatSerialPort* port, uint32_t mask) {
    if (port == nullptr || !port->is_terminal) {
        errno = ENOTTY;
        return false;
    }
    port->event_mask = mask;
    return true;
}

bool plat_serial_setup(PlatSerialPort* port, uint32_t in_queue, uint32_t out_queue) {
    if (port == nullptr || !port->is_terminal) {
        errno = ENOTTY;
        return false;
    }
    port->in_queue = in_queue;
    port->out_queue = out_queue;
    return true;
}

bool plat_serial_get_state(PlatSerialPort* port, PlatCommState* state) {
    if (port == nullptr || state == nullptr) {
        errno = EINVAL;
        return false;
    }
    termios tio{};
    if (::tcgetattr(port->fd, &tio) != 0) return false;
    uint32_t length = state->DCBlength;
    *state = port->shadow;
    state->DCBlength = length;
    state->BaudRate = speed_baud(::cfgetospeed(&tio));
    if (!port->is_pty) {
        state->ByteSize = size_bits(tio.c_cflag);
        state->Parity = (tio.c_cflag & PARENB)
                            ? ((tio.c_cflag & PARODD) ? PLAT_ODDPARITY : PLAT_EVENPARITY)
                            : PLAT_NOPARITY;
    }
    if (!(tio.c_cflag & CSTOPB))
        state->StopBits = PLAT_ONESTOPBIT;
    else if (state->StopBits == PLAT_ONESTOPBIT)
        state->StopBits = PLAT_TWOSTOPBITS;
    state->fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    state->fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    state->fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    state->XonChar = static_cast<char>(tio.c_cc[VSTART]);
    state->XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    return true;
}

bool plat_serial_set_state(PlatSerialPort* port, const PlatCommState* state) {
    if (port == nullptr || state == nullptr) {
        errno = EINVAL;
        return false;
    }
    speed_t speed{};
    if (!speed_code(state->BaudRate, &speed) || state->ByteSize < 5 || state->ByteSize > 8 ||
        state->Parity > PLAT_EVENPARITY || state->StopBits > PLAT_TWOSTOPBITS) {
        errno = EINVAL;
        return false;
    }
    termios tio{};
    if (::tcgetattr(port->fd, &tio) != 0) return false;
    const tcflag_t framing = tio.c_cflag;
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= size_flag(state->ByteSize);
    if (state->Parity != PLAT_NOPARITY) tio.c_cflag |= PARENB;
    if (state->Parity == PLAT_ODDPARITY) tio.c_cflag |= PARODD;
    // Termios has no 1.5 stop bits; the UART gives 1.5 for CSTOPB with 5 data bits.
    if (state->StopBits != PLAT_ONESTOPBIT) tio.c_cflag |= CSTOPB;
    // CRTSCTS also stops output while CTS is low: only CTS output flow control
    // asks for that. RTS handshaking alone (input flow control) has no termios
    // flag of its own and stays in the shadow; turning CRTSCTS on for it would
    // stall an XON/XOFF line on a three-wire cable.
    if (state->fOutxCtsFlow) tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
    if (state->fParity) tio.c_iflag |= INPCK;
    if (state->fOutX) tio.c_iflag |= IXON;
    if (state->fInX) tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = static_cast<cc_t>(state->XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(state->XoffChar);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (port->is_pty) {
        // A pseudo-terminal keeps its own character size and parity, and asking
        // it for others alone makes tcsetattr fail: they live in the shadow.
        constexpr tcflag_t kFraming = CSIZE | PARENB | PARODD;
        tio.c_cflag = (tio.c_cflag & ~kFraming) | (framing & kFraming);
    }
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    if (::tcsetattr(port->fd, TCSANOW, &tio) != 0) return false;

    // tcsetattr succeeds when any one change took: compare what the line holds now.
    termios now{};
    if (::tcgetattr(port->fd, &now) != 0) return false;
    tcflag_t checked = CSTOPB | CRTSCTS;
    if (!port->is_pty) checked |= CSIZE | PARENB | PARODD;
    constexpr tcflag_t kInputChecked = INPCK | IXON | IXOFF;
    if (::cfgetospeed(&now) != speed || (now.c_cflag & checked) != (tio.c_cflag & checked) ||
        (now.c_iflag & kInputChecked) != (tio.c_iflag & kInputChecked) ||
        now.c_cc[VSTART] != tio.c_cc[VSTART] || now.c_cc[VSTOP] != tio.c_cc[VSTOP]) {
        errno = EINVAL;
        return false;
    }
    port->shadow = *state;
    port->shadow.DCBlength = sizeof(PlatCommState);
    // No modem lines on a pseudo-terminal: the DTR change is best effort.
    int dtr = TIOCM_DTR;
    if (state->fDtrControl == PLAT_DTR_CONTROL_ENABLE)
        ::ioctl(port->fd, TIOCMBIS, &dtr);
    else if (state->fDtrControl == PLAT_DTR_CONTROL_DISABLE)
        ::ioctl(port->fd, TIOCMBIC, &dtr);
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
    int dtr = TIOCM_DTR;
    if (function == PLAT_SETDTR)
        ::ioctl(port->fd, TIOCMBIS, &dtr);
    else if (function == PLAT_CLRDTR)
        ::ioctl(port->fd, TIOCMBIC, &dtr);
    else {
        errno = EINVAL;
        return false;
    }
    return true;
}

bool plat_serial_purge(PlatSerialPort* port, uint32_t flags) {
    if (port == nullptr) {
        errno = EBADF;
        return false;
    }
    bool rx = flags & PLAT_PURGE_RXCLEAR;
    bool tx = flags & PLAT_PURGE_TXCLEAR;
    // Transfers are synchronous: there is never a pending one to abort.
    if (!rx && !tx) return true;
    return ::tcflush(port->fd, rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH)) == 0;
}

namespace {
// Errors since the reading kept in `baseline` (which this call advances) and
// the queue counts.
bool errors_and_queues(PlatSerialPort* port, serial_icounter_struct PlatSerialPort::*baseline,
                       uint32_t* errors, PlatCommStatus* status) {
    if (errors != nullptr) *errors = 0;
    if (status != nullptr) *status = PlatCommStatus{};
    if (port == nullptr) {
        errno = EBADF;
        return false;
    }
    PlatCommStatus queues{};
    if (!queue_counts(port, &queues)) return false;
    uint32_t flags = 0;
    serial_icounter_struct counters{};
    // Only real UARTs count line errors; pseudo-terminals have none.
    if (port->is_terminal && ::ioctl(port->fd, TIOCGICOUNT, &counters) == 0) {
        std::lock_guard<std::mutex> guard(port->counter_lock);
        flags = counter_flags(counters, port->*baseline);
        port->*baseline = counters;
    }
    if (errors != nullptr) *errors = flags;
    if (status != nullptr) *status = queues;
    return true;
}
}  // namespace

bool plat_serial_clear_error(PlatSerialPort* port, uint32_t* errors, PlatCommStatus* status) {
    return errors_and_queues(port, &PlatSerialPort::counters, errors, status);
}

bool plat_serial_peek_error(PlatSerialPort* port, uint32_t* errors, PlatCommStatus* status) {
    return errors_and_queues(port, &PlatSerialPort::peek_counters, errors, status);
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
    const int64_t start = plat_clock_ns();
    const int64_t total_end =
        has_total ? deadline_after(start, total_ms(t.ReadTotalTimeoutMultiplier, count,
                                                   t.ReadTotalTimeoutConstant))
                  : INT64_MAX;
    auto* bytes = static_cast<unsigned char*>(buffer);
    uint32_t got = 0;
    int64_t last_byte = 0;
    // Set when poll reports a hang-up: the next read still takes what came
    // before it, and if nothing is there the line is gone.
    bool hung_up = false;
    auto fail = [&](int error) {
        if (done != nullptr) *done = got;
        errno = error;
        return false;
    };
    while (got < count) {
        // A raw line without VMIN returns 0, not EAGAIN, when nothing is there.
        ssize_t n = ::read(port->fd, bytes + got, count - got);
        if (n > 0) {
            got += static_cast<uint32_t>(n);
            last_byte = plat_clock_ns();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // EIO: the other side of the line is gone (a pseudo-terminal whose
        // controlling side closed). A hung-up line (an unplugged adapter)
        // reads 0 while poll reports POLLHUP. Nothing will arrive on either
        // until the device is opened again, so the read fails now rather
        // than spinning until the time-out, or for ever without one.
        if (n < 0 && errno != EAGAIN) return fail(errno);
        if (hung_up) return fail(EIO);
        short revents = 0;
        if (immediate) {
            wait_fd(port->fd, POLLIN, 0, &revents);
            if (revents & (POLLHUP | POLLERR)) {
                hung_up = true;
                continue;
            }
            break;
        }
        int64_t wake = total_end;
        if (got > 0 && has_interval) {
            int64_t gap_end = deadline_after(last_byte, t.ReadIntervalTimeout);
            if (gap_end < wake) wake = gap_end;
        }
        int64_t now = plat_clock_ns();
        if (wake != INT64_MAX && now >= wake) break;
        wait_fd(port->fd, POLLIN, wake == INT64_MAX ? -1 : wake - now, &revents);
        if (revents & (POLLHUP | POLLERR | POLLNVAL)) hung_up = true;
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
    const auto* bytes = static_cast<const unsigned char*>(data);
    uint32_t sent = 0;
    while (sent < count) {
        ssize_t n = ::write(port->fd, bytes + sent, count - sent);
        if (n > 0) {
            sent += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            if (done != nullptr) *done = sent;
            return false;
        }
        int64_t now = plat_clock_ns();
        if (end != INT64_MAX && now >= end) break;
        short revents = 0;
        wait_fd(port->fd, POLLOUT, end == INT64_MAX ? -1 : end - now, &revents);
    }
    if (done != nullptr) *done = sent;
    return true;
}

int plat_serial_descriptor(const PlatSerialPort* port) {
    return port != nullptr ? port->fd : -1;
}
