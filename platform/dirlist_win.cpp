#include <windows.h>

#include <algorithm>
#include <cerrno>

#include "platform/dirlist.h"
#include "platform/widepath_internal.h"

bool plat_list_regular_files(const char* dir, std::vector<std::string>* names) {
    names->clear();
    if (dir == nullptr || *dir == '\0') {
        errno = dir == nullptr ? EINVAL : ENOENT;
        return false;
    }
    std::wstring pattern = plat_widen(dir);
    if (pattern.back() != L'/' && pattern.back() != L'\\') pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW entry{};
    HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                   nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        // A pattern under a plain file fails as a missing path: say what it is.
        const DWORD attributes = GetFileAttributesW(plat_widen(dir).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            errno = ENOTDIR;
        } else {
            errno = plat_errno_from_win(code);
        }
        return false;
    }
    std::vector<std::string> found;
    do {
        if ((entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0) {
            found.push_back(plat_narrow(entry.cFileName));
        }
    } while (FindNextFileW(find, &entry));
    const DWORD code = GetLastError();
    FindClose(find);
    if (code != ERROR_NO_MORE_FILES) {
        errno = plat_errno_from_win(code);
        return false;
    }
    std::sort(found.begin(), found.end());
    *names = std::move(found);
    return true;
}
