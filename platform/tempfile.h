// Temporary files that replace a target once they are complete: written
// beside the target, then renamed over it, so a failure never leaves a
// half-written target behind.
#pragma once

#include <cstdio>
#include <string>

// Creates and opens (read/write, binary) a new file in the directory of the
// file that `target` leads to (symbolic links followed), named `prefix` and six
// random characters. *temp_path receives its name. Null with errno set on
// failure; *temp_path then holds the pattern that was tried, or is empty when
// no name could be formed.
FILE* plat_temp_beside(const char* target, const char* prefix, std::string* temp_path);

// Flushes a stream's data through to the disk. False with errno set.
bool plat_sync_file(FILE* file);

// Renames a complete temporary file over the file that `target` leads to. The
// result keeps the permission bits of the file it replaces; a new target takes
// those of `mode_model` (less the umask) when given and existing, else the bits
// of a newly created file. False with errno set; the temporary file is then left as it is.
bool plat_replace_with_temp(const char* temp_path, const char* target,
                            const char* mode_model = nullptr);

// The file a path leads to: symbolic links followed, even when the last one
// points at a file that does not exist yet. Other paths are returned as given.
// False with errno set (ELOOP for a chain of links that never ends).
bool plat_resolve_links(const char* path, std::string* target);

// plat_resolve_links, giving the path as far as it could be followed.
std::string plat_link_target(const char* path);
