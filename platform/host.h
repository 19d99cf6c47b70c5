// The running process and its host: executable path, computer name, environment.
#pragma once

#include <string>

// The full path of the running program's file (/proc/self/exe), as the file
// system spells it. False when it cannot be read.
bool plat_executable_path(std::string* path);

// The computer name as the rest of the system expects it: the host name cut at
// its first '.', at most 15 characters, upper-cased. False when the host name
// cannot be read (the name is then empty).
bool plat_computer_name(std::string* name);

// The value of an environment variable. False when it is unset (an empty value
// is a set variable).
bool plat_get_env(const char* name, std::string* value);
