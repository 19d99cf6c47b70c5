#include "platform/process.h"

#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/host.h"

extern char** environ;

struct PlatProcess {
    pid_t pid;
};

PlatProcess* plat_process_start_self(const std::vector<std::string>& arguments,
                                     const std::vector<std::string>& environment) {
    std::string program;
    if (!plat_executable_path(&program)) return nullptr;
    std::vector<std::string> args{program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    // The environment is built here, not set in the child: only
    // async-signal-safe calls are allowed between fork and exec.
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        const std::size_t length = equals != nullptr ? equals - *entry + 1 : std::strlen(*entry);
        bool replaced = false;
        for (const std::string& added : environment)
            if (added.compare(0, length, *entry, length) == 0 ||
                (added.find('=') == std::string::npos && added.size() + 1 == length &&
                 added.compare(0, added.size(), *entry, added.size()) == 0))
                replaced = true;
        if (!replaced) env.emplace_back(*entry);
    }
    for (const std::string& added : environment)
        if (added.find('=') != std::string::npos) env.push_back(added);
    std::vector<char*> argv, envp;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::fflush(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0)
        return nullptr;
    return new PlatProcess{pid};
}

int plat_process_wait(PlatProcess* process, int64_t timeout_ms, int* exit_code) {
    if (process == nullptr) return PLAT_WAIT_FAILED;
    const int64_t end = timeout_ms < 0 || timeout_ms > INT64_MAX / 1000000
                            ? INT64_MAX
                            : plat_clock_deadline_ns(timeout_ms * 1000000);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(process->pid, &status, timeout_ms < 0 ? 0 : WNOHANG);
        if (done == process->pid) {
            if (exit_code != nullptr) *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            delete process;
            return 0;
        }
        if (done < 0 && errno != EINTR) return PLAT_WAIT_FAILED;
        if (done == 0) {
            const int64_t now = plat_clock_ns();
            if (now >= end) return PLAT_WAIT_TIMEOUT;
            plat_sleep_ns(end - now < 5000000 ? end - now : 5000000);
        }
    }
}

void plat_process_kill(PlatProcess* process) {
    if (process == nullptr) return;
    ::kill(process->pid, SIGKILL);
    plat_process_wait(process, PLAT_INFINITE, nullptr);
}

namespace {
int entries(const char* directory) {
    DIR* dir = ::opendir(directory);
    if (dir == nullptr) return -1;
    int count = 0;
    while (dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(dir);
    return count;
}
}  // namespace

int plat_process_thread_count() {
    return entries("/proc/self/task");
}

int plat_process_descriptor_count() {
    // Less the descriptor that lists them.
    const int count = entries("/proc/self/fd");
    return count > 0 ? count - 1 : count;
}

bool plat_set_env(const char* name, const char* value) {
    return value != nullptr ? ::setenv(name, value, 1) == 0 : ::unsetenv(name) == 0;
}

bool plat_process_can_fork() {
    return true;
}

int plat_process_fork_run(const std::function<int()>& body) {
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int result = body();
        std::fflush(nullptr);
        ::_exit(result);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}
