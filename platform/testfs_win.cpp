#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include "platform/testfs_testing.h"
#include "platform/widepath_internal.h"

bool plat_test_make_fifo(const std::string&) {
    return false;
}

bool plat_test_make_symlink(const std::string&, const std::string&) {
    return false;
}

const char* plat_test_full_device() {
    return nullptr;
}

bool plat_test_set_mode(const std::string& path, unsigned mode) {
    const std::wstring wide = plat_widen(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    const DWORD wanted = (mode & 0222) != 0 ? attributes & ~FILE_ATTRIBUTE_READONLY
                                            : attributes | FILE_ATTRIBUTE_READONLY;
    return SetFileAttributesW(wide.c_str(), wanted) != 0;
}

unsigned plat_test_mode(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(plat_widen(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    return (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;
}

bool plat_test_read_only_is_enforced() {
    return true;
}

bool plat_test_can_limit_file_size() {
    return false;
}

bool plat_test_limit_file_size(long long) {
    return false;
}

bool plat_test_pipe(FILE** read_end, FILE** write_end) {
    int fds[2];
    if (_pipe(fds, 65536, _O_BINARY) != 0) return false;
    *read_end = _fdopen(fds[0], "rb");
    *write_end = _fdopen(fds[1], "wb");
    if (*read_end != nullptr && *write_end != nullptr) return true;
    if (*read_end != nullptr)
        std::fclose(*read_end);
    else
        _close(fds[0]);
    if (*write_end != nullptr)
        std::fclose(*write_end);
    else
        _close(fds[1]);
    *read_end = *write_end = nullptr;
    return false;
}

bool plat_test_can_limit_descriptors() {
    return false;
}

bool plat_test_limit_descriptors(int) {
    return false;
}

const char* plat_test_null_device() {
    return "NUL";
}

bool plat_test_is_device(const std::string& path) {
    HANDLE handle = CreateFileW(plat_widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool device = GetFileType(handle) == FILE_TYPE_CHAR;
    CloseHandle(handle);
    return device;
}

bool plat_test_has_permission_bits() {
    return false;
}

unsigned plat_test_set_umask(unsigned mask) {
    return static_cast<unsigned>(_umask(static_cast<int>(mask)));
}

bool plat_test_closed_on_exec(FILE* file) {
    DWORD flags = 0;
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return GetHandleInformation(handle, &flags) && (flags & HANDLE_FLAG_INHERIT) == 0;
}

bool plat_test_blocking(FILE*) {
    return true;
}

void plat_test_end_after(unsigned) {}
