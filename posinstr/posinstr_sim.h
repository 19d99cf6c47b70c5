// Simulated position instruments: scripted drivers for every type and a
// scripted motion controller for the Z encoder, installed into the
// controller's tables. Tests and the demo set what the devices answer.
#pragma once

#include <cstdint>
#include <deque>

#include "posinstr/posinstr.h"

// What one read answers: the call's result, the device status, and the
// counter value (types 1 and 2) or the reading (millimetres; inches for the
// Z encoder).
struct PosInstrSimReading {
    int32_t raw = 0;
    double value = 0;
    int status = 0;
    int result = 0;
};

struct PosInstrSimDevice {
    int openResult = 0;
    intptr_t openHandle = 3;  // what a successful open puts in the record
    int initResult = 0;
    int initStatus = 0;
    // Answered in order; once empty, the last answer repeats.
    std::deque<PosInstrSimReading> readings;
    PosInstrSimReading last;
    int opens = 0;
    int inits = 0;
    int reads = 0;

    void push_raw(int32_t raw, int status = 0) { readings.push_back({raw, 0, status, 0}); }
    void push_value(double value, int status = 0) { readings.push_back({0, value, status, 0}); }
    void push_failure(int result) { readings.push_back({0, 0, 0, result}); }
};

// Installs the simulated driver of `type` (1 to 12 except 5 and 6) with a
// fresh script and returns the script; null for any other type.
PosInstrSimDevice* posinstr_sim_install(int type);

struct PosInstrSimMotion {
    PosInstrZAxis zAxis = POSINSTR_Z_AXIS;
    int homeResult = 0;
    int homes = 0;
    // get_ipos answers, in inches; once empty, the last answer repeats.
    std::deque<PosInstrSimReading> positions;
    PosInstrSimReading last;

    void push_inches(double inches) { positions.push_back({0, inches, 0, 0}); }
};

// Installs the simulated motion controller with a fresh script.
PosInstrSimMotion* posinstr_sim_install_motion();

// Removes every simulated driver and the motion hooks.
void posinstr_sim_reset();
