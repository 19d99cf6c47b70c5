#include "platform/path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool plat_has_bom(const char* text, std::size_t size) {
    if (text == nullptr || size < 2) return false;
    unsigned char b0 = static_cast<unsigned char>(text[0]);
    if (b0 != 0xFF && b0 != 0xFE) return false;  // text[1] is then inside the text
    unsigned char b1 = static_cast<unsigned char>(text[1]);
    return (b0 == 0xFF && b1 == 0xFE) || (b0 == 0xFE && b1 == 0xFF);
}

namespace {
void append_utf8(std::string* out, uint32_t cp) {
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}
}  // namespace

bool plat_path_text(const char* text, std::string* out, std::size_t size) {
    out->clear();
    if (text == nullptr) return true;
    if (!plat_has_bom(text, size)) {
        out->assign(text);
        return true;
    }
    // Units are read two bytes at a time and never past the caller's buffer.
    std::size_t pos = 2;
    auto next_unit = [&](uint16_t* unit) {
        if (size - pos < 2) return false;
        unsigned char b[2];
        std::memcpy(b, text + pos, 2);
        pos += 2;
        *unit = static_cast<uint16_t>(b[0] | (b[1] << 8));
        return *unit != 0;
    };
    uint16_t unit = 0;
    while (next_unit(&unit)) {
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            uint16_t low = 0;
            if (!next_unit(&low) || low < 0xDC00 || low > 0xDFFF) return false;
            append_utf8(out,
                        0x10000 + ((static_cast<uint32_t>(unit) - 0xD800) << 10) + (low - 0xDC00));
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return false;
        } else {
            append_utf8(out, unit);
        }
    }
    return true;
}

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
