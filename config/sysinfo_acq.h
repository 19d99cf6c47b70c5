// Run-time state of frame acquisition, kept in an instrument's SystemInfo.
#pragma once

#include <atomic>
#include <cstdint>

constexpr int ACQ_MAX_DEVICES = 3;  // acquisition devices used
constexpr int ACQ_MAX_INPUTS = 3;   // input devices (cameras) used per acquisition device
constexpr int ACQ_MAX_MODES = 7;    // primary camera modes

// A frame size in pixels.
struct AcqSize {
    int16_t width = 0;
    int16_t height = 0;
};

// Filled by the acquisition start-up and mode switches: devices, cameras and
// modes found, the live and measurement modes and their sizes, display
// geometry, timing, and the acquiring/ready flags. The instrument's power
// state (on, board version) is SysPowerState's.
struct SysAcqState {
    // Camera timing bases, set by the host (0 until then): the serial-board
    // code the rate rules add to, and the code used at 130 frames/s.
    int32_t shutterCode = 0;
    int32_t secondCameraCode = 0;

    int32_t numAcqDevices = 0;
    int32_t acqDeviceIds[ACQ_MAX_DEVICES] = {};
    int32_t numCameras = 0;
    int32_t inputDeviceIds[ACQ_MAX_DEVICES][ACQ_MAX_INPUTS] = {};  // [device][input]
    int32_t primaryInputDevice = 0;
    int32_t secondaryInputDevice = 0;
    bool primaryCameraSelected = true;  // false while the secondary camera is in use

    int32_t currentAcqDevice = 0;  // 0: none / closed
    int32_t currentInputDevice = 0;
    int32_t currentMode = 0;

    int32_t numPrimaryModes = 0;
    int32_t numSecondaryModes = 0;
    int32_t primaryModeIds[ACQ_MAX_MODES] = {};
    int32_t secondaryModeId = 0;

    // Per primary mode, as read at discovery. Sizes are MAX USER size divided
    // by the base data scale, before any subsampling; the base scales are the
    // values the library reported, so that subsampling never compounds.
    double modeDataRate[ACQ_MAX_MODES] = {};  // frames per second
    int16_t modeWidth[ACQ_MAX_MODES] = {};
    int16_t modeHeight[ACQ_MAX_MODES] = {};
    int32_t modeBytesPerPixel[ACQ_MAX_MODES] = {};
    int32_t modeBitsPerPixel[ACQ_MAX_MODES] = {};
    int32_t modeIntegrationPeriod[ACQ_MAX_MODES] = {};  // ms
    double modeBaseScaleX[ACQ_MAX_MODES] = {};
    double modeBaseScaleY[ACQ_MAX_MODES] = {};

    int8_t liveModeIndex = 0;  // indexes into primaryModeIds
    int8_t measureModeIndex = 0;
    int8_t thirdModeIndex = 0;

    // Frame sizes before subsampling; consumers divide by the subsampling.
    AcqSize liveSize;
    AcqSize measureSize;
    int32_t liveSubsampling = 1;
    int32_t measureSubsampling = 1;
    int32_t liveFrameSkip = 0;
    int32_t measureFrameSkip = 0;
    int32_t aoiOriginX = 0;  // camera SMD4M15 only
    int32_t aoiOriginY = 0;
    int32_t serialBoardMode = -1;  // camera mode last sent to a serial board; -1: none

    int32_t displayType = 0;  // bit value 2: the library has its own display
    int16_t displayWidth = 0;
    int16_t displayHeight = 0;
    int16_t displayOffsetX = 0;  // centring offsets
    int16_t displayOffsetY = 0;
    double pixelClockMHz = 0;
    double pixelSize = 0;
    int32_t horzPeriod = 0;
    int32_t vertPeriod = 0;  // stored doubled
    double frameRate = 0;
    bool interlaced = false;
    double measureIntegrationPeriod = 0;  // ms

    int32_t startFlag = 0;  // the start-up's flag argument
    // Read by the gain-control thread; every other field changes only while
    // that thread is stopped or suspended.
    std::atomic<bool> acquiring{false};  // AcquireStart issued and not stopped
    bool liveSelected = false;           // the live mode is the selected one
    bool acqReady = false;               // start-up completed
};
