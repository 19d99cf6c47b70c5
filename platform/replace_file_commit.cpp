// The commit of "write beside, then replace", the same on every system: the
// calls that differ (flushing to the disk, the replacement itself) are
// plat_sync_file and plat_replace_with_temp.
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/replace_file.h"
#include "platform/tempfile.h"

bool PlatReplaceFile::commit() {
    if (stream == nullptr) {
        if (error == 0) error = EBADF;
        abort();
        return false;
    }
    bool ok = true;
    if (std::fflush(stream) != 0 || std::ferror(stream)) {
        ok = false;
        error = errno != 0 ? errno : EIO;
    }
    // When a file is replaced, its new data reaches the disk before the new
    // name does, so that a crash cannot leave it empty. A new file has no old
    // contents to lose and is left to the ordinary write-back.
    if (ok && temp != nullptr && replacing && !plat_sync_file(stream)) {
        ok = false;
        error = errno;
    }
    if (std::fclose(stream) != 0 && ok) {
        ok = false;
        error = errno;
    }
    stream = nullptr;
    // The temporary file takes the replaced file's permission bits, or those
    // of a newly created file.
    if (ok && temp != nullptr && !plat_replace_with_temp(temp, target)) {
        ok = false;
        error = errno;
    }
    if (ok && temp != nullptr) {
        std::free(temp);
        temp = nullptr;
    }
    abort();
    return ok;
}
