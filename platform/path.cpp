#include "platform/path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
// The mode with the close-on-exec flag added: a descriptor the library opens
// must not leak into programs started meanwhile. glibc reads the flags up to
// an optional ",ccs=" part.
std::string cloexec_mode(const char* mode) {
    std::string m = mode != nullptr ? mode : "";
    std::size_t end = m.find(',');
    if (end == std::string::npos) end = m.size();
    if (m.find('e') >= end) m.insert(end, 1, 'e');
    return m;
}

// open() flags for an fopen mode; false for a mode fopen would refuse.
bool open_flags(const char* mode, int* flags) {
    if (mode == nullptr) return false;
    std::size_t end = std::strcspn(mode, ",");
    bool plus = std::memchr(mode, '+', end) != nullptr;
    bool excl = std::memchr(mode, 'x', end) != nullptr;
    switch (mode[0]) {
        case 'r':
            *flags = plus ? O_RDWR : O_RDONLY;
            return true;
        case 'w':
            *flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC | (excl ? O_EXCL : 0);
            return true;
        case 'a':
            *flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
            return true;
        default:
            return false;
    }
}
}  // namespace

FILE* plat_fopen(const char* text, const char* mode, std::size_t size) {
    std::string path;
    if (!plat_path_text(text, &path, size)) {
        errno = ENOENT;
        return nullptr;
    }
    return std::fopen(path.c_str(), cloexec_mode(mode).c_str());
}

FILE* plat_fopen_regular(const char* text, const char* mode, std::size_t size) {
    std::string path;
    if (!plat_path_text(text, &path, size)) {
        errno = ENOENT;
        return nullptr;
    }
    int flags = 0;
    if (!open_flags(mode, &flags)) {
        errno = EINVAL;
        return nullptr;
    }
    // Opened without blocking and checked on the descriptor itself: opening a
    // FIFO for reading would otherwise wait for a writer that may never come,
    // and a check of the name before the open could see another file.
    int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    struct stat st {};
    int error = 0;
    if (::fstat(fd, &st) != 0) {
        error = errno;
    } else if (!S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    } else {
        int status = ::fcntl(fd, F_GETFL);
        if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) error = errno;
    }
    FILE* file = error == 0 ? ::fdopen(fd, cloexec_mode(mode).c_str()) : nullptr;
    if (file == nullptr) {
        if (error == 0) error = errno;
        ::close(fd);
        errno = error;
    }
    return file;
}
