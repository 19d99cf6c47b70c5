// A wake-up for a thread that sleeps in a poll of a descriptor: other threads
// signal it when they have changed something the sleeper must look at, and
// the sleeper wakes at once instead of at its next time-out. Signals do not
// count: any number of them before a drain wake the sleeper once.
#pragma once

#include <cstdint>

struct PlatWakeup {
    int fd = -1;
};

// No deadline: wait until the descriptor is ready or the wake-up is signalled.
constexpr int64_t PLAT_NO_DEADLINE = INT64_MAX;

// What plat_wakeup_wait saw (0: the deadline passed).
constexpr int PLAT_READY_READ = 1;   // readable, hung up or in error
constexpr int PLAT_READY_WRITE = 2;  // writable
constexpr int PLAT_READY_WOKEN = 4;  // the wake-up is signalled

// Creates the wake-up, not signalled. False with errno set on failure.
bool plat_wakeup_open(PlatWakeup* wakeup);

// Closes it (a closed one is ignored).
void plat_wakeup_close(PlatWakeup* wakeup);

// Signals it. Never blocks; any thread may call it.
void plat_wakeup_signal(PlatWakeup* wakeup);

// Clears the signal. True when it was signalled.
bool plat_wakeup_drain(PlatWakeup* wakeup);

// The descriptor that is readable while the wake-up is signalled.
int plat_wakeup_descriptor(const PlatWakeup* wakeup);

// Waits until `fd` can be read (when `read`) or written (when `write`), the
// wake-up is signalled, or the library's clock reaches `deadline_ns` (as
// plat_clock_ns counts; PLAT_NO_DEADLINE for none). A negative `fd` waits for
// the wake-up alone (as every wait does on Windows, which has no descriptors
// to wait on: there the call never reports `fd` ready). Returns the
// PLAT_READY_* bits seen, 0 when the deadline passed first. Does not drain
// the wake-up: drain it before looking at what the signallers changed, so
// that a signal after the look is not lost.
int plat_wakeup_wait(PlatWakeup* wakeup, int fd, bool read, bool write, int64_t deadline_ns);

// How many times the process's threads have gone to sleep so far (voluntary
// context switches, all threads together), for checks that an idle thread
// really sleeps instead of polling. -1 when the system cannot say (Windows).
int64_t plat_voluntary_switches();
