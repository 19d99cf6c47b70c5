// Control of the simulated frame-acquisition library (libTsnAcq.so): what a
// test or the demo scripts and observes. The library's own entries are those
// of acq/acq_api.h. The device tree comes from the ini that InitDeviceMgr
// reads (see simacq.cpp for its sections and keys).
//
// Library model:
// - Ids: acquisition device d (1..4 in ini order) has id d, its camera c has
//   input-device id 10 × d + c, mode m of a camera has id 100 + m. Input
//   devices and modes are looked up among those of the current device and
//   camera.
// - State: select device → input device → mode, OpenDevice, AcquireStart /
//   AcquireStop, CloseDevice. Selecting another device, input device or mode
//   while open, opening twice or starting twice fails with 5 (busy); reading
//   or starting while closed with 6; an unknown device or input device id, or
//   a call before InitDeviceMgr, with 11; no mode, or a mode whose rate is not
//   above 0, size not within 1..32767 or resolution above 16 bits, with 10; a bad name, value,
//   record or window with 12; a parameter the ini does not give and nobody set with 13; onboard
//   work on a device without "ONBOARD PROC" with 26. Selecting a new input device forgets the mode.
//   CloseDevice and AcquireStop on a closed or idle device succeed (nothing to undo). The last
//   error is kept per thread, as each caller translates its own failure; every call but
//   GetLastAcqError sets it, 0 on success.
// - Acquisitions: AcquireStart's live (kind 2) runs until AcquireStop; a
//   grab (kind 1, arg2 = count ≥ 1, arg1 ≥ 0 only recorded) until it has
//   taken its count frames; onboard processing (kind 4, needs "ONBOARD PROC"
//   > 0 and a window inside the frame) completes at once and takes none.
//   Starting while one runs fails with 5. Frames are numbered from 0 at each
//   start; frame n is taken at start + (n + 1) × 1000 / DATA RATE ms on the
//   library's clock (the rate as at the start).
// - Reads: a read binds to the acquisition running when it is made or, when
//   none runs, to the next one started. Kind 2 gets the frame being taken
//   (the last of a grab that has ended), kind 3 frame n, each once taken;
//   neither waits past the request's time-out (error 16). Kind 3 beyond a
//   grab's count fails with 12 at once. The frames of an acquisition that has
//   ended stay readable until the next start or the close: kind 3 any frame
//   it took, kind 2 the last frame of a completed grab. A read bound to an
//   acquisition that is stopped or restarted while it waits fails with 16; a
//   read waiting when the device closes or on reset with 6. Kinds 5-7 (need
//   "ONBOARD PROC" > 0) write the pattern (kind × 16 + x + y) masked to the
//   mode's bits, at once.
// - Frame size: MAX USER WIDTH ÷ X DATA SCALE by MAX USER HEIGHT ÷ Y DATA
//   SCALE (truncated, at least 1; a scale from the ini not above 0 or not
//   finite counts as 1); AcqInputModeSet of a scale changes it.
//   Bytes per pixel: DATA RESOLUTION bits (8 when missing) rounded up to
//   whole bytes, little-endian. A read's window (x, y, width, height) must lie
//   inside the frame with width and height ≥ 1, `one` must be 1, `zero` 0,
//   the time-out not below 0 and the buffer set; exactly width × height ×
//   bytes are written, packed rows.
//
// Optics of a scene frame (SIMACQ_FRAMES_SCENE), pixel value before clipping:
//   v = S(x, y) × F × LED × T(w) × G × E + noise
//   F    full scale, 2^bits - 1 (bits = DATA RESOLUTION, 8 when missing)
//   S    the scene, 0..1: a flat disc at exactly 1 in the middle of the full
//        (unscaled) frame, radius min(width, height) / 8 (so more than 100
//        pixels of any frame of at least 48 × 48 after subsampling), and
//        fringes under a broad spot, below 0.9, around it
//   LED  light level of the LED node as last set / 65535 (simbench): 0
//        after simbench_reset (and so simcan_reset), so frames stay dark
//        until the LED node is written or simbench_set_light_level is called
//   T(w) ND wheel transmission at its node-64 motor-2 level w as on the wire
//        (simbench, the level at the instant the frame is taken):
//        10^(-3 × (65535 - w) / 65535): 1 at w = 65535, 0.001 at w = 0. The
//        gain control writes the inverse of its command, so a command c
//        gives T = 10^(-3 × c / 65535).
//   G    10^(CHAB_GAIN / 20), gain in dB (0 dB when never set nor in the ini)
//   E    (INTEGRATION PERIOD / its ini value) × (MAN SHUTTER / its ini
//        value), the values as set now; a factor whose ini value is missing
//        or not above 0 is 1, one whose value is set to 0 or below makes the
//        frame dark
//   noise  -1, 0 or +1, pseudo-random per pixel and frame
// then rounded to the nearest integer and clipped to 0..F. So the 100
// brightest pixels of a frame sit at F × LED × T × G × E (±1), clipped.
#pragma once

