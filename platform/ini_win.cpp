// The ini reader is the system's: GetPrivateProfileString, in its wide form
// so that paths outside the code page work. A path without a directory is
// taken in the working directory, as the other systems do (the system call
// would look in the Windows directory).
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/ini.h"
#include "platform/widepath_internal.h"

int plat_ini_get_string(const char* section, const char* key, const char* default_value,
                        char* buffer, int size, const char* path) {
    if (buffer == nullptr || size <= 0) return 0;
    std::string value;
    std::wstring wide_path;
    const std::wstring wide_default = plat_widen(default_value != nullptr ? default_value : "");
    if (section != nullptr && key != nullptr && path != nullptr &&
        plat_wide_path(path, &wide_path)) {
        if (wide_path.find_first_of(L"/\\") == std::wstring::npos) wide_path = L".\\" + wide_path;
        // A value that fits the caller's buffer as UTF-8 fits here in units.
        std::vector<wchar_t> units(static_cast<std::size_t>(size) + 1);
        const DWORD count = GetPrivateProfileStringW(
            plat_widen(section).c_str(), plat_widen(key).c_str(), wide_default.c_str(),
            units.data(), static_cast<DWORD>(units.size()), wide_path.c_str());
        value = plat_narrow(std::wstring(units.data(), count));
    } else {
        // The system drops the default's trailing blanks; so do we without a file.
        std::string text = default_value != nullptr ? default_value : "";
        std::size_t last = text.find_last_not_of(" \t");
        value = text.erase(last == std::string::npos ? 0 : last + 1);
    }
    const std::size_t count = value.size() < static_cast<std::size_t>(size - 1)
                                  ? value.size()
                                  : static_cast<std::size_t>(size - 1);
    std::memcpy(buffer, value.data(), count);
    buffer[count] = '\0';
    return static_cast<int>(count);
}
