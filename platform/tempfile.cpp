#include "platform/tempfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
std::string directory_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The process umask, read from /proc rather than with umask(), which would
// change it for a moment under the other threads.
mode_t process_umask() {
    mode_t mask = 022;
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, status)) {
            if (std::strncmp(line, "Umask:", 6) == 0) {
                mask = static_cast<mode_t>(std::strtoul(line + 6, nullptr, 8));
                break;
            }
        }
        std::fclose(status);
    }
    return mask & 0777;
}
}  // namespace

bool plat_resolve_links(const char* path, std::string* target) {
    std::string current = path ? path : "";
    // The bound matches the kernel's own limit on links followed in one lookup.
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            *target = current;
            return true;
        }
        std::vector<char> buffer(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 2);
        ssize_t n = ::readlink(current.c_str(), buffer.data(), buffer.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) {
            // Gone or changed while we looked: take the path as it stands.
            *target = current;
            return true;
        }
        std::string link(buffer.data(), static_cast<std::size_t>(n));
        if (link[0] == '/') {
            current = link;
        } else {
            std::string dir = directory_of(current);
            current = dir == "/" ? "/" + link : dir + "/" + link;
        }
    }
    *target = current;
    errno = ELOOP;
    return false;
}

std::string plat_link_target(const char* path) {
    std::string target;
    plat_resolve_links(path, &target);
    return target;
}

FILE* plat_temp_beside(const char* target, const char* prefix, std::string* temp_path) {
    temp_path->clear();
    if (target == nullptr || *target == '\0') {
        errno = ENOENT;
        return nullptr;
    }
    std::string dir = directory_of(plat_link_target(target));
    *temp_path = (dir == "/" ? "/" : dir + "/") + (prefix ? prefix : "") + "XXXXXX";
    std::vector<char> name(temp_path->begin(), temp_path->end());
    name.push_back('\0');
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return nullptr;
    temp_path->assign(name.data());
    FILE* file = ::fdopen(fd, "w+b");
    if (file == nullptr) {
        int saved = errno;
        ::close(fd);
        ::unlink(name.data());
        errno = saved;
    }
    return file;
}

bool plat_sync_file(FILE* file) {
    if (file == nullptr) {
        errno = EBADF;
        return false;
    }
    return std::fflush(file) == 0 && ::fsync(fileno(file)) == 0;
}

bool plat_replace_with_temp(const char* temp_path, const char* target, const char* mode_model) {
    if (temp_path == nullptr || target == nullptr) {
        errno = EINVAL;
        return false;
    }
    std::string real = plat_link_target(target);
    struct stat st {};
    mode_t mode = 0;
    if (::stat(real.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else if (mode_model != nullptr && ::stat(mode_model, &st) == 0) {
        mode = st.st_mode & 0777 & ~process_umask();
    } else {
        mode = 0666 & ~process_umask();
    }
    if (::chmod(temp_path, mode) != 0) return false;
    return ::rename(temp_path, real.c_str()) == 0;
}
