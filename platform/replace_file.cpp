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
