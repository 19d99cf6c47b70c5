// Installation, configuration and ramps directories, the search for a
// configuration file and the per-computer name of the system calibration file.
//
// Each directory is decided on its first request and cached for the life of
// the process; later changes to the environment have no effect. A directory
// that cannot be decided is absent (null). Returned texts belong to this
// module; callers never free them.
#pragma once

#include <cstddef>
#include <string>

// Longest directory text held (characters, without the terminator).
constexpr std::size_t U_DIR_MAX = 260;

// KT_INSTALL_DIR, else the parent of the executable's directory. The derived
// directory is announced as "Install directory: %s\n".
const char* u_install_dir();

// KT_CONFIG_DIR, else installation directory + "/cfg" when that is an existing
// directory, else the installation directory.
const char* u_config_dir();

// KT_RAMPS_DIR, else configuration directory + "/ramps", created when missing.
const char* u_ramps_dir();

// Finds a configuration file. An absolute name ("/...", "./...", "c:...") is
// tried alone; a relative one in the current directory, then in the
// configuration directory. On success *path points at this module's text of
// the file found, valid until the next call. A null or empty name gives 0 and
// a null *path. Failures leave *path unchanged: ERR_CANT_READ_FILE (not
// found), ERR_CANT_OPEN_FILE (configuration directory needed but absent),
// ERR_NO_MEM.
int u_find_file(const char* name, const char** path);

// The default system calibration file name of calibration set `index`:
// computer name, '.', the index ("BENCH7.1").
const char* u_syscal_file_name(int index);

// The derivation behind the cached directories, from given inputs: nothing is
// cached or printed. A null environment value is an unset variable. Each
// returns false when the directory is absent.
bool u_derive_install_dir(const char* env_value, const char* exe_path, std::string* dir);
bool u_derive_config_dir(const char* env_value, const char* install_dir, std::string* dir);
// Creates the ramps directory when it is derived and missing.
bool u_derive_ramps_dir(const char* env_value, const char* config_dir, std::string* dir);
