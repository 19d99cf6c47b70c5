#include "platform/run_program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "platform/tempfile.h"

namespace {
// A file for one output stream, in the system's temporary directory so that
// the program's own directory holds only what the program made.
struct Capture {
    std::string path;
    int fd = -1;

    bool open() {
        const std::string dir = std::filesystem::temp_directory_path().string();
        FILE* file = plat_temp_beside((dir + "/out").c_str(), "surfrun_", &path);
        if (file == nullptr) return false;
        fd = ::fcntl(fileno(file), F_DUPFD_CLOEXEC, 0);
        std::fclose(file);
        return fd >= 0;
    }
    std::string take() {
        std::string text;
        if (FILE* file = std::fopen(path.c_str(), "rb")) {
            char buffer[4096];
            std::size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
            std::fclose(file);
        }
        return text;
    }
    ~Capture() {
        if (fd >= 0) ::close(fd);
        if (!path.empty()) ::unlink(path.c_str());
    }
};
}  // namespace

bool plat_run_program(const std::string& program, const std::vector<std::string>& arguments,
                      const PlatProgramRun& how, PlatProgramResult* result) {
    *result = PlatProgramResult{};
    Capture out, err;
    if (!out.open() || (!how.merge_output && !err.open())) return false;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        const int in = ::open("/dev/null", O_RDONLY);
        const int err_fd = how.merge_output ? out.fd : err.fd;
        if ((!how.directory.empty() && ::chdir(how.directory.c_str()) != 0) || in < 0 ||
            ::dup2(in, 0) < 0 || ::dup2(out.fd, 1) < 0 || ::dup2(err_fd, 2) < 0) {
            ::_exit(127);
        }
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    int wstatus = 0;
    if (how.limit_seconds > 0) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::seconds(how.limit_seconds);
        pid_t done;
        while ((done = ::waitpid(pid, &wstatus, WNOHANG)) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(pid, SIGKILL);
                result->killed = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (result->killed) ::waitpid(pid, &wstatus, 0);
    } else {
        while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
        }
    }
    result->status = WIFEXITED(wstatus) && !result->killed ? WEXITSTATUS(wstatus) : -1;
    result->out = out.take();
    if (!how.merge_output) result->err = err.take();
    return true;
}
