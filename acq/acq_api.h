// The frame-acquisition library's interface: the 31 entry points the program
// imports by name from "TsnAcq.dll" (libTsnAcq.so here), the request records
// and graphics command it passes, and the line-detection module's entries.
// Shared by the loader in acq/ and by the simulated library in sim/acq/, so
// both sides agree byte for byte.
//
// Conventions: names are at most ACQ_NAME_MAX bytes with the terminator and
// are copied into the caller's buffer; ids are positive, 0 is "none" or a
// failure. "Non-zero = success" entries set the library's last error on
// failure; OpenDevice and CloseDevice return 0 on success.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

constexpr int ACQ_NAME_MAX = 64;

// Kinds of a read request.
constexpr int32_t ACQ_READ_LATEST = 2;
constexpr int32_t ACQ_READ_NUMBERED = 3;
constexpr int32_t ACQ_READ_ONBOARD_FIRST = 5;  // 5, 6, 7: onboard-processing results
constexpr int32_t ACQ_READ_ONBOARD_LAST = 7;

// Kinds of a start request.
constexpr int32_t ACQ_START_GRAB = 1;
constexpr int32_t ACQ_START_LIVE = 2;
constexpr int32_t ACQ_START_ONBOARD = 4;

// Passed to ReadDevice. The library writes the frame's window (x, y, width,
// height, in frame pixels) into `buffer` as packed rows of width pixels.
struct AcqReadRequest {
    int32_t kind;       // 0
    int32_t zero;       // 4
    int32_t frame;      // 8: frame number of a numbered read, counted from the grab's start
    int32_t timeoutMs;  // 12
    int32_t x;          // 16
    int32_t y;          // 20
    int32_t width;      // 24
    int32_t height;     // 28
    int32_t reserved[6];
    int32_t one;  // 56: always 1
    int32_t pad;
    void* buffer;  // 64
};
static_assert(offsetof(AcqReadRequest, frame) == 8);
static_assert(offsetof(AcqReadRequest, timeoutMs) == 12);
static_assert(offsetof(AcqReadRequest, x) == 16);
static_assert(offsetof(AcqReadRequest, height) == 28);
static_assert(offsetof(AcqReadRequest, one) == 56);
static_assert(offsetof(AcqReadRequest, buffer) == 64);
static_assert(sizeof(AcqReadRequest) == 72);

// Passed to AcquireStart.
struct AcqStartRequest {
    int32_t kind;  // 0
    int32_t zero;  // 4
    int32_t arg1;  // 8: grab's first argument, or the onboard value
    int32_t arg2;  // 12: grab's second argument, else 0
    int16_t x;     // 16: onboard-processing window
    int16_t y;
    int16_t width;
    int16_t height;
};
static_assert(offsetof(AcqStartRequest, arg1) == 8);
static_assert(offsetof(AcqStartRequest, arg2) == 12);
static_assert(offsetof(AcqStartRequest, x) == 16);
static_assert(offsetof(AcqStartRequest, height) == 22);
static_assert(sizeof(AcqStartRequest) == 24);

// The "GRAPHICS COMMAND" block of AcqDeviceSet: 20 ints, the command first.
constexpr int ACQ_GRAPHICS_INTS = 20;
constexpr int32_t ACQ_GRAPHICS_OUTLINE = 9;  // x, y, width, height at 1-4; 1, 2, 0, 1 at 8-11
constexpr int32_t ACQ_GRAPHICS_MODE = 10;    // mode value at 12
static_assert(ACQ_GRAPHICS_INTS * sizeof(int32_t) == 80);

