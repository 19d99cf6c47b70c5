#include <direct.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>

#include "platform/fs.h"
#include "platform/path.h"
#include "platform/widepath_internal.h"

namespace {
// Windows has no permission bits: a read-only attribute takes the write bits away.
unsigned mode_of(DWORD attributes) {
    const unsigned permissions = (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0555 : 0777;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PLAT_S_IFDIR | permissions;
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return 0x2000 | (permissions & 0666);
    return PLAT_S_IFREG | (permissions & 0666);
}

bool stat_wide(const std::wstring& path, PlatFileStatus* status) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return plat_fail_from_last_error();
    }
    status->mode = mode_of(data.dwFileAttributes);
    status->size = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                       ? 0
                       : static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) |
                                              data.nFileSizeLow);
    return true;
}
}  // namespace

bool plat_stat(const char* path, PlatFileStatus* status) {
    return path != nullptr && stat_wide(plat_widen(path), status);
}

bool plat_is_regular_file(const char* text, std::size_t size) {
    std::wstring path;
    PlatFileStatus st{};
    return text != nullptr && plat_wide_path(text, &path, size) && !path.empty() &&
           stat_wide(path, &st) && (st.mode & PLAT_S_IFMT) == PLAT_S_IFREG;
}

bool plat_is_directory(const char* path) {
    PlatFileStatus st{};
    return plat_stat(path, &st) && (st.mode & PLAT_S_IFMT) == PLAT_S_IFDIR;
}

bool plat_fstat(FILE* file, PlatFileStatus* status) {
    struct _stat64 st {};
    if (file == nullptr || _fstat64(_fileno(file), &st) != 0) return false;
    unsigned type = 0;
    switch (st.st_mode & _S_IFMT) {
        case _S_IFREG:
            type = PLAT_S_IFREG;
            break;
        case _S_IFDIR:
            type = PLAT_S_IFDIR;
            break;
        case _S_IFCHR:
            type = 0x2000;
            break;
        case _S_IFIFO:
            type = 0x1000;
            break;
    }
    status->mode = type | (st.st_mode & 0777);
    status->size = static_cast<int64_t>(st.st_size);
    return true;
}

bool plat_mkdir(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return false;
    }
    return _wmkdir(plat_widen(path).c_str()) == 0;
}

bool plat_remove(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return false;
    }
    return DeleteFileW(plat_widen(path).c_str()) != 0 || plat_fail_from_last_error();
}
