#include <windows.h>

#include <cstdio>
#include <filesystem>

#include "platform/run_program.h"
#include "platform/widepath_internal.h"

namespace {
// One argument quoted so that the C runtime's command-line parser gives it
// back unchanged: backslashes double only before a quote.
void append_quoted(std::string* line, const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        *line += arg;
        return;
    }
    *line += '"';
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            line->append(backslashes * 2 + 1, '\\');
        } else {
            line->append(backslashes, '\\');
        }
        backslashes = 0;
        *line += c;
    }
    line->append(backslashes * 2, '\\');
    *line += '"';
}

// A file for one output stream, in the system's temporary directory, with a
// handle the program inherits.
struct Capture {
    std::wstring path;
    HANDLE handle = INVALID_HANDLE_VALUE;

    bool open(int index) {
        wchar_t name[64];
        std::swprintf(name, 64, L"surfrun_%lu_%p_%d", GetCurrentProcessId(),
                      static_cast<void*>(this), index);
        path = (std::filesystem::temp_directory_path() / name).wstring();
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
        return handle != INVALID_HANDLE_VALUE;
    }
    std::string take() {
        CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
        std::string text;
        if (FILE* file = _wfopen(path.c_str(), L"rb")) {
            char buffer[4096];
            std::size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
            std::fclose(file);
        }
        return text;
    }
    ~Capture() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        if (!path.empty()) DeleteFileW(path.c_str());
    }
};
}  // namespace

bool plat_run_program(const std::string& program, const std::vector<std::string>& arguments,
                      const PlatProgramRun& how, PlatProgramResult* result) {
    *result = PlatProgramResult{};
    Capture out, err;
    if (!out.open(1) || (!how.merge_output && !err.open(2))) return false;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                            OPEN_EXISTING, 0, nullptr);
    if (in == INVALID_HANDLE_VALUE) return false;

    // The program's path made absolute here, as the program's own directory
    // may differ. Arguments go through the narrow calls byte for byte, as the
    // program's main() receives its arguments.
    char full[MAX_PATH * 4];
    const DWORD n = GetFullPathNameA(program.c_str(), sizeof full, full, nullptr);
    const std::string exe = n > 0 && n < sizeof full ? std::string(full, n) : program;
    std::string line;
    append_quoted(&line, exe);
    for (const std::string& a : arguments) {
        line += ' ';
        append_quoted(&line, a);
    }
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = in;
    start.hStdOutput = out.handle;
    start.hStdError = how.merge_output ? out.handle : err.handle;
    PROCESS_INFORMATION process{};
    const BOOL started =
        CreateProcessA(exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       how.directory.empty() ? nullptr : how.directory.c_str(), &start, &process);
    CloseHandle(in);
    if (!started) return false;
    CloseHandle(process.hThread);
    const DWORD wait =
        how.limit_seconds > 0 ? static_cast<DWORD>(how.limit_seconds) * 1000 : INFINITE;
    if (WaitForSingleObject(process.hProcess, wait) == WAIT_TIMEOUT) {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
        result->killed = true;
    }
    DWORD code = 0;
    if (!result->killed && GetExitCodeProcess(process.hProcess, &code)) {
        result->status = static_cast<int>(code);
    }
    CloseHandle(process.hProcess);
    result->out = out.take();
    if (!how.merge_output) result->err = err.take();
    return true;
}
