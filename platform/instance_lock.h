// A lock shared by every process of the machine, such as the one that keeps
// the acquisition system to one process: an exclusive lock on "NAME.lock" in
// the temporary directory. The system drops it when the holder dies. Within
// a process it behaves as a mutex: another thread waits for it, the thread
// that holds it may take it again and releases it as often as it took it.
#pragma once

#include <cstdint>

struct PlatInstanceLock;

// Opens the lock of that name (nothing is taken yet). Null with errno set when
// the name is empty or holds '/'.
PlatInstanceLock* plat_instance_lock_open(const char* name);

// Takes the lock, trying until `timeout_ms` of the library's clock have passed
// (PLAT_INFINITE: no limit): 0 when taken, PLAT_WAIT_TIMEOUT, or
// PLAT_WAIT_FAILED when the lock file cannot be opened.
int plat_instance_lock_wait(PlatInstanceLock* lock, int64_t timeout_ms);

// Releases one hold. False when the calling thread does not hold the lock.
bool plat_instance_lock_release(PlatInstanceLock* lock);

// Closes the handle; holds the calling thread still has are released first.
// Closing the last handle of the name in the process releases the lock
// whichever thread holds it. Null is ignored.
void plat_instance_lock_close(PlatInstanceLock* lock);