// Entry points, in the order the loader imports them.
//
// AcqDeviceSet's value points at a double, except for "CFG FILE PATH" (a
// terminated string) and "GRAPHICS COMMAND" (the 80-byte block). The input
// device and mode set calls always take a double.
using InitDeviceMgr_t = int32_t (*)(const char* iniName);  // non-zero: success
using FreeDeviceResources_t = void (*)();
using GetNumAcqDevices_t = int32_t (*)();
using GetFirstAcqDeviceName_t = int32_t (*)(char* name, int32_t size);  // non-zero: a name
using GetNextAcqDeviceName_t = int32_t (*)(char* name, int32_t size);
using GetAcqDeviceId_t = int32_t (*)(const char* name);                 // 0: failure
using SetCurrentAcqDevice_t = int32_t (*)(int32_t id);                  // non-zero: success
using OpenDevice_t = int32_t (*)();                                     // 0: success
using CloseDevice_t = int32_t (*)();                                    // 0: success
using ReadDevice_t = int32_t (*)(AcqReadRequest* request);              // non-zero: success
using AcquireStart_t = int32_t (*)(AcqStartRequest* request);           // non-zero: success
using AcquireStop_t = int32_t (*)();                                    // non-zero: success
using AcqDeviceQuery_t = int32_t (*)(const char* name, double* value);  // non-zero: found
using AcqDeviceSet_t = int32_t (*)(const char* name, const void* value);
using GetLastAcqError_t = int32_t (*)();     // 0: none
using GetNumInputDevices_t = int32_t (*)();  // of the current acquisition device
using GetFirstInputDeviceName_t = int32_t (*)(char* name, int32_t size);
using GetNextInputDeviceName_t = int32_t (*)(char* name, int32_t size);
using GetInputDeviceId_t = int32_t (*)(const char* name);
using SetCurrentInputDevice_t = int32_t (*)(int32_t id);
using GetCurrentInputDevice_t = int32_t (*)();  // 0: none
using AcqInputDeviceQuery_t = int32_t (*)(const char* name, double* value);
using AcqInputDeviceSet_t = int32_t (*)(const char* name, const double* value);
using GetNumInputModes_t = int32_t (*)();  // of the current input device
using GetFirstInputModeName_t = int32_t (*)(char* name, int32_t size);
using GetNextInputModeName_t = int32_t (*)(char* name, int32_t size);
using GetInputModeId_t = int32_t (*)(const char* name);
using SetCurrentInputMode_t = int32_t (*)(int32_t id);
using GetCurrentInputMode_t = int32_t (*)();
using AcqInputModeQuery_t = int32_t (*)(const char* name, double* value);
using AcqInputModeSet_t = int32_t (*)(const char* name, const double* value);

#define ACQ_ENTRY_LIST(X)      \
    X(InitDeviceMgr)           \
    X(FreeDeviceResources)     \
    X(GetNumAcqDevices)        \
    X(GetFirstAcqDeviceName)   \
    X(GetNextAcqDeviceName)    \
    X(GetAcqDeviceId)          \
    X(SetCurrentAcqDevice)     \
    X(OpenDevice)              \
    X(CloseDevice)             \
    X(ReadDevice)              \
    X(AcquireStart)            \
    X(AcquireStop)             \
    X(AcqDeviceQuery)          \
    X(AcqDeviceSet)            \
    X(GetLastAcqError)         \
    X(GetNumInputDevices)      \
    X(GetFirstInputDeviceName) \
    X(GetNextInputDeviceName)  \
    X(GetInputDeviceId)        \
    X(SetCurrentInputDevice)   \
    X(GetCurrentInputDevice)   \
    X(AcqInputDeviceQuery)     \
    X(AcqInputDeviceSet)       \
    X(GetNumInputModes)        \
    X(GetFirstInputModeName)   \
    X(GetNextInputModeName)    \
    X(GetInputModeId)          \
    X(SetCurrentInputMode)     \
    X(GetCurrentInputMode)     \
    X(AcqInputModeQuery)       \
    X(AcqInputModeSet)

constexpr int ACQ_ENTRY_COUNT = 31;

// The line-detection module ("pulsaracq.dll" unless TsnAcq.ini's MODULE of
// [ACQDEVICE1] names another): what it does with the values is its own.
using SetLDNFringes_t = int32_t (*)(int32_t fringes);
using SetLDPhaseRes_t = int32_t (*)(int32_t resolution);
using SetLDPrynScale_t = int32_t (*)(double scale);
using SetLDMinArea_t = int32_t (*)(int32_t area);
using RunLDCommand_t = int32_t (*)(int32_t command, void* data);

#define ACQ_LD_ENTRY_LIST(X) \
    X(SetLDNFringes)         \
    X(SetLDPhaseRes)         \
    X(SetLDPrynScale)        \
    X(SetLDMinArea)          \
    X(RunLDCommand)

// Library error numbers (GetLastAcqError).
constexpr int32_t ACQ_LIB_DEVICE_OPEN = 1;
constexpr int32_t ACQ_LIB_DEVICE_BUSY = 5;
constexpr int32_t ACQ_LIB_DEVICE_CLOSED = 6;
constexpr int32_t ACQ_LIB_INVALID_MODE = 10;
constexpr int32_t ACQ_LIB_INVALID_DEVICE = 11;
constexpr int32_t ACQ_LIB_INVALID_PARAMETER = 12;
constexpr int32_t ACQ_LIB_MISSING_PARAMETER = 13;
constexpr int32_t ACQ_LIB_TIMEOUT = 16;
constexpr int32_t ACQ_LIB_OVERFLOW = 17;
constexpr int32_t ACQ_LIB_MISSED_FRAME = 21;
constexpr int32_t ACQ_LIB_CANNOT_FIND_FILE = 24;
constexpr int32_t ACQ_LIB_FIELD_DROP = 25;
}
