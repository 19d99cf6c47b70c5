#include "platform/dynlib.h"

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>

struct PlatLibrary {
    void* handle;
};

namespace {
std::mutex g_directory_lock;
std::string g_directory;

bool ends_with_dll(const std::string& name) {
    if (name.size() < 4) return false;
    std::string tail = name.substr(name.size() - 4);
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".dll";
}

std::string base_name(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string dir_name(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}
}  // namespace

std::string plat_library_file_name(const char* windows_name) {
    if (windows_name == nullptr) return std::string();
    std::string name = windows_name;
    for (char& c : name)
        if (c == '\\') c = '/';
    std::string base = base_name(name);
    if (!ends_with_dll(base) || base.size() == 4) return name;
    return dir_name(name) + "lib" + base.substr(0, base.size() - 4) + ".so";
}

void plat_library_set_directory(const char* directory) {
    std::lock_guard<std::mutex> guard(g_directory_lock);
    g_directory = directory != nullptr ? directory : "";
}

PlatLibrary* plat_library_load(const char* windows_name, int* error) {
    if (error != nullptr) *error = 0;
    std::string file = plat_library_file_name(windows_name);
    void* handle = nullptr;
    if (!file.empty()) {
        std::string directory;
        {
            std::lock_guard<std::mutex> guard(g_directory_lock);
            directory = g_directory;
        }
        if (!directory.empty() && file.find('/') == std::string::npos) {
            std::string candidate = directory + "/" + file;
            if (::access(candidate.c_str(), F_OK) == 0)
                handle = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        }
        if (handle == nullptr) handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    if (handle == nullptr) {
        if (error != nullptr) *error = PLAT_ERROR_MOD_NOT_FOUND;
        return nullptr;
    }
    return new PlatLibrary{handle};
}

void* plat_library_symbol(PlatLibrary* library, const char* name, int* error) {
    if (error != nullptr) *error = 0;
    void* address = nullptr;
    if (library != nullptr && name != nullptr) {
        ::dlerror();
        address = ::dlsym(library->handle, name);
    }
    if (address == nullptr && error != nullptr) *error = PLAT_ERROR_PROC_NOT_FOUND;
    return address;
}

bool plat_library_free(PlatLibrary* library) {
    if (library == nullptr) return true;
    bool ok = ::dlclose(library->handle) == 0;
    delete library;
    return ok;
}

bool plat_library_version(PlatLibrary* library, int* major, int* minor) {
    *major = 0;
    *minor = 0;
    if (library == nullptr) return false;
    link_map* map = nullptr;
    if (::dlinfo(library->handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr ||
        map->l_name == nullptr || map->l_name[0] == '\0')
        return false;
    // Follow the links of the library's own name (libX.so -> libX.so.1 ->
    // libX.so.1.2): the last of them carries the version.
    std::string path = map->l_name;
    std::string stem = base_name(path);
    std::size_t so = stem.find(".so");
    if (so == std::string::npos) return true;
    stem = stem.substr(0, so + 3);
    std::string versioned = base_name(path);
    for (int hops = 0; hops < 16; ++hops) {
        char target[PATH_MAX];
        ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
        if (n <= 0) break;
        target[n] = '\0';
        std::string next = target[0] == '/' ? std::string(target) : dir_name(path) + target;
        if (base_name(next).rfind(stem, 0) != 0) break;
        path = next;
        versioned = base_name(next);
    }
    if (versioned.size() > stem.size() && versioned[stem.size()] == '.') {
        const char* text = versioned.c_str() + stem.size() + 1;
        char* end = nullptr;
        *major = static_cast<int>(std::strtol(text, &end, 10));
        if (end != nullptr && *end == '.')
            *minor = static_cast<int>(std::strtol(end + 1, nullptr, 10));
    }
    return true;
}
