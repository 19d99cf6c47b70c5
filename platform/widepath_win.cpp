#include <windows.h>

#include <cerrno>
#include <cstring>

#include "platform/path.h"
#include "platform/widepath_internal.h"

std::wstring plat_widen(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) {
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    }
    return out;
}

std::string plat_narrow(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) {
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                            nullptr, nullptr);
    }
    return out;
}

bool plat_wide_path(const char* text, std::wstring* out, std::size_t size) {
    out->clear();
    if (text == nullptr) return true;
    if (!plat_has_bom(text, size)) {
        *out = plat_widen(text);
        return true;
    }
    // The units go to the wide calls as they are; only their pairing is
    // checked, as an unpaired surrogate names no file on any system here.
    std::size_t pos = 2;
    bool high = false;
    while (size - pos >= 2) {
        unsigned char b[2];
        std::memcpy(b, text + pos, 2);
        pos += 2;
        const wchar_t unit = static_cast<wchar_t>(b[0] | (b[1] << 8));
        if (unit == 0) break;
        const bool is_high = unit >= 0xD800 && unit <= 0xDBFF;
        const bool is_low = unit >= 0xDC00 && unit <= 0xDFFF;
        if (high != is_low) {
            out->clear();
            errno = ENOENT;
            return false;
        }
        high = is_high;
        out->push_back(unit);
    }
    if (high) {
        out->clear();
        errno = ENOENT;
        return false;
    }
    return true;
}

int plat_errno_from_win(uint32_t code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_MOD_NOT_FOUND:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
        case ERROR_CANNOT_MAKE:
        case ERROR_CURRENT_DIRECTORY:
            return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        case ERROR_DIR_NOT_EMPTY:
            return ENOTEMPTY;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_INVALID_HANDLE:
            return EBADF;
        case ERROR_INVALID_PARAMETER:
            return EINVAL;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_BROKEN_PIPE:
            return EPIPE;
        default:
            return EIO;
    }
}

bool plat_fail_from_last_error() {
    errno = plat_errno_from_win(GetLastError());
    return false;
}
