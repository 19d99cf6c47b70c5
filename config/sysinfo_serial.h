// Run-time state of an instrument's serial lines, kept in its SystemInfo.
#pragma once

#include <cstdint>

struct PlatSerialPort;

// --- Wave monitor and temperature controller (serial/wm.h, serial/temp_comm.h) ---

// What the wave monitor's status ("MS?") and calibration ("CC?") replies said.
struct SysWaveMonitorState {
    bool statusRead = false;   // an "MS?" was answered since the line opened
    uint32_t statusFlags = 0;  // word 0 of the last "MS?"
    bool calibrated = false;   // bit 0
    uint32_t typeBits = 0;     // bits 30 (four-channel type) and 31
    int64_t calTime = 0;       // seconds since 1970 UTC; 0 when not calibrated
    double maxTuneRange = 0;   // x 1000000
    double minTuneRate = 0;    // x 1000000
    double maxTuneRate = 0;    // x 1000000
    double sysGain = 0;
    float adcGain[4] = {};       // four-channel type: A to D
    uint16_t adcOffset[4] = {};  // four-channel type: A to D
    float phaseOffset[3] = {};   // four-channel type: 01, 12, 23
    uint32_t laserStatus = 0;    // the last "LO?" word; bit 15: laser on
};

// --- end of the wave monitor and temperature controller block ---

// Filled by the instrument board protocol and the serial boards' power
// sequences: the board's device name and open port, the wave monitor and
// temperature controller ports. Ports go in as plain pointers to the serial
// layer's opaque handle, so that this header depends on nothing above common/.
struct SysSerialState {
    // Instrument board line (board/board.h); the device name is instrComm.
    PlatSerialPort* instrBdPort = nullptr;  // null: closed

    // Wave monitor and temperature controller lines (null: not open).
    PlatSerialPort* wmPort = nullptr;
    SysWaveMonitorState wm;
    PlatSerialPort* tempPort = nullptr;
};
