// Control of the simulated frame-acquisition library (libTsnAcq.so): what a
// test or the demo scripts and observes. The library's own entries are those
// of acq/acq_api.h. The device tree comes from the ini that InitDeviceMgr
// reads (see simacq.cpp for its sections and keys).
//
// Frames: a fixed scene (a spot with fringes) scaled by the LED level, the
// ND wheel's transmission at the wheel's position when the frame is taken,
// the camera gain and the exposure, plus noise, clipped to the mode's bits.
// See simacq_optics below for the numbers a test derives budgets from.
#pragma once

#include <cstdint>

#include "acq/acq_api.h"

extern "C" {

// Everything back to its start: no scripts, scene frames, no calls counted,
// library state closed. Does not unload the library.
void simacq_reset();

// What frames show.
constexpr int SIMACQ_FRAMES_SCENE = 0;      // the optics model
constexpr int SIMACQ_FRAMES_SATURATED = 1;  // every pixel at full scale
constexpr int SIMACQ_FRAMES_DARK = 2;       // every pixel 0
constexpr int SIMACQ_FRAMES_LEVEL = 3;      // exactly 100 pixels at `level`, the rest below it
void simacq_set_frames(int kind, int32_t level);

// The next `count` calls of `entry` (e.g. "ReadDevice") fail with library
// error `error`.
void simacq_fail_next(const char* entry, int32_t count, int32_t error);

// While held, ReadDevice calls wait (up to their time-out) until released.
void simacq_hold_reads(bool hold);
int32_t simacq_reads_waiting();

// Calls made of an entry since the reset.
int32_t simacq_call_count(const char* entry);
// The last request passed to ReadDevice / AcquireStart (false if none), and
// the last graphics command block.
bool simacq_last_read(AcqReadRequest* request);
bool simacq_last_start(AcqStartRequest* request);
bool simacq_last_graphics(int32_t block[ACQ_GRAPHICS_INTS]);
// The last value set of a parameter at mode, input-device or device level
// (false if never set since the reset).
bool simacq_last_set(const char* name, double* value);
}