#include <cstdint>

#include "acq/acq_api.h"

extern "C" {

// Everything back to its start: no scripts, scene frames, no calls counted,
// library state closed and uninitialised, waiting reads released (error 6).
// Does not unload the library and leaves the bench (wheel, LED) alone.
void simacq_reset();

// What frames show.
constexpr int SIMACQ_FRAMES_SCENE = 0;      // the optics model
constexpr int SIMACQ_FRAMES_SATURATED = 1;  // every pixel at full scale
constexpr int SIMACQ_FRAMES_DARK = 2;       // every pixel 0
// Exactly 100 pixels at `level` (clipped to full scale; the first 100 of the
// frame in row order), the rest at level / 2. Reads of a part of the frame
// see the part.
constexpr int SIMACQ_FRAMES_LEVEL = 3;
void simacq_set_frames(int kind, int32_t level);

// The next `count` calls of `entry` (e.g. "ReadDevice") fail with library
// error `error` before doing anything (count ≤ 0 clears the script). A
// failing ReadDevice writes nothing and does not wait.
void simacq_fail_next(const char* entry, int32_t count, int32_t error);

// While held, ReadDevice calls wait (up to their time-out) until released.
void simacq_hold_reads(bool hold);
// ReadDevice calls blocked now (held, or waiting for their frame).
int32_t simacq_reads_waiting();
// Waits until at least `count` reads are blocked (true) or `timeoutMs` of
// the library's clock pass (false).
bool simacq_wait_reads_waiting(int32_t count, int64_t timeoutMs);

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
// The last "CFG FILE PATH" set (terminated, cut to size); false if none.
bool simacq_cfg_file_path(char* path, int32_t size);

// The last frame a read delivered: its number, when it was taken (library
// clock, ms) and the wheel level (as on the wire) it was taken at.
struct SimAcqFrameInfo {
    int64_t number;
    int64_t takenMs;
    uint16_t wheelLevel;
    uint16_t ledLevel;
    int32_t width;
    int32_t height;
};
bool simacq_last_frame(SimAcqFrameInfo* info);

// The line-detection module's last value given to an entry (e.g.
// "SetLDNFringes"; RunLDCommand: its command), and its calls; in
// libpulsaracq.so and libpulsarnorun.so, not in libTsnAcq.so.
bool simld_last(const char* entry, double* value);
int32_t simld_call_count(const char* entry);
void simld_reset();
}

// Function-pointer types of the control entries, for tests that resolve them
// from the loaded library.
using simacq_reset_t = decltype(&simacq_reset);
using simacq_set_frames_t = decltype(&simacq_set_frames);
using simacq_fail_next_t = decltype(&simacq_fail_next);
using simacq_hold_reads_t = decltype(&simacq_hold_reads);
using simacq_reads_waiting_t = decltype(&simacq_reads_waiting);
using simacq_wait_reads_waiting_t = decltype(&simacq_wait_reads_waiting);
using simacq_call_count_t = decltype(&simacq_call_count);
using simacq_last_read_t = decltype(&simacq_last_read);
using simacq_last_start_t = decltype(&simacq_last_start);
using simacq_last_graphics_t = decltype(&simacq_last_graphics);
using simacq_last_set_t = decltype(&simacq_last_set);
using simacq_last_frame_t = decltype(&simacq_last_frame);
using simacq_cfg_file_path_t = decltype(&simacq_cfg_file_path);

#define SIMACQ_ENTRY_LIST(X)     \
    X(simacq_reset)              \
    X(simacq_set_frames)         \
    X(simacq_fail_next)          \
    X(simacq_hold_reads)         \
    X(simacq_reads_waiting)      \
    X(simacq_wait_reads_waiting) \
    X(simacq_call_count)         \
    X(simacq_last_read)          \
    X(simacq_last_start)         \
    X(simacq_last_graphics)      \
    X(simacq_last_set)           \
    X(simacq_last_frame)         \
    X(simacq_cfg_file_path)
