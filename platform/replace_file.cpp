#include "platform/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "platform/path.h"

namespace {

char* dup_text(const std::string& s) {
    char* p = static_cast<char*>(std::malloc(s.size() + 1));
    if (p != nullptr) std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

std::string dir_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Follows a chain of symbolic links to the path that names the real target,
// which need not exist yet (a dangling link names the file to create).
bool resolve_links(std::string path, std::string* out, int* err) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            *out = path;
            return true;
        }
        std::string link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        for (;;) {
            ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
            if (n < 0) {
                *err = errno;
                return false;
            }
            if (static_cast<std::size_t>(n) < link.size()) {
                link.resize(static_cast<std::size_t>(n));
                break;
            }
            link.resize(link.size() * 2);  // the link changed under us
        }
        if (!link.empty() && link[0] == '/') {
            path = link;
        } else {
            path = dir_of(path) + "/" + link;
        }
    }
    *err = ELOOP;
    return false;
}

// Creates a new file exclusively; the kernel applies the umask to 0666.
int create_temp(const std::string& dir, const char* prefix, std::string* name) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device device;
    std::mt19937_64 gen(
        device() ^
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = dir + "/" + (prefix != nullptr ? prefix : "_tmp");
        for (int i = 0; i < 6; ++i) candidate.push_back(alphabet[gen() % (sizeof alphabet - 1)]);
        int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            *name = candidate;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
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
    if (!resolve_links(named, &real, &error)) return nullptr;

    struct stat st {};
    bool exists = ::stat(real.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        error = EISDIR;
        return nullptr;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        // Pipes and devices cannot be replaced: write to them as they are.
        stream = std::fopen(real.c_str(), "w");
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
    int fd = create_temp(dir_of(real), temp_prefix, &temp_name);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    if (exists && ::fchmod(fd, st.st_mode & 07777) != 0) {
        error = errno;
        ::close(fd);
        ::unlink(temp_name.c_str());
        return nullptr;
    }
    replacing = exists;
    stream = ::fdopen(fd, "w");
    target = dup_text(real);
    temp = dup_text(temp_name);
    if (stream == nullptr || target == nullptr || temp == nullptr) {
        error = stream == nullptr ? errno : ENOMEM;
        if (stream == nullptr) ::close(fd);
        ::unlink(temp_name.c_str());
        if (temp != nullptr) {
            std::free(temp);
            temp = nullptr;
        }
        abort();
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
    if (ok && temp != nullptr && replacing && ::fsync(::fileno(stream)) != 0) {
        ok = false;
        error = errno;
    }
    if (std::fclose(stream) != 0 && ok) {
        ok = false;
        error = errno;
    }
    stream = nullptr;
    if (ok && temp != nullptr && ::rename(temp, target) != 0) {
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
