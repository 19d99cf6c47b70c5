// Power state of an instrument, kept in its SystemInfo.
#pragma once

#include <cstdint>

#include "config/rampcfg.h"

// Written by the instrument power control and the board power sequences.
struct SysPowerState {
    bool instrumentOn;       // power-on succeeded and no power-off since
    uint8_t instrBdVersion;  // board software version reported at power-on
    bool syncCamera;         // the camera runs from the board's sync generator
    bool pifocCompPresent;   // piezo-compensation expansion board present
    int32_t pztType;         // actuator the board drives: 1 piezo focus, 2 PZT
    // The ramp set a serial board's power-on loaded; released at power-off.
    RrRampSet rampSet;
};
