// Path texts as the library's callers pass them: narrow (UTF-8) text, or a
// UTF-16 path behind a byte-order mark. A text whose first two bytes are
// FF FE or FE FF carries little-endian UTF-16 code units after the mark, up to
// a zero unit (or the end of the caller's buffer, when its size is known).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// True when the text starts with a UTF-16 byte-order mark. `size` is the
// number of bytes the caller's buffer holds, when known.
bool plat_has_bom(const char* text, std::size_t size = SIZE_MAX);

// The narrow path that `text` names. Returns false when a marked UTF-16 text
// is malformed (an unpaired surrogate): such a path names nothing.
bool plat_path_text(const char* text, std::string* out, std::size_t size = SIZE_MAX);

// Opens a path under the convention above with fopen semantics; the
// descriptor is close-on-exec. Null when the path is malformed or the open fails.
FILE* plat_fopen(const char* text, const char* mode, std::size_t size = SIZE_MAX);

// Opens a path (normally for reading) and makes sure it is a regular file:
// fopen opens directories too on this system, and would wait for a writer on
// a FIFO. Anything else is refused at once: null with errno set (EISDIR for a
// directory, EINVAL for a FIFO, device or socket). Close-on-exec.
FILE* plat_fopen_regular(const char* text, const char* mode, std::size_t size = SIZE_MAX);
