// Directory listing.
#pragma once

#include <string>
#include <vector>

// The names of the regular files in a directory (symbolic links followed;
// subdirectories, devices, pipes and sockets left out), sorted by byte value
// so that callers see the same order on every file system. False with errno
// set when the directory cannot be read; *names is then empty.
bool plat_list_regular_files(const char* dir, std::vector<std::string>* names);
