#include "platform/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "platform/clock.h"

bool plat_pty_available() {
    return true;
}

bool plat_pty_open(PlatPty* pty) {
    *pty = PlatPty{};
    int controller = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (controller < 0) return false;
    char name[128];
    int terminal = -1;
    termios tio{};
    if (::grantpt(controller) != 0 || ::unlockpt(controller) != 0 ||
        ::ptsname_r(controller, name, sizeof name) != 0 ||
        (terminal = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0 ||
        ::tcgetattr(terminal, &tio) != 0) {
        int saved = errno;
        if (terminal >= 0) ::close(terminal);
        ::close(controller);
        errno = saved;
        return false;
    }
    // Raw at once: a terminal side in its default mode echoes what it receives.
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    int flags = ::fcntl(controller, F_GETFL);
    if (::tcsetattr(terminal, TCSANOW, &tio) != 0 || flags < 0 ||
        ::fcntl(controller, F_SETFL, flags | O_NONBLOCK) != 0) {
        int saved = errno;
        ::close(terminal);
        ::close(controller);
        errno = saved;
        return false;
    }
    pty->controller = controller;
    pty->terminal = terminal;
    pty->path = name;
    return true;
}

void plat_pty_close(PlatPty* pty) {
    if (pty->terminal >= 0) ::close(pty->terminal);
    if (pty->controller >= 0) ::close(pty->controller);
    pty->terminal = -1;
    pty->controller = -1;
}

long plat_fd_read(int fd, void* buffer, std::size_t size, int64_t timeout_ms) {
    const int64_t end = timeout_ms < 0 || timeout_ms > INT64_MAX / 2000000
                            ? INT64_MAX
                            : plat_clock_ns() + timeout_ms * 1000000;
    for (;;) {
        ssize_t n = ::read(fd, buffer, size);
        if (n >= 0) return static_cast<long>(n);
        const int error = errno;
        if (error == EINTR) continue;
        // EIO: no terminal side open at the moment; wait as for silence.
        if (error != EAGAIN && error != EIO) return -1;
        int64_t now = plat_clock_ns();
        if (now >= end) return 0;
        int64_t real = end == INT64_MAX ? -1 : plat_real_ns(end - now);
        if (error == EIO) {
            plat_sleep_ns(real < 0 || end - now > 2000000 ? 2000000 : end - now);
            continue;
        }
        pollfd entry{fd, POLLIN, 0};
        timespec span{};
        if (real >= 0) {
            span.tv_sec = static_cast<time_t>(real / 1000000000);
            span.tv_nsec = static_cast<long>(real % 1000000000);
        }
        ::ppoll(&entry, 1, real >= 0 ? &span : nullptr, nullptr);
    }
}

bool plat_fd_write_all(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t sent = 0;
    while (sent < size) {
        ssize_t n = ::write(fd, bytes + sent, size - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        pollfd entry{fd, POLLOUT, 0};
        ::poll(&entry, 1, -1);
    }
    return true;
}

long plat_fd_write(int fd, const void* data, std::size_t size) {
    for (;;) {
        ssize_t n = ::write(fd, data, size);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        return errno == EAGAIN ? 0 : -1;
    }
}

bool plat_fd_close(int fd) {
    return ::close(fd) == 0;
}

bool plat_fd_line_flow(int fd, PlatLineFlow* flow) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return false;
    flow->hardware = (tio.c_cflag & CRTSCTS) != 0;
    flow->xon_output = (tio.c_iflag & IXON) != 0;
    flow->xon_input = (tio.c_iflag & IXOFF) != 0;
    return true;
}
