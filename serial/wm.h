// Wave monitor: the controller that switches the laser of the tunable-laser
// systems, reports its state and calibration, and whose limits bound the
// laser-tuning ramps. Short ASCII commands ended by CR; replies are single
// acknowledgement bytes or blocks of data bytes closed by one.
#pragma once

#include <cstdint>

#include "datafile/surface.h"
#include "serial/sio.h"

struct SystemInfo;
struct SysWaveMonitorState;

constexpr uint8_t WM_ACK = 0x06;
constexpr uint8_t WM_NAK = 0x15;
constexpr uint8_t WM_CR = 0x0D;

// Reply kinds of wm_comm_read.
enum WmRespType : int {
    WM_RESP_ACK = 1,            // one byte: ACK or NAK
    WM_RESP_READ = 2,           // exactly respLen data bytes
    WM_RESP_READ_ACK = 3,       // respLen data bytes, then ACK or NAK
    WM_RESP_SIZE_READ_ACK = 4,  // a 4-byte count N, respLen + size x N bytes, ACK or NAK
};

constexpr int WM_DEFAULT_TIMEOUT_S = 10;  // a timeout below 1 second means this

// A size-prefixed reply larger than this is refused unread: the count comes
// from the device and must not size the buffer unchecked.
constexpr int64_t WM_SIZE_READ_MAX_BYTES = 1 << 20;

// Laser switching: polls of "LO?" one second apart.
constexpr int WM_LASER_POLLS = 10;
constexpr int WM_LASER_POLL_MS = 1000;
constexpr uint32_t WM_LASER_ON_BIT = 1u << 15;

// Status flags of "MS?".
constexpr uint32_t WM_STATUS_CALIBRATED = 1u << 0;
constexpr uint32_t WM_STATUS_FOUR_CHANNEL = 1u << 30;
constexpr uint32_t WM_STATUS_SECOND_TYPE = 1u << 31;
constexpr uint32_t WM_STATUS_TYPE_BITS = WM_STATUS_FOUR_CHANNEL | WM_STATUS_SECOND_TYPE;

// Reply lengths of the commands (data bytes before the closing ACK).
constexpr int WM_LO_REPLY_LEN = 4;
constexpr int WM_MS_REPLY_LEN = 36;
constexpr int WM_CC_REPLY_LEN = 4;
constexpr int WM_CC4_REPLY_LEN = 40;  // four-channel type
constexpr int WM_RR_REPLY_LEN = 8;

// Ramp limits.
constexpr int WM_MAX_BUCKETS = 3800;
constexpr double WM_LIMIT_SLACK = 0.001;
constexpr double WM_DEFAULT_MAX_TUNE_RANGE = 1.5e11;  // systems without a wave monitor

// Opens and sets up the line (115200 baud, no parity, XON/XOFF off): 0 or
// ERR_WM_COMM after "wm_comm_open_fd: error initializing device %s: %s\n".
int wm_comm_open_fd(SerialHandle* holder, const char* device);
// Closes the line: sio_close's result, 0 for a null holder.
int wm_comm_close(SerialHandle* holder);

// Drops whatever is waiting on the line: 0, or ERR_WM_COMM after
// "wm_flush_inp: sio_clear_buffer failed\n".
int wm_flush_inp(SerialHandle port);

// Sends a command text and its CR: 0 or ERR_WM_COMM. A null port sends
// nothing and returns 0.
int wm_comm_write(SerialHandle port, const char* text);

// Reads a reply of the given kind into `reply`, which it sizes (the caller
// owns it and releases it; it is released here when the read fails). The
// first byte is awaited for `timeout_s` seconds (below 1: 10), the port's own
// read timeout is restored afterwards. 0, ERR_INVALID_PARAM, ERR_WM_TIMEOUT,
// ERR_WM_NAK, ERR_WM_READ or ERR_WM_COMM; every failure prints one
// time-stamped line.
int wm_comm_read(SerialHandle port, Vector1* reply, int respLen, int size, int respType,
                 int timeout_s);

// wm_comm_write, then wm_comm_read; 0 or the first error.
int wm_comm_write_rd(SerialHandle port, const char* text, Vector1* reply, int respLen, int size,
                     int respType, int timeout_s);

// "LO?": the laser status word (bit 15: on).
int wm_get_laser_status(SerialHandle port, uint32_t* status);
// "LO=1" / "LO=0".
int wm_set_laser(SerialHandle port, int on);
// "LO=", then "LO?" every second until the laser is in the wanted state:
// 0, the error of a failed command, ERR_KORVATEN_ABORTED when the abort
// query says so, or ERR_WM_LASER_CONTROL_TIMEOUT after ten polls.
int wm_set_laser_with_wait(SerialHandle port, int on);

// The nine words of "MS?" (3, 4 and 5 are floats; the rest integers).
struct WmStatusReply {
    uint32_t flags;
    int32_t word1;
    int32_t word2;
    float maxTuneRange;
    float minTuneRate;
    float maxTuneRate;
    int32_t secondsSinceCal;
    int32_t word7;
    int32_t word8;
};
int wm_get_status(SerialHandle port, WmStatusReply* status);

// "CC?" of the single-channel types: the system gain.
int wm_get_sys_gain(SerialHandle port, float* gain);
// "CC?" of the four-channel type.
struct WmFourChannelCal {
    float adcGain[4];
    float sysGain;
    uint16_t adcOffset[4];
    float phaseOffset[3];
};
int wm_get_four_channel_cal(SerialHandle port, WmFourChannelCal* cal);

// "CL=%d" with the wavelength times 10000000, truncated. ERR_INVALID_PARAM
// when that does not fit an int.
int wm_set_wavelength(SerialHandle port, double wavelength);
// "SS=%f": the system gain.
int wm_set_sys_gain(SerialHandle port, double gain);
// "RR=%d,%d": two integers in, two 32-bit integers back.
int wm_set_rr(SerialHandle port, int first, int second, int32_t reply[2]);

// Reads the calibration state into `state`: "MS?", then for a calibrated
// monitor "CC?" of its type (see wm.cpp). 0 or the first error.
int wm_read_cal_state(SerialHandle port, SysWaveMonitorState* state);
// Prints the calibration state.
void wm_report_cal_state(const SysWaveMonitorState* state);
// Reads the monitor's tuning limits ("MS?") into `state`, where the ramp
// checks find them. 0, or the command's error with `state` unchanged.
int wm_init_ramp_info(SerialHandle port, SysWaveMonitorState* state);

// Checks a tuning ramp of range `req_range` over `req_buckets` frames against
// the system's limits, the rate taken at the frame rate of the camera mode in
// use: 0, ERR_WM_TUNE_RANGE_TOO_LARGE, ERR_WM_NUM_BUCKETS_TOO_LARGE,
// ERR_WM_TUNE_RATE_TOO_SLOW, or ERR_INVALID_PARAM when the rate cannot be
// worked out (no buckets, no frame rate).
int wm_verify_ramp_in_limits(const SystemInfo* info, double req_range, int req_buckets);

// True for the system types that carry a wave monitor (19, 27, 30, 32, 33).
bool wm_system_has_monitor(int32_t systemType);
