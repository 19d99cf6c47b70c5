// Writing a file that may replace another: the data goes to a temporary file
// beside the target, which is renamed over the target only once everything
// was written, flushed and closed without error. A failed or abandoned write
// leaves an existing target untouched and no temporary file behind.
//
// A symbolic link is followed to its real target (the link stays). A target
// that exists but is not a regular file (a pipe, a device) is written
// directly, never renamed over. A new file gets 0666 less the umask; a
// replaced file keeps its own permission bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct PlatReplaceFile {
    FILE* stream;    // the stream to write to while open; null otherwise
    int error;       // errno of the first failure; 0 when none
    char* target;    // the resolved target path (owned)
    char* temp;      // the temporary file's path (owned); null when written directly
    bool replacing;  // an existing file is being replaced (synced to disk before the rename)

    // Opens `target_text` (byte-order-mark path convention, platform/path.h)
    // for writing through a temporary file named `temp_prefix` + six random
    // characters in the target's directory. Returns the stream, or null with
    // `error` set (a directory, a missing directory, no permission, ...).
    FILE* open(const char* target_text, const char* temp_prefix, std::size_t text_size = SIZE_MAX);

    // Flushes and closes the stream and renames the temporary file over the
    // target. True on success; on any failure (including an earlier failed
    // write seen on the stream) the temporary file is removed and false returned.
    bool commit();

    // Closes and removes the temporary file; the target stays as it was.
    // Safe on a zeroed or already finished object.
    void abort();
};
