// State shared by the acquisition module's files. The library's entries are
// resolved once at load and read by the gain-control thread afterwards; the
// thread is stopped before they are cleared.
#pragma once

#include <atomic>
#include <cstdint>

#include "acq/acq_api.h"

struct PlatLibrary;
struct PlatWaitable;
struct PlatInstanceLock;
struct SystemInfo;

struct AcqEntries {
#define ACQ_ENTRY_MEMBER(name) name##_t name = nullptr;
    ACQ_ENTRY_LIST(ACQ_ENTRY_MEMBER)
#undef ACQ_ENTRY_MEMBER
};

struct AcqLdEntries {
#define ACQ_LD_MEMBER(name) name##_t name = nullptr;
    ACQ_LD_ENTRY_LIST(ACQ_LD_MEMBER)
#undef ACQ_LD_MEMBER
};

struct AcqGlobals {
    PlatLibrary* library = nullptr;
    AcqEntries fn;
    PlatLibrary* ldLibrary = nullptr;
    AcqLdEntries ld;
    PlatInstanceLock* instanceLock = nullptr;
    bool instanceHeld = false;
    // Created once and kept for the process: the gain-control thread may be
    // inside a copy while the library is released.
    PlatWaitable* copyLock = nullptr;
    int lastCameraCode = -1;
    double onboardCapability = 0;
    SystemInfo* info = nullptr;  // the record of the start-up
};

AcqGlobals& acq_globals();

// Helpers over the entries. Each returns the library's success flag.
bool acq_mode_query(const char* name, double* value);
bool acq_mode_set(const char* name, double value);
// The library's error, or `fallback` when it reports none.
int acq_lib_error_or(int fallback);
// Index of a mode id among the primary modes, -1 when not there.
int acq_mode_index(const SystemInfo* info, int modeId);
// A value the library reported, as an integer within lo..hi: saturated at the
// ends, lo when not a number (an out-of-range conversion is undefined).
inline int32_t acq_clamp_int(double value, int32_t lo, int32_t hi) {
    if (!(value >= lo)) return lo;
    if (value >= hi) return hi;
    return static_cast<int32_t>(value);
}
// Installs the gain-control frame source (start-up) or removes it.
void acq_install_frame_source(bool install);
