#include "common/dirs.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/alloc.h"
#include "common/msg.h"
#include "common/status.h"
#include "platform/fs.h"
#include "platform/host.h"

namespace {
struct CachedDir {
    std::once_flag once;
    char text[U_DIR_MAX + 1];
};

CachedDir g_install;
CachedDir g_config;
CachedDir g_ramps;

char* g_found_path = nullptr;

// A directory text longer than the buffers hold would name some other place
// if it were cut, so it makes the directory absent instead.
bool accept(const std::string& text, std::string* dir) {
    if (text.empty() || text.size() > U_DIR_MAX) {
        dir->clear();
        return false;
    }
    *dir = text;
    return true;
}

std::string join(const std::string& dir, const char* name) {
    if (!dir.empty() && dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

// Cuts a path at its last '/', never above the root.
std::string parent_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return path;
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

const char* cached(CachedDir& cache, bool (*decide)(std::string*)) {
    std::call_once(cache.once, [&] {
        std::string dir;
        if (decide(&dir)) std::snprintf(cache.text, sizeof cache.text, "%s", dir.c_str());
    });
    return cache.text[0] != '\0' ? cache.text : nullptr;
}

const char* env_or_null(const char* name, std::string* value) {
    return plat_get_env(name, value) ? value->c_str() : nullptr;
}

bool decide_install(std::string* dir) {
    std::string env;
    const char* env_value = env_or_null("KT_INSTALL_DIR", &env);
    std::string exe;
    bool have_exe = env_value == nullptr && plat_executable_path(&exe);
    if (!u_derive_install_dir(env_value, have_exe ? exe.c_str() : nullptr, dir)) return false;
    if (env_value == nullptr) u_msg_sink("Install directory: %s\n", dir->c_str());
    return true;
}

bool decide_config(std::string* dir) {
    std::string env;
    const char* env_value = env_or_null("KT_CONFIG_DIR", &env);
    return u_derive_config_dir(env_value, env_value ? nullptr : u_install_dir(), dir);
}

bool decide_ramps(std::string* dir) {
    std::string env;
    const char* env_value = env_or_null("KT_RAMPS_DIR", &env);
    return u_derive_ramps_dir(env_value, env_value ? nullptr : u_config_dir(), dir);
}

bool is_absolute(const char* name) {
    if (name[0] == '/') return true;
    if (name[0] == '.' && name[1] == '/') return true;
    unsigned char c = static_cast<unsigned char>(name[0]);
    return ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) && name[1] == ':';
}

// Forms "%s%s%s" in storage from the allocation hooks; null when out of memory.
char* make_candidate(const char* a, const char* b, const char* c) {
    std::size_t size = std::strlen(a) + std::strlen(b) + std::strlen(c) + 1;
    char* text = static_cast<char*>(u_alloc(size));
    if (text != nullptr) std::snprintf(text, size, "%s%s%s", a, b, c);
    return text;
}

enum class Try { found, missing, no_memory };

Try try_candidate(const char* a, const char* b, const char* c) {
    char* text = make_candidate(a, b, c);
    if (text == nullptr) return Try::no_memory;
    if (!plat_is_regular_file(text)) {
        u_free(text);
        return Try::missing;
    }
    g_found_path = text;
    return Try::found;
}
}  // namespace

bool u_derive_install_dir(const char* env_value, const char* exe_path, std::string* dir) {
    if (env_value != nullptr) return accept(env_value, dir);
    if (exe_path == nullptr || std::strlen(exe_path) > U_DIR_MAX) return accept("", dir);
    std::string path = exe_path;
    // The parent of the executable's directory: /prog/bin/tool gives /prog.
    if (path.find('/') != std::string::npos) {
        path = parent_of(path);
        if (path != "/") path = parent_of(path);
    }
    return accept(path, dir);
}

bool u_derive_config_dir(const char* env_value, const char* install_dir, std::string* dir) {
    if (env_value != nullptr) return accept(env_value, dir);
    if (install_dir == nullptr || *install_dir == '\0') return accept("", dir);
    std::string cfg = join(install_dir, "cfg");
    if (cfg.size() > U_DIR_MAX) return accept("", dir);
    return accept(plat_is_directory(cfg.c_str()) ? cfg : std::string(install_dir), dir);
}

bool u_derive_ramps_dir(const char* env_value, const char* config_dir, std::string* dir) {
    if (env_value != nullptr) return accept(env_value, dir);
    if (config_dir == nullptr || *config_dir == '\0') return accept("", dir);
    std::string ramps = join(config_dir, "ramps");
    if (!accept(ramps, dir)) return false;
    // A failed creation is left for the users of the directory to report.
    if (!plat_is_directory(ramps.c_str())) plat_mkdir(ramps.c_str());
    return true;
}

const char* u_install_dir() {
    return cached(g_install, decide_install);
}
const char* u_config_dir() {
    return cached(g_config, decide_config);
}
const char* u_ramps_dir() {
    return cached(g_ramps, decide_ramps);
}

int u_find_file(const char* name, const char** path) {
    u_free(g_found_path);
    g_found_path = nullptr;
    if (name == nullptr || *name == '\0') {
        // Success without a result: never leave the caller holding the text
        // just released.
        if (path) *path = nullptr;
        return NO_ERROR;
    }
    Try result = Try::missing;
    if (is_absolute(name)) {
        result = try_candidate(name, "", "");
    } else {
        result = try_candidate(".", "/", name);
        if (result == Try::missing) {
            const char* config = u_config_dir();
            if (config == nullptr) return ERR_CANT_OPEN_FILE;
            bool slash = config[std::strlen(config) - 1] == '/';
            result = try_candidate(config, slash ? "" : "/", name);
        }
    }
    if (result == Try::no_memory) return ERR_NO_MEM;
    if (result == Try::missing) return ERR_CANT_READ_FILE;
    if (path) *path = g_found_path;
    return NO_ERROR;
}

const char* u_syscal_file_name(int index) {
    static std::once_flag once;
    static char computer[16];
    // Room for 15 name characters, '.', any int and the terminator.
    thread_local char text[32];
    std::call_once(once, [] {
        std::string name;
        plat_computer_name(&name);
        std::snprintf(computer, sizeof computer, "%s", name.c_str());
    });
    // Sets 0 to 9 give their one digit. Any other index is written in decimal
    // as well, so it never turns into a non-digit character or the name of
    // another set's file.
    std::snprintf(text, sizeof text, "%s.%d", computer, index);
    return text;
}
