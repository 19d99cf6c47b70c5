#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/path.h"
#include "platform/replace_file.h"
#include "platform/tempfile.h"
#include "platform/widepath_internal.h"

namespace {
char* dup_text(const std::string& s) {
    char* p = static_cast<char*>(std::malloc(s.size() + 1));
    if (p != nullptr) std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}
}  // namespace

FILE* PlatReplaceFile::open(const char* target_text, const char* temp_prefix,
                            std::size_t text_size) {
    abort();
    error = 0;
    replacing = false;
    std::string named;
    if (target_text == nullptr || !plat_path_text(target_text, &named, text_size) ||
        named.empty()) {
        error = ENOENT;
        return nullptr;
    }
    std::string real;
    if (!plat_resolve_links(named.c_str(), &real)) {
        error = errno;
        return nullptr;
    }

    const std::wstring wide = plat_widen(real);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        error = EISDIR;
        return nullptr;
    }
    // A read-only file is refused to everyone, administrators too (the
    // attribute is not a permission).
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        error = EACCES;
        return nullptr;
    }
    // Replacing must not succeed where opening the file itself would be
    // refused (read-only, or held by a program that shares no writing); the
    // open also tells a disk file from a device or pipe, which may have no
    // attributes to read.
    bool exists = false;
    HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        exists = true;
        const DWORD type = GetFileType(handle);
        CloseHandle(handle);
        if (type != FILE_TYPE_DISK) {
            // Pipes and devices cannot be replaced: write to them as they are.
            // Not inherited by programs started meanwhile, as every file the
            // library opens.
            const int fd = _wopen(wide.c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT);
            stream = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
            if (stream == nullptr) {
                error = errno;
                if (fd >= 0) _close(fd);
                return nullptr;
            }
            target = dup_text(real);
            return stream;
        }
    } else {
        const DWORD code = GetLastError();
        if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
            error = plat_errno_from_win(code);
            return nullptr;
        }
    }

    std::string temp_name;
    FILE* file =
        plat_temp_beside(real.c_str(), temp_prefix != nullptr ? temp_prefix : "_tmp", &temp_name);
    if (file == nullptr) {
        error = errno;
        return nullptr;
    }
    stream = file;
    replacing = exists;
    target = dup_text(real);
    temp = dup_text(temp_name);
    if (target == nullptr || temp == nullptr) {
        if (temp == nullptr) DeleteFileW(plat_widen(temp_name).c_str());
        abort();
        error = ENOMEM;
        return nullptr;
    }
    return stream;
}

void PlatReplaceFile::abort() {
    if (stream != nullptr) {
        std::fclose(stream);
        stream = nullptr;
    }
    if (temp != nullptr) {
        DeleteFileW(plat_widen(temp).c_str());
        std::free(temp);
        temp = nullptr;
    }
    if (target != nullptr) {
        std::free(target);
        target = nullptr;
    }
}
