// The system calibration file: reading it into a system slot's SystemInfo
// record, and writing a record back.
#pragma once

#include <cstddef>
#include <string>

#include "config/sysinfo.h"

// Fills the record of `slot` (0 to 3) from `source`:
//  - null or empty: the slot's default calibration file, searched for in the
//    current and the configuration directory;
//  - "+DEFAULTS": resets the record to its defaults;
//  - any other text beginning with '+': one calibration line, applied to the
//    current record without resetting it;
//  - otherwise the path of a calibration file.
// Messages go through u_msg_sink. Returns 0 or a status code.
int sb_readCal(int slot, const char* source);

// Writes the record of `slot` to `path` (null or empty: the slot's default file
// in the configuration directory, or the current directory without one). The
// file is replaced only when the whole record was written without error.
int sb_writeCal(int slot, const char* path);

// Reads calibration text held in memory as the file `name` would be read
// (without opening anything). For tests and the fuzz target.
int sb_read_cal_text(int slot, const char* data, std::size_t size, const char* name);

// The text sb_writeCal writes for a record (with `heading`, the leading
// comment line), and the writer's status; messages name `path`.
int sb_format_cal(const SbCalibration& cal, const char* path, bool heading, std::string* text);
