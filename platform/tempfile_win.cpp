#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cerrno>

#include "platform/clock.h"
#include "platform/tempfile.h"
#include "platform/widepath_internal.h"

namespace {
// The directory part of a path, with either separator; a drive ("C:") keeps
// its colon.
std::string directory_of(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) {
        return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) + "." : ".";
    }
    if (slash == 0) return path.substr(0, 1);
    if (slash == 2 && path[1] == ':') return path.substr(0, 3);
    return path.substr(0, slash);
}

std::string join(const std::string& dir, const std::string& name) {
    const char last = dir.back();
    return last == '/' || last == '\\' ? dir + name : dir + "/" + name;
}

// Six characters from [A-Za-z0-9], different for every call of the process
// and, through the counter and process id, from other processes.
std::string random_suffix(uint64_t* state) {
    static constexpr char kChars[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    uint64_t x = *state;
    std::string out;
    for (int i = 0; i < 6; ++i) {
        // splitmix64 step
        x += 0x9E3779B97F4A7C15ULL;
        uint64_t z = x;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        out.push_back(kChars[z % 62]);
    }
    *state = x;
    return out;
}

std::atomic<uint64_t> g_calls{0};
}  // namespace

// Windows programs rarely meet symbolic links and the documented behaviour
// names no link handling here: a path leads to itself.
bool plat_resolve_links(const char* path, std::string* target) {
    *target = path != nullptr ? path : "";
    return true;
}

std::string plat_link_target(const char* path) {
    return path != nullptr ? path : "";
}

FILE* plat_temp_beside(const char* target, const char* prefix, std::string* temp_path) {
    temp_path->clear();
    if (target == nullptr || *target == '\0') {
        errno = ENOENT;
        return nullptr;
    }
    const std::string dir = directory_of(target);
    const std::string base = join(dir, prefix != nullptr ? prefix : "");
    uint64_t state = static_cast<uint64_t>(plat_counter()) ^
                     (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^
                     (g_calls.fetch_add(1) * 0xD1B54A32D192ED03ULL);
    // As many tries as mkstemp makes before it gives up.
    for (int attempt = 0; attempt < 100; ++attempt) {
        *temp_path = base + random_suffix(&state);
        // Created new, never inherited by child programs; others may delete
        // or rename it while open (the rename over the target comes after close).
        HANDLE handle = CreateFileW(plat_widen(*temp_path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD code = GetLastError();
            if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) continue;
            *temp_path = base + "XXXXXX";
            errno = plat_errno_from_win(code);
            return nullptr;
        }
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
        if (fd < 0) {
            const int saved = errno;
            CloseHandle(handle);
            DeleteFileW(plat_widen(*temp_path).c_str());
            errno = saved;
            return nullptr;
        }
        FILE* file = _fdopen(fd, "w+b");
        if (file == nullptr) {
            const int saved = errno;
            _close(fd);
            DeleteFileW(plat_widen(*temp_path).c_str());
            errno = saved;
        }
        return file;
    }
    *temp_path = base + "XXXXXX";
    errno = EEXIST;
    return nullptr;
}

bool plat_sync_file(FILE* file) {
    if (file == nullptr) {
        errno = EBADF;
        return false;
    }
    if (std::fflush(file) != 0) return false;
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return FlushFileBuffers(handle) != 0 || plat_fail_from_last_error();
}

bool plat_replace_with_temp(const char* temp_path, const char* target, const char* mode_model) {
    if (temp_path == nullptr || target == nullptr) {
        errno = EINVAL;
        return false;
    }
    const std::wstring temp = plat_widen(temp_path);
    const std::wstring real = plat_widen(target);
    // The attributes that say how a file is kept (read-only, hidden, archive
    // ...) carry over; the ones that say what it is do not.
    constexpr DWORD kKept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                            FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD existing = GetFileAttributesW(real.c_str());
    const bool exists = existing != INVALID_FILE_ATTRIBUTES;
    // A directory is never replaced by a file (the move would take an empty
    // one away), as a rename refuses elsewhere.
    if (exists && (existing & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        errno = EISDIR;
        return false;
    }
    DWORD after = 0;  // the result's attributes
    if (exists) {
        // ReplaceFileW keeps the replaced file's attributes, security and
        // creation time; when the file system cannot (or the replaced file is
        // read-only), a plain move with the attributes carried over.
        if ((existing & FILE_ATTRIBUTE_READONLY) == 0 &&
            ReplaceFileW(real.c_str(), temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                         nullptr, nullptr)) {
            return true;
        }
        after = existing & kKept;
    } else if (mode_model != nullptr) {
        const DWORD model = GetFileAttributesW(plat_widen(mode_model).c_str());
        if (model != INVALID_FILE_ATTRIBUTES && (model & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            after = model & kKept;
        }
    }
    const DWORD writable = after & ~FILE_ATTRIBUTE_READONLY;
    if (!SetFileAttributesW(temp.c_str(), writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL)) {
        return plat_fail_from_last_error();
    }
    // A read-only file refuses to be replaced: as a rename does elsewhere, the
    // replacement goes through and is made read-only again.
    const bool unprotect = exists && (existing & FILE_ATTRIBUTE_READONLY) != 0;
    if (unprotect && !SetFileAttributesW(real.c_str(), existing & ~FILE_ATTRIBUTE_READONLY)) {
        return plat_fail_from_last_error();
    }
    if (!MoveFileExW(temp.c_str(), real.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD code = GetLastError();
        if (unprotect) SetFileAttributesW(real.c_str(), existing);
        errno = plat_errno_from_win(code);
        return false;
    }
    if ((after & FILE_ATTRIBUTE_READONLY) != 0) SetFileAttributesW(real.c_str(), after);
    return true;
}
