#include "platform/dirlist.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

bool plat_list_regular_files(const char* dir, std::vector<std::string>* names) {
    names->clear();
    if (dir == nullptr) {
        errno = EINVAL;
        return false;
    }
    DIR* stream = ::opendir(dir);
    if (stream == nullptr) return false;
    const int fd = ::dirfd(stream);
    std::vector<std::string> found;
    errno = 0;
    while (const dirent* entry = ::readdir(stream)) {
        // d_type is only a hint (DT_UNKNOWN on some file systems, DT_LNK for
        // links), so the entry's own status decides.
        struct stat st;
        if (::fstatat(fd, entry->d_name, &st, 0) == 0 && S_ISREG(st.st_mode)) {
            found.emplace_back(entry->d_name);
        }
        errno = 0;
    }
    const int readError = errno;
    ::closedir(stream);
    if (readError != 0) {
        errno = readError;
        return false;
    }
    std::sort(found.begin(), found.end());
    *names = std::move(found);
    return true;
}
