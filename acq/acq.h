// Frame acquisition: the client of the frame-acquisition library
// "TsnAcq.dll". Loads it, discovers devices, cameras and modes, keeps the
// live and measurement modes in SystemInfo::acq, switches between them,
// grabs and copies frames, sets the camera timing on the instrument board,
// and translates the library's error numbers into status codes.
//
// Calls are made from the instrument's thread, except the frame copies
// (pl_copy_fb, pl_copy_frame, pl_grab_frames), which the gain-control thread
// also makes through the frame source installed at start-up. Messages go
// through u_msg_sink: the loading lines, the start-up counts and the text of
// a library error unstamped, everything else time-stamped.
#pragma once

#include <cstdint>

#include "acq/acq_api.h"

struct SystemInfo;
struct FrameStore;
struct Window;
struct PlatThread;

// --- Start-up and release --------------------------------------------------

// Start-up on system record 0: reads the calibration `calibrationFile` (see
// sb_readCal), takes the "PRYNTSCAL" instance lock (500 ms), loads the
// library, discovers, selects the live mode and opens it. Any failure after
// the calibration releases everything. Must run before the instrument's
// threads start (it sets environment variables).
int acq_mgrinit(int flag, const char* calibrationFile);
// Loads "TsnAcq.dll", resolves its 31 entries, echoes the ini read from the
// "SystemRoot" directory, initialises the library with `iniName` and loads
// the line-detection module.
int acq_mgropen(const char* iniName);
// Frees the library's resources, unloads it and the line-detection module,
// gives up the instance lock and clears acqReady. Stops the gain-control
// thread first. The copy lock stays (the gain-control thread may hold it).
void acq_mgrrelease();
// Discovery steps of the start-up.
int acq_getdevices(SystemInfo* info);
int acq_getinputdev(SystemInfo* info);
int acq_getinputmodes(SystemInfo* info);

// True while the library is loaded and its entries resolved.
bool acq_loaded();
// The line-detection module's entries are available.
bool acq_ld_available();
// The onboard-processing capability read at start-up ("ONBOARD PROC").
double acq_onboard_capability();

// Reads the library's last error, prints "Acq Error: " (stamped) and its text
// (unstamped) and returns the status code; 0 when the library reports none.
int acq_lib_error();
// The same translation without reading the library or printing.
int acq_error_code(int32_t libraryError);
const char* acq_error_text(int32_t libraryError);

// --- Device and mode set-up ------------------------------------------------

int pl_device_setup(SystemInfo* info, int inputDevice, int mode, bool open);
int pl_device_open(SystemInfo* info);
// Sets the current mode's data scale (base scale from discovery times the
// live or measurement subsampling), data skip and, for camera SMD4M15, the
// AOI origin.
int pl_mode_setup(SystemInfo* info, bool live);
// Updates the live or measurement size (before subsampling) and, for
// measurement, the timing fields; writes a changed rate to the CAN sync
// generator when the instrument is on.
int pl_update_sysinfo(SystemInfo* info, bool live);
// 1 when the current mode is interlaced, else 0.
int pl_interlaced(SystemInfo* info);

// Switches to live (1) or measurement (0), suspending gain control around it.
int pl_switch_live(SystemInfo* info, int live);
// Selects the secondary camera (1) or the primary one (0) and switches to live.
int pl_select_secondary(SystemInfo* info, int secondary);
// Select the live or the measurement mode: 1 makes that mode the selected
// one and switches to it, 0 leaves it for the other one (pl_select_live(0)
// switches to measurement, pl_select_measure(0) to live). Any other value is
// ERR_PARAM_OUT_OF_RANGE without a change. Live uses the camera chosen with
// pl_select_secondary; measurement always the primary one.
int pl_select_live(SystemInfo* info, int select);
int pl_select_measure(SystemInfo* info, int select);
// Draws the outline of the measurement image's window on the library's
// display (graphics command 9). The window is in pixels of the measurement
// image as grabbed, after the measurement subsampling; one reaching outside
// it, or empty, is ERR_IMPROPER_WINDOW with nothing drawn.
int pl_set_measure_window(SystemInfo* info, const Window& window);
// Measurement subsampling (1 to 8) and frame skip (0 to 255); applied at once
// when in measurement.
int pl_set_measure_subsampling(SystemInfo* info, int subsampling, int frameSkip);
int acq_stop(SystemInfo* info);

// --- Camera timing ---------------------------------------------------------

// CAN boards: the bridge digital output or "MAN SHUTTER" from the mode's rate.
int pl_can_setup(SystemInfo* info);
// Serial boards: I/O 4222/4223, the camera resolution command or "MAN SHUTTER".
// The timing code is sent only when it changed since the last send, or with
// `force`.
int pl_uz_setup(SystemInfo* info, bool live, bool force);
// The board type 6 camera code for an integration period of t seconds (live:
// periods above 32 ms are averaged with 32 ms). *used receives the period
// the code stands for. ERR_ACQ_INVALID_MODE (nothing set) for t <= 0, not
// finite, or a code above 255.
int acq_integration_code(double t, bool live, int* code, double* used);
// Sends the integration period on board type 6: command 42 with the code,
// then command 2 = 1; live also sets "INTEGRATION PERIOD" (ms, at most 32).
int pl_set_integration(SystemInfo* info, bool live, const char* caller);

// --- Frames ----------------------------------------------------------------

int pl_grab_frames(SystemInfo* info, int first, int count);
// The latest frame into the image's window and buffer (1 s time-out). One
// copy at a time: a second concurrent call fails at once with
// ERR_PARAM_OUT_OF_RANGE.
int pl_copy_fb(SystemInfo* info, FrameStore* image);
// Frame `frame` of the current grab (-1: the latest) with a time-out in seconds.
int pl_copy_frame(SystemInfo* info, FrameStore* image, int frame, double timeoutSeconds);
// An onboard-processing result; the caller fills the request (kind 5 to 7).
int pl_read_onboard_result(SystemInfo* info, AcqReadRequest* request);
// Starts onboard processing over `window` with `value`; with `thread` the
// start runs on a new thread returned there (its exit code is the result).
int pl_onboard_start(SystemInfo* info, int value, const Window& window, PlatThread** thread);

int pl_set_trig(SystemInfo* info, double value);
int pl_set_gain(SystemInfo* info, double gain);
int pl_set_shutter(SystemInfo* info, double value);
int pl_get_shutter(SystemInfo* info, double* value);
