#include "platform/host.h"

#include <limits.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <vector>

bool plat_executable_path(std::string* path) {
    path->clear();
    std::vector<char> buffer(PATH_MAX + 1);
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    // A result that fills the buffer may have been cut.
    if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) return false;
    path->assign(buffer.data(), static_cast<std::size_t>(n));
    return true;
}

bool plat_computer_name(std::string* name) {
    name->clear();
    char host[HOST_NAME_MAX + 1] = {};
    if (::gethostname(host, sizeof host - 1) != 0) return false;
    for (const char* p = host; *p != '\0' && *p != '.' && name->size() < 15; ++p) {
        name->push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(*p))));
    }
    return true;
}

bool plat_get_env(const char* name, std::string* value) {
    value->clear();
    const char* text = name ? std::getenv(name) : nullptr;
    if (text == nullptr) return false;
    value->assign(text);
    return true;
}
