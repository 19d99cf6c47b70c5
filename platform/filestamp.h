// What a cache needs to tell whether a file changed since it was read: the
// modification and status-change times, the size and the file's identity.
// Two reads within one timestamp tick are told apart by the size or, for a
// file replaced by rename, by the inode.
#pragma once

#include <cstdint>

struct PlatFileStamp {
    int64_t mtimeNs;  // last modification, nanoseconds since the epoch
    int64_t ctimeNs;  // last status change (a rename or chmod as well)
    int64_t size;
    uint64_t device;
    uint64_t inode;

    bool operator==(const PlatFileStamp&) const = default;
};

// The stamp of the file a path leads to (symbolic links followed). False with
// errno set when the file cannot be reached.
bool plat_file_stamp(const char* path, PlatFileStamp* stamp);
