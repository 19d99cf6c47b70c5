#include "platform/filestamp.h"

#include <sys/stat.h>

namespace {
int64_t nanoseconds(const struct timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}
}  // namespace

bool plat_file_stamp(const char* path, PlatFileStamp* stamp) {
    struct stat st {};
    if (path == nullptr || stamp == nullptr || ::stat(path, &st) != 0) return false;
    stamp->mtimeNs = nanoseconds(st.st_mtim);
    stamp->ctimeNs = nanoseconds(st.st_ctim);
    stamp->size = static_cast<int64_t>(st.st_size);
    stamp->device = static_cast<uint64_t>(st.st_dev);
    stamp->inode = static_cast<uint64_t>(st.st_ino);
    return true;
}
