// Child processes on Windows: CreateProcess with the program's own file.
// There is no fork here.
#include <windows.h>
// After windows.h.
#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cwctype>

#include "platform/clock.h"
#include "platform/process.h"
#include "platform/widepath_internal.h"

struct PlatProcess {
    HANDLE process;
};

namespace {
// One argument as the C runtime splits the command line again: quoted, with
// the backslashes before a quote (or before the closing quote) doubled.
void append_argument(std::wstring* line, const std::wstring& argument) {
    if (!line->empty()) line->push_back(L' ');
    line->push_back(L'"');
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') backslashes = backslashes * 2 + 1;
        line->append(backslashes, L'\\');
        backslashes = 0;
        line->push_back(c);
    }
    line->append(backslashes * 2, L'\\');
    line->push_back(L'"');
}

std::wstring upper_name(const std::wstring& entry) {
    std::wstring name = entry.substr(0, entry.find(L'=', 1));
    for (wchar_t& c : name) c = static_cast<wchar_t>(std::towupper(c));
    return name;
}
}  // namespace

PlatProcess* plat_process_start_self(const std::vector<std::string>& arguments,
                                     const std::vector<std::string>& environment) {
    wchar_t program[32768];
    const DWORD length = GetModuleFileNameW(nullptr, program, 32768);
    if (length == 0 || length >= 32768) return nullptr;
    std::wstring line;
    append_argument(&line, program);
    for (const std::string& argument : arguments) append_argument(&line, plat_widen(argument));

    // This environment with the given entries in place of their names
    // (names are not case-sensitive here), kept in the sorted order the
    // system expects.
    std::vector<std::wstring> entries;
    for (const std::string& added : environment)
        if (added.find('=') != std::string::npos) entries.push_back(plat_widen(added));
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
            const std::wstring name = upper_name(entry);
            bool replaced = false;
            for (const std::string& added : environment)
                if (upper_name(plat_widen(added)) == name) replaced = true;
            if (!replaced) entries.emplace_back(entry);
        }
        FreeEnvironmentStringsW(block);
    }
    std::sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
        return upper_name(a) < upper_name(b);
    });
    std::wstring env_block;
    for (const std::wstring& entry : entries) {
        env_block += entry;
        env_block.push_back(L'\0');
    }
    env_block.push_back(L'\0');

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    std::fflush(nullptr);
    if (!CreateProcessW(program, line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                        env_block.data(), nullptr, &startup, &info))
        return nullptr;
    CloseHandle(info.hThread);
    return new PlatProcess{info.hProcess};
}

int plat_process_wait(PlatProcess* process, int64_t timeout_ms, int* exit_code) {
    if (process == nullptr) return PLAT_WAIT_FAILED;
    using SteadyTime = std::chrono::steady_clock::time_point;
    const SteadyTime deadline = timeout_ms < 0 ? SteadyTime::max() : plat_real_deadline(timeout_ms);
    for (;;) {
        DWORD wait_ms = INFINITE;
        if (deadline != SteadyTime::max()) {
            const auto now = std::chrono::steady_clock::now();
            wait_ms =
                now >= deadline
                    ? 0
                    : static_cast<DWORD>(std::min<int64_t>(
                          std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count(),
                          0x7FFFFFFF));
        }
        const DWORD result = WaitForSingleObject(process->process, wait_ms);
        if (result == WAIT_OBJECT_0) break;
        if (result != WAIT_TIMEOUT) return PLAT_WAIT_FAILED;
        if (deadline != SteadyTime::max() && std::chrono::steady_clock::now() >= deadline)
            return PLAT_WAIT_TIMEOUT;
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(process->process, &code)) code = static_cast<DWORD>(-1);
    if (exit_code != nullptr) *exit_code = static_cast<int>(code);
    CloseHandle(process->process);
    delete process;
    return 0;
}

void plat_process_kill(PlatProcess* process) {
    if (process == nullptr) return;
    TerminateProcess(process->process, 1);
    plat_process_wait(process, PLAT_INFINITE, nullptr);
}

int plat_process_thread_count() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    const DWORD self = GetCurrentProcessId();
    int count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == self) ++count;
    CloseHandle(snapshot);
    return count;
}

int plat_process_descriptor_count() {
    DWORD count = 0;
    // A running process holds handles: none means the count is not kept (Wine).
    if (!GetProcessHandleCount(GetCurrentProcess(), &count) || count == 0) return -1;
    return static_cast<int>(count);
}

bool plat_set_env(const char* name, const char* value) {
    // Both copies: the C runtime's (getenv) and the system's (child processes).
    const bool ok = _putenv_s(name, value != nullptr ? value : "") == 0;
    return SetEnvironmentVariableA(name, value) && ok;
}

bool plat_process_can_fork() {
    return false;
}

int plat_process_fork_run(const std::function<int()>& /*body*/) {
    return -1;
}
