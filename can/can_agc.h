// Automatic gain control of the QEL-family instruments: a background thread
// that grabs camera frames, finds the level of the 100 brightest pixels and
// turns the ND wheel until that level is within 1/32 of full scale of the
// light source's target. Nothing here acts on other instruments.
//
// Start, stop, suspension and release are called from the instrument's
// thread and must not run concurrently with each other; the modes and the
// thread's state are atomic so that the thread and observers read them
// safely. There is at most one thread per process.
#pragma once

#include <cstdint>

struct SystemInfo;
struct FrameStore;

// Where the thread takes its frames from: the frame acquisition installs
// these at its start-up (the CAN layer cannot call it). Each fills the
// image's window and buffer or returns a status code. The image is a
// one-frame FrameStore of window (0, 0, width, height), 1 byte per pixel for
// 8-bit modes and 2 otherwise; the thread reads width x height packed pixels
// from its matrix. A numbered copy after a grab asks for frame 0, the grab's
// first.
struct CanAgcFrameSource {
    int (*copyLatest)(SystemInfo* info, FrameStore* image);  // the most recent live frame
    int (*grab)(SystemInfo* info, int first, int count);     // start a grab of frames
    int (*copyNumbered)(SystemInfo* info, FrameStore* image, int frame, double timeoutSeconds);
};
// Null removes the source: a thread then ends with ERR_ACQ_DEVICE_CLOSE.
void can_agc_set_frame_source(const CanAgcFrameSource* source);

int can_agc_init();
int can_agc_start(SystemInfo* info, uint32_t mode);
int can_agc_start_thread(SystemInfo* info);
int can_agc_stop_thread();
int can_agc_stop(SystemInfo* info);
int can_agc_suspend(SystemInfo* info, bool suspend);
int can_agc_release();

// The light-level-control mode the running thread serves (0: none): the
// instrument layer's current automatic mode.
uint32_t can_agc_active_mode();
uint32_t can_agc_requested_mode();
int32_t can_agc_suspension_count();
// A thread that ended by itself does not count as running.
bool can_agc_thread_running();
// True from a stop's signal until the thread has ended or been let go: a
// frame source whose read can block long may poll it.
bool can_agc_stopping();
// The result of the last thread that ended by itself (0 after a stop).
int can_agc_thread_result();

// Waits for the ND wheel to stop after a light-level write: up to 300 waits
// of 10 ms on "CAN_NDWHEEL_STOPPED", polling the CAN event queues between
// them (ERR_HW_FAIL when it never comes), or 1300 ms when the event does not
// exist.
int ac_llc_wait(SystemInfo* info);
