#include <cerrno>

#include "platform/pty.h"

// No pseudo-terminals here: every call fails, and the descriptors that the
// POSIX half hands out never exist.

bool plat_pty_available() {
    return false;
}

bool plat_pty_open(PlatPty* pty) {
    *pty = PlatPty{};
    errno = ENOSYS;
    return false;
}

void plat_pty_close(PlatPty* pty) {
    *pty = PlatPty{};
}

long plat_fd_read(int, void*, std::size_t, int64_t) {
    errno = ENOSYS;
    return -1;
}

bool plat_fd_write_all(int, const void*, std::size_t) {
    errno = ENOSYS;
    return false;
}

long plat_fd_write(int, const void*, std::size_t) {
    errno = ENOSYS;
    return -1;
}

bool plat_fd_close(int) {
    errno = ENOSYS;
    return false;
}

bool plat_fd_line_flow(int, PlatLineFlow*) {
    errno = ENOSYS;
    return false;
}
