#include "platform/replace_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/path.h"
#include "platform/tempfile.h"

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

    struct stat st {};
    bool exists = ::stat(real.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        error = EISDIR;
        return nullptr;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        // Pipes and devices cannot be replaced: write to them as they are.
        stream = std::fopen(real.c_str(), "we");
        if (stream == nullptr) {
            error = errno;
            return nullptr;
        }
        target = dup_text(real);
        return stream;
    }
    // Replacing must not succeed where opening the file itself would be refused.
    if (exists && ::access(real.c_str(), W_OK) != 0) {
        error = errno;
        return nullptr;
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
        if (temp == nullptr) ::unlink(temp_name.c_str());
        abort();
        error = ENOMEM;
        return nullptr;
    }
    return stream;
}

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

void PlatReplaceFile::abort() {
    if (stream != nullptr) {
        std::fclose(stream);
        stream = nullptr;
    }
    if (temp != nullptr) {
        ::unlink(temp);
        std::free(temp);
        temp = nullptr;
    }
    if (target != nullptr) {
        std::free(target);
        target = nullptr;
    }
}
