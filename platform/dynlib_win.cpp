// Libraries loaded by their Windows names; versions from the file's version
// resource.
#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/dynlib.h"

struct PlatLibrary {
    HMODULE module;
};

namespace {
std::mutex g_directory_lock;
std::string g_directory;

std::string backslashed(std::string path) {
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

int last_error_or(int fallback) {
    const DWORD error = GetLastError();
    return error != 0 ? static_cast<int>(error) : fallback;
}
}  // namespace

std::string plat_library_file_name(const char* windows_name) {
    return windows_name != nullptr ? std::string(windows_name) : std::string();
}

void plat_library_set_directory(const char* directory) {
    std::lock_guard<std::mutex> guard(g_directory_lock);
    g_directory = directory != nullptr ? directory : "";
}

PlatLibrary* plat_library_load(const char* windows_name, int* error) {
    if (error != nullptr) *error = 0;
    // The loader takes backslashes only.
    const std::string file = backslashed(plat_library_file_name(windows_name));
    HMODULE module = nullptr;
    DWORD old_mode = 0;
    // No message box for a library that cannot be loaded: the caller reports it.
    SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &old_mode);
    SetLastError(0);
    if (!file.empty()) {
        std::string directory;
        {
            std::lock_guard<std::mutex> guard(g_directory_lock);
            directory = g_directory;
        }
        if (!directory.empty() && file.find('\\') == std::string::npos) {
            const std::string candidate = backslashed(directory) + "\\" + file;
            // Its own directory is searched first for what it needs.
            if (GetFileAttributesA(candidate.c_str()) != INVALID_FILE_ATTRIBUTES)
                module = LoadLibraryExA(candidate.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        }
        if (module == nullptr) module = LoadLibraryA(file.c_str());
    }
    const int failure = module == nullptr ? last_error_or(PLAT_ERROR_MOD_NOT_FOUND) : 0;
    SetThreadErrorMode(old_mode, nullptr);
    if (module == nullptr) {
        if (error != nullptr) *error = failure;
        return nullptr;
    }
    return new PlatLibrary{module};
}

void* plat_library_symbol(PlatLibrary* library, const char* name, int* error) {
    if (error != nullptr) *error = 0;
    void* address = nullptr;
    if (library != nullptr && name != nullptr)
        address = reinterpret_cast<void*>(GetProcAddress(library->module, name));
    if (address == nullptr && error != nullptr) *error = PLAT_ERROR_PROC_NOT_FOUND;
    return address;
}

bool plat_library_free(PlatLibrary* library) {
    if (library == nullptr) return true;
    const bool ok = FreeLibrary(library->module) != 0;
    delete library;
    return ok;
}

bool plat_library_version(PlatLibrary* library, int* major, int* minor) {
    *major = 0;
    *minor = 0;
    if (library == nullptr) return false;
    char path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameA(library->module, path, sizeof path);
    if (length == 0 || length >= sizeof path) return false;
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) return false;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0) return true;  // no version resource: 0.0
    std::vector<char> data(size);
    if (!GetFileVersionInfoA(path, 0, size, data.data())) return true;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT info_size = 0;
    if (!VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &info_size) ||
        info == nullptr || info_size < sizeof(VS_FIXEDFILEINFO))
        return true;
    *major = static_cast<int>(HIWORD(info->dwFileVersionMS));
    *minor = static_cast<int>(LOWORD(info->dwFileVersionMS));
    return true;
}
