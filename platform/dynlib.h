// Libraries loaded at run time. Names are given in their Windows form,
// "Name.dll", and loaded as "libName.so" (on Windows as given), found the way
// the system finds libraries (or first in the directory set by
// plat_library_set_directory). Errors are reported with the Windows system
// error numbers that the library's messages print: 126 for a library that
// cannot be loaded (on Windows the system's own number, 126 when the file is
// missing), 127 for a missing entry point.
#pragma once

#include <string>

struct PlatLibrary;

constexpr int PLAT_ERROR_MOD_NOT_FOUND = 126;
constexpr int PLAT_ERROR_PROC_NOT_FOUND = 127;

// The file name a Windows library name is loaded under: a last component
// ending in ".dll" (any case) becomes "lib" + stem + ".so"; backslashes
// become '/'; other names are kept. On Windows the name itself.
std::string plat_library_file_name(const char* windows_name);

// Looks for libraries named without a directory in `directory` first (null
// or empty: only where the system looks). For tests and the demo, which point
// it at the build's simulator libraries.
void plat_library_set_directory(const char* directory);

// Loads a library. Null with *error (may be null) set to 126 on failure.
PlatLibrary* plat_library_load(const char* windows_name, int* error);

// An entry point. Null with *error set to 127 when it is missing.
void* plat_library_symbol(PlatLibrary* library, const char* name, int* error);

// Unloads (null is ignored). False when the system refuses.
bool plat_library_free(PlatLibrary* library);

// The version in the loaded file's real name, libName.so.MAJOR.MINOR
// (symbolic links followed); on Windows the file version of its version
// resource. 0.0 when there is none. False when the library's file cannot be
// found.
bool plat_library_version(PlatLibrary* library, int* major, int* minor);
