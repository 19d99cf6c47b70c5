// File status and directories.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// File-type bits of PlatFileStatus::mode, with the documented mask values.
constexpr unsigned PLAT_S_IFMT = 0xF000;
constexpr unsigned PLAT_S_IFDIR = 0x4000;
constexpr unsigned PLAT_S_IFREG = 0x8000;

struct PlatFileStatus {
    unsigned mode;  // file type (PLAT_S_IF*) and permission bits
    int64_t size;   // bytes
};

// Status of a narrow path, following symbolic links. False when it fails.
bool plat_stat(const char* path, PlatFileStatus* status);

// The file-existence test: true exactly when the path (under the byte-order
// mark convention of platform/path.h) names an existing regular file.
bool plat_is_regular_file(const char* text, std::size_t size = SIZE_MAX);

// True when a narrow path names an existing directory.
bool plat_is_directory(const char* path);

// Status of an open stream's file. False when it fails.
bool plat_fstat(FILE* file, PlatFileStatus* status);

// Creates a directory (permissions 0777 less the process umask). False with
// errno set when it fails, also when the directory already exists.
bool plat_mkdir(const char* path);

// Removes a file name (not a directory). False with errno set when it fails.
bool plat_remove(const char* path);
