// Test support: file-system fixtures that not every system offers. A test
// whose fixture is missing here skips itself, saying why.
#pragma once

#include <cstdio>
#include <string>

// Makes a FIFO. False where the system has none (Windows).
bool plat_test_make_fifo(const std::string& path);

// Makes a symbolic link. False where links cannot be made (Windows, without
// the privilege).
bool plat_test_make_symlink(const std::string& target, const std::string& link);

// A device on which every write fails for want of space, or null where there
// is none.
const char* plat_test_full_device();

// Sets a file's permission bits (on Windows: the read-only attribute when no
// write bit is set). False when it fails.
bool plat_test_set_mode(const std::string& path, unsigned mode);

// The permission bits as the system reports them (0444 or 0666 on Windows).
unsigned plat_test_mode(const std::string& path);

// True when this process is refused writing to a file without write
// permission (not so for the superuser here).
bool plat_test_read_only_is_enforced();

// True where plat_test_limit_file_size works.
bool plat_test_can_limit_file_size();

// Limits the size of the files this process writes: a write past the limit
// fails (EFBIG) instead of ending the process. For a child process of a test.
bool plat_test_limit_file_size(long long bytes);

// A pipe as two binary streams (for a stream that cannot seek). False when
// it cannot be made.
bool plat_test_pipe(FILE** read_end, FILE** write_end);

// True where plat_test_limit_descriptors works.
bool plat_test_can_limit_descriptors();

// Limits the descriptors this process may hold to `count`, so that a test can
// use them up. For a child process of a test.
bool plat_test_limit_descriptors(int count);

// The null device ("/dev/null", "NUL").
const char* plat_test_null_device();

// True when the path names a character device.
bool plat_test_is_device(const std::string& path);

// True where files have permission bits of their own (not on Windows, where
// only a read-only attribute exists); plat_test_set_umask changes the mask
// for new files there and returns the old one.
bool plat_test_has_permission_bits();
unsigned plat_test_set_umask(unsigned mask);

// True when the stream's descriptor or handle stays out of programs started
// by this process (close-on-exec, or not inheritable).
bool plat_test_closed_on_exec(FILE* file);

// True when reads on the stream block until data comes.
bool plat_test_blocking(FILE* file);

// Ends this process after `seconds` of real time, for a child of a test that
// might block (nothing where the system has no alarm signal).
void plat_test_end_after(unsigned seconds);

// Why the fixtures above are missing, for GTEST_SKIP().
constexpr const char* kPlatTestNoFifo = "no FIFOs on this system";
constexpr const char* kPlatTestNoSymlink = "symbolic links cannot be made here";
constexpr const char* kPlatTestNoFullDevice = "no device that is always full on this system";
