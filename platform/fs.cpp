#include "platform/fs.h"

#include <sys/stat.h>
#include <unistd.h>

#include "platform/path.h"

namespace {
unsigned type_bits(mode_t mode) {
    if (S_ISREG(mode)) return PLAT_S_IFREG;
    if (S_ISDIR(mode)) return PLAT_S_IFDIR;
    if (S_ISCHR(mode)) return 0x2000;
    if (S_ISFIFO(mode)) return 0x1000;
    return 0;  // other kinds have no documented value
}
}  // namespace

bool plat_stat(const char* path, PlatFileStatus* status) {
    struct stat st {};
    if (path == nullptr || ::stat(path, &st) != 0) return false;
    status->mode = type_bits(st.st_mode) | (st.st_mode & 07777);
    status->size = static_cast<int64_t>(st.st_size);
    return true;
}

bool plat_is_regular_file(const char* text, std::size_t size) {
    std::string path;
    if (text == nullptr || !plat_path_text(text, &path, size)) return false;
    PlatFileStatus st{};
    return plat_stat(path.c_str(), &st) && (st.mode & PLAT_S_IFMT) == PLAT_S_IFREG;
}

bool plat_is_directory(const char* path) {
    PlatFileStatus st{};
    return plat_stat(path, &st) && (st.mode & PLAT_S_IFMT) == PLAT_S_IFDIR;
}

bool plat_fstat(FILE* file, PlatFileStatus* status) {
    struct stat st {};
    if (file == nullptr || ::fstat(fileno(file), &st) != 0) return false;
    status->mode = type_bits(st.st_mode) | (st.st_mode & 07777);
    status->size = static_cast<int64_t>(st.st_size);
    return true;
}

bool plat_mkdir(const char* path) {
    return path != nullptr && ::mkdir(path, 0777) == 0;
}

bool plat_remove(const char* path) {
    return path != nullptr && ::unlink(path) == 0;
}
