// Test support: the simulated frame-acquisition library, loaded the way the
// program loads "TsnAcq.dll" (so both use one instance), with its control
// entries and its 31 library entries resolved; the line-detection modules'
// control entries; and writing the TsnAcq.ini that InitDeviceMgr reads from
// the directory named by "SystemRoot".
#pragma once

#include <string>

#include "acq/acq_api.h"
#include "sim/acq/simacq.h"

struct SimAcq {
#define SIMACQ_SESSION_MEMBER(name) name##_t name;
    SIMACQ_ENTRY_LIST(SIMACQ_SESSION_MEMBER)
    ACQ_ENTRY_LIST(SIMACQ_SESSION_MEMBER)
#undef SIMACQ_SESSION_MEMBER
};

// The build directory of libTsnAcq.so, libpulsaracq.so and libpulsarnorun.so
// (the CAN bridge simulator's directory too), and the directory of the
// TsnAcq variant lacking AcqInputModeSet.
const char* simacq_library_directory();
const char* simacq_broken_library_directory();

// Points the platform's library lookup at simacq_library_directory(), loads
// "TsnAcq.dll" once and resolves every entry. Null (with a message on
// stderr) when the library or an entry is missing. The session keeps the
// library loaded, so its state outlives the program's own release.
SimAcq* simacq_session();

// simacq_reset() of the session's library and simld_reset() of both
// line-detection modules: the state between tests.
void simacq_session_reset();

// The line-detection module's control entries ("pulsaracq.dll" or
// "pulsarnorun.dll"), loaded and kept loaded like the library. False or 0
// when the module cannot be loaded.
bool simld_session_last(const char* module, const char* entry, double* value);
int32_t simld_session_calls(const char* module, const char* entry);

// The default device tree: device "FG0" (MODULE=pulsaracq.dll, 4 grab
// buffers, no display of its own, onboard processing 1) with camera "CAM0"
// (pixel size 7.4) and two modes:
//   "640x480"   DATA RATE 60, 640 × 480, 8 bits, MEAS INTEGRATION PERIOD 16
//   "1024x1024" DATA RATE 30, 1024 × 1024, 12 bits, MEAS INTEGRATION PERIOD 33
// both with scales 1, HORZ. PERIOD 800, VERT. PERIOD 525, PIXEL CLOCK
// 25e6, DATA INTERLACE 0, DATA SKIP 1, AOI ORIGIN 0, TRIGGER MODE 1,
// CHAB_GAIN 0, READOUT CLOCKS 400000, and neither MAN SHUTTER nor
// INTEGRATION PERIOD (so exposure is neutral whatever is set; see simacq.h).
std::string simacq_default_ini();

// Writes `text` as directory/TsnAcq.ini. False when it cannot be written.
bool simacq_write_ini(const std::string& directory, const std::string& text);
bool simacq_write_default_ini(const std::string& directory);

// Sets "SystemRoot" to the directory (before any thread of the test runs:
// the environment is not for changing under running threads).
void simacq_set_system_root(const std::string& directory);
