// Reading values from ini files, as the acquisition library's configuration
// is read: "[section]" lines and "key=value" lines, sections and keys
// matched without regard to case, values trimmed of blanks (and of one pair
// of matching quotes), the first match wins, ';' starts a comment line.
#pragma once

// Copies the value of `key` in `section` of the file at `path` into buffer
// (size bytes, always terminated), or `default_value` (null: empty, trailing
// blanks dropped) when the file, the section or the key is missing. Returns
// the number of characters copied, without the terminator; a value cut to fit
// gives size - 1.
int plat_ini_get_string(const char* section, const char* key, const char* default_value,
                        char* buffer, int size, const char* path);
