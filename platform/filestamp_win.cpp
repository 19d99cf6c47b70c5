#include <windows.h>

#include <cerrno>

#include "platform/filestamp.h"
#include "platform/widepath_internal.h"

namespace {
// 100 ns ticks since 1601 to nanoseconds since 1970.
int64_t nanoseconds(int64_t ticks) {
    return (ticks - 116444736000000000LL) * 100;
}
}  // namespace

bool plat_file_stamp(const char* path, PlatFileStamp* stamp) {
    if (path == nullptr || stamp == nullptr) {
        errno = EINVAL;
        return false;
    }
    // No access asked for: only the attributes are read, so a file that
    // another program holds open is stamped as well. Backup semantics open
    // directories too.
    HANDLE file = CreateFileW(plat_widen(path).c_str(), 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return plat_fail_from_last_error();
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
    const bool ok = GetFileInformationByHandle(file, &info) &&
                    GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic);
    if (!ok) {
        const DWORD code = GetLastError();
        CloseHandle(file);
        errno = plat_errno_from_win(code);
        return false;
    }
    CloseHandle(file);
    stamp->mtimeNs = nanoseconds(basic.LastWriteTime.QuadPart);
    // The change time moves with a rename or an attribute change as well.
    stamp->ctimeNs = nanoseconds(basic.ChangeTime.QuadPart);
    stamp->size =
        static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    stamp->device = info.dwVolumeSerialNumber;
    stamp->inode = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}
