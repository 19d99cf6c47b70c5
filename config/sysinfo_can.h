// Run-time state of a CAN instrument, kept in its SystemInfo.
#pragma once

#include <cstdint>

struct PlatWaitable;

// Filled by the CAN power sequence and node bring-up: node requirement and
// presence flags, digital scanner type, large-aperture and PZT-ramp selection,
// turret and zoom changer state, piezo focus mode, sync value, the last turret
// flags byte. The bridge itself is the separately owned CanBridgeInfo; the
// turret and zoom changer kinds are the calibration's (turret[0], zoom).
struct SysCanState {
    // Nodes the instrument needs, copied from the calibration's switches at
    // each power-on (can_take_node_requirements); bring-up changes only these
    // copies, so saving the calibration never writes what the file lacked.
    uint8_t triplePztRequired = 0;
    uint8_t largeApertureRequired = 0;
    uint8_t zoomDiskRequired = 0;
    uint8_t ringSpotRequired = 0;
    uint8_t dualBrushMotorRequired = 0;
    uint8_t focusNdwRequired = 0;

    // Nodes found and brought up (1 = present and usable).
    uint8_t bridgeNodePresent = 0;      // 127
    uint8_t ledPresent = 0;             // 61
    uint8_t triplePztPresent = 0;       // 62
    uint8_t largeAperturePresent = 0;   // 52
    uint8_t dualBrushMotorPresent = 0;  // 63
    uint8_t focusNdwPresent = 0;        // 64
    uint8_t auxMotorPresent = 0;        // 66
    uint8_t ringSpotPresent = 0;        // 68
    uint8_t zoomDiskPresent = 0;        // 70
    uint8_t primaryWandPresent = 0;     // 72
    uint8_t secondaryWandPresent = 0;   // 73

    // 0 none, 1 PI scanner with DDL tables, 2 PI ramp scanner.
    int32_t digitalScanner = 0;
    // PZT-ramp node of the PZT-ramp accessors: 0 triple PZT, 1 large aperture.
    int32_t rampMux = 0;
    uint8_t largeApertureInUse = 0;
    int32_t pztRampSelect = -1;  // -1: none

    // Run-time copies as well: the turret's from the calibration at power-on,
    // both replaced by what the dual brush motor reports.
    int32_t turretPositions = 0;
    int32_t zoomPositions = 0;
    uint8_t turretPosition = 0;     // 0: not determined
    uint8_t lastTurretFlags = 0;    // status byte of the last turret PDO
    int32_t piezoFocusMode = 0;     // 0, 1 or 2
    float syncValue = 0;            // sync generator frequency
    float zoomDiskVelocity = 0;     // last target velocity written
    int64_t pifocOffsetTimeMs = 0;  // library clock of the last piezo focus offset write
    int32_t lightLevel = 0;
    int32_t previousLightLevel = 0;

    // The objective in use: its value in the instrument configuration's
    // objective table; 0: unknown. Sets the zoom disk's default velocity at
    // bring-up.
    double currentObjectiveValue = 0;
    // "CAN_NDWHEEL_STOPPED", held from the focus node's bring-up until
    // power-off (can_close_ndw_event); null when not held.
    PlatWaitable* ndwStoppedEvent = nullptr;
};
