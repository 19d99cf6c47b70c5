#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "platform/path.h"
#include "platform/widepath_internal.h"

namespace {
// open() flags for an fopen mode; false for a mode fopen would refuse. Binary
// unless the mode asks for text ('t'): the library writes LF line ends on
// every system. Handles are never inherited by programs started meanwhile.
bool open_flags(const char* mode, int* flags) {
    if (mode == nullptr) return false;
    const std::size_t end = std::strcspn(mode, ",");
    const bool plus = std::memchr(mode, '+', end) != nullptr;
    const bool excl = std::memchr(mode, 'x', end) != nullptr;
    const bool text = std::memchr(mode, 't', end) != nullptr;
    int f = _O_NOINHERIT | (text ? _O_TEXT : _O_BINARY);
    switch (mode[0]) {
        case 'r':
            f |= plus ? _O_RDWR : _O_RDONLY;
            break;
        case 'w':
            f |= (plus ? _O_RDWR : _O_WRONLY) | _O_CREAT | _O_TRUNC | (excl ? _O_EXCL : 0);
            break;
        case 'a':
            f |= (plus ? _O_RDWR : _O_WRONLY) | _O_CREAT | _O_APPEND;
            break;
        default:
            return false;
    }
    *flags = f;
    return true;
}

// The stream mode for _fdopen: the access letters and '+' of the given mode,
// with 'b' or 't' as open_flags chose.
std::string stream_mode(const char* mode) {
    std::string m(1, mode[0]);
    const std::size_t end = std::strcspn(mode, ",");
    if (std::memchr(mode, '+', end) != nullptr) m += '+';
    m += std::memchr(mode, 't', end) != nullptr ? 't' : 'b';
    return m;
}

FILE* open_stream(const char* text, const char* mode, std::size_t size, bool regular_only) {
    std::wstring path;
    if (!plat_wide_path(text, &path, size)) {
        errno = ENOENT;
        return nullptr;
    }
    int flags = 0;
    if (!open_flags(mode, &flags)) {
        errno = EINVAL;
        return nullptr;
    }
    const int fd = _wopen(path.c_str(), flags, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        // Opening a directory is refused with EACCES here: say what it is.
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (errno == EACCES && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            errno = EISDIR;
        }
        return nullptr;
    }
    int error = 0;
    if (regular_only) {
        struct _stat64 st {};
        if (_fstat64(fd, &st) != 0) {
            error = errno;
        } else if ((st.st_mode & _S_IFMT) != _S_IFREG) {
            error = (st.st_mode & _S_IFMT) == _S_IFDIR ? EISDIR : EINVAL;
        }
    }
    FILE* file = error == 0 ? _fdopen(fd, stream_mode(mode).c_str()) : nullptr;
    if (file == nullptr) {
        if (error == 0) error = errno;
        _close(fd);
        errno = error;
    }
    return file;
}
}  // namespace

FILE* plat_fopen(const char* text, const char* mode, std::size_t size) {
    return open_stream(text, mode, size, false);
}

FILE* plat_fopen_regular(const char* text, const char* mode, std::size_t size) {
    return open_stream(text, mode, size, true);
}
