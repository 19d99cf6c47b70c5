#include "platform/ini.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

#include "platform/path.h"

namespace {
std::string trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    std::size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool same(const std::string& a, const char* b) {
    return ::strcasecmp(a.c_str(), b) == 0;
}

bool find_value(const char* section, const char* key, const char* path, std::string* value) {
    // Opened as a regular file only: a FIFO would block the reader.
    FILE* file = plat_fopen_regular(path, "rb");
    if (file == nullptr) return false;
    std::string data;
    char chunk[4096];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) data.append(chunk, n);
    std::fclose(file);
    std::istringstream in(data);
    std::string line;
    bool in_section = false;
    while (std::getline(in, line)) {
        std::string text = trim(line);
        if (text.empty() || text[0] == ';') continue;
        if (text[0] == '[') {
            std::size_t close = text.find(']');
            if (close == std::string::npos) continue;
            in_section = same(trim(text.substr(1, close - 1)), section);
            continue;
        }
        if (!in_section) continue;
        std::size_t equals = text.find('=');
        if (equals == std::string::npos || !same(trim(text.substr(0, equals)), key)) continue;
        std::string found = trim(text.substr(equals + 1));
        if (found.size() >= 2 && (found.front() == '"' || found.front() == '\'') &&
            found.back() == found.front())
            found = found.substr(1, found.size() - 2);
        *value = found;
        return true;
    }
    return false;
}
}  // namespace

int plat_ini_get_string(const char* section, const char* key, const char* default_value,
                        char* buffer, int size, const char* path) {
    if (buffer == nullptr || size <= 0) return 0;
    std::string value;
    if (section == nullptr || key == nullptr || path == nullptr ||
        !find_value(section, key, path, &value)) {
        value = default_value != nullptr ? default_value : "";
        std::size_t last = value.find_last_not_of(" \t");
        value.erase(last == std::string::npos ? 0 : last + 1);
    }
    std::size_t count = value.size() < static_cast<std::size_t>(size - 1)
                            ? value.size()
                            : static_cast<std::size_t>(size - 1);
    std::memcpy(buffer, value.data(), count);
    buffer[count] = '\0';
    return static_cast<int>(count);
}
