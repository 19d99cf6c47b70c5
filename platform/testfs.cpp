#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "platform/testfs_testing.h"

bool plat_test_make_fifo(const std::string& path) {
    return ::mkfifo(path.c_str(), 0600) == 0;
}

bool plat_test_make_symlink(const std::string& target, const std::string& link) {
    return ::symlink(target.c_str(), link.c_str()) == 0;
}

const char* plat_test_full_device() {
    return "/dev/full";
}

bool plat_test_set_mode(const std::string& path, unsigned mode) {
    return ::chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

unsigned plat_test_mode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool plat_test_read_only_is_enforced() {
    return ::geteuid() != 0;
}

bool plat_test_can_limit_file_size() {
    return true;
}

bool plat_test_limit_file_size(long long bytes) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
    return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

bool plat_test_pipe(FILE** read_end, FILE** write_end) {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    *read_end = ::fdopen(fds[0], "rb");
    *write_end = ::fdopen(fds[1], "wb");
    if (*read_end != nullptr && *write_end != nullptr) return true;
    if (*read_end != nullptr)
        std::fclose(*read_end);
    else
        ::close(fds[0]);
    if (*write_end != nullptr)
        std::fclose(*write_end);
    else
        ::close(fds[1]);
    *read_end = *write_end = nullptr;
    return false;
}

bool plat_test_can_limit_descriptors() {
    return true;
}

bool plat_test_limit_descriptors(int count) {
    const rlimit limit{static_cast<rlim_t>(count), static_cast<rlim_t>(count)};
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

const char* plat_test_null_device() {
    return "/dev/null";
}

bool plat_test_is_device(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

bool plat_test_has_permission_bits() {
    return true;
}

unsigned plat_test_set_umask(unsigned mask) {
    return ::umask(static_cast<mode_t>(mask));
}

bool plat_test_closed_on_exec(FILE* file) {
    const int flags = ::fcntl(fileno(file), F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC) != 0;
}

bool plat_test_blocking(FILE* file) {
    return (::fcntl(fileno(file), F_GETFL) & O_NONBLOCK) == 0;
}

void plat_test_end_after(unsigned seconds) {
    ::alarm(seconds);
}
