#include <windows.h>

#include <cctype>
#include <cstdlib>

#include "platform/host.h"
#include "platform/widepath_internal.h"

bool plat_executable_path(std::string* path) {
    path->clear();
    // Long paths may exceed MAX_PATH: grow until the name fits.
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return false;
        if (n < buffer.size()) {
            buffer.resize(n);
            break;
        }
        if (buffer.size() >= 32768) return false;
        buffer.resize(buffer.size() * 2);
    }
    *path = plat_narrow(buffer);
    // The library's own paths use '/', which Windows accepts as well.
    for (char& c : *path) {
        if (c == '\\') c = '/';
    }
    return true;
}

bool plat_computer_name(std::string* name) {
    name->clear();
    char host[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof host;
    if (!GetComputerNameA(host, &size)) return false;
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
