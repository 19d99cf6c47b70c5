// Run-time state of motion control and the position instrument, kept in an
// instrument's SystemInfo.
#pragma once

#include <cstdint>
#include <string>

// Filled by the motion wrapper connection (motion/mwi.h). The handle is
// written only by the open and the close, on the caller's thread.
struct SysMotionState {
    int32_t controllerType = 0;  // 3: driven through the motion wrapper library
    int64_t handle = -1;         // the library's controller handle; -1: closed
    std::string configName;      // the motion configuration last opened
    int32_t eventState = 0;      // 2 after library event 5, 1 after event 3
};

// Filled by the position instrument controller (posinstr/posinstr.h): the open
// device, the units code, the running position, zero offset, scale and the
// initialised flag. The drivers own what `handle` stands for.
struct SysPosInstrState {
    int32_t posInstrType = 0;        // 0 none, 1 to 12 the position-instrument types
    intptr_t handle = -1;            // the type's open device or port; -1: not open
    uint8_t unitsCode = 0;           // 24 or 25: wavelength of the counting types; 24 counts down
    bool checkReadStatus = false;    // a type-1 reading whose status reports an error fails
    bool counterStatusFlag = false;  // cleared when the type-1 counter reports status 1
    int32_t lastRaw = 0;             // last counter value of types 1 and 2
    double position = 0;             // counts for types 1 and 2, millimetres for the others
    double zeroOffset = 0;           // the first reading of the absolute types 3, 6, 7 and 9
    double scale = 0;                // divisor of the counting types' resolution
    bool initialised = false;
    void* motion = nullptr;  // the motion controller type 6 reads its Z axis through
};
