// The demo's scenario: what the virtual instrument looks like (the bridge on
// the network, the nodes on its bus, the wave monitor, the camera and frame
// grabber, the serial board's EEPROM), read from an ini file.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The bridge node's status byte (object 0x2010/1) the power check reads.
enum class DemoBridgeStatus { Ok, Minus12VTrip, Plus12VTrip, ExternalFault };

struct DemoBridge {
    uint8_t mac[6] = {};
    uint8_t ip[4] = {};
    uint8_t firmwareMajor = 1;
    uint8_t firmwareMinor = 12;
    DemoBridgeStatus status = DemoBridgeStatus::Ok;
    int foundOnEnumeration = 1;  // the enumeration that first lists it
    uint32_t latchedError = 0;   // reported by the first latchedReads reads
    int latchedReads = 0;
};

struct DemoNode {
    uint32_t productId = 0;
    uint32_t version = 0;                   // major << 16 | minor
    std::map<std::string, int64_t> params;  // the node model's named parameters
};

struct DemoWaveMonitor {
    bool calibrated = true;
    double maxTuneRange = 150;  // the monitor's units
    double minTuneRate = 1;
    double maxTuneRate = 20;
    int secondsSinceCal = 60;
    int laserDelay = 1;  // status polls before the laser is on
    double opd = 0.1;    // the monitor's optical path difference (calibration)
    double sysGain = 0;  // system gain sent at power-on; 0: none
};

struct DemoCamera {
    int32_t camera = 29;
    int32_t frameGrabber = 8;
    uint16_t lightLevel = 65535;
    int width = 160;  // both modes' frame size
    int height = 120;
    int32_t llcTarget = 150;
};

// The CAN instrument itself.
struct DemoInstrument {
    int32_t systemType = 30;
    int32_t serial = 300001;
    int32_t lightType = 1;
    uint16_t sleepTimeoutSeconds = 1;
    std::string motionConfig = "Stage";
};

// The serial board instrument's EEPROM; its calibration file says the same.
struct DemoEeprom {
    int32_t system = 5;
    int32_t board = 1;
    int32_t camera = 13;
    int32_t light = 1;
    int32_t serial = 123456;
    int32_t date = 2047;  // year * 100 + week
    int32_t pifocId = 4711;
    int32_t softwareVersion = 20;  // the board's software version
};

struct DemoScenario {
    std::string name;
    DemoBridge bridge;
    std::map<uint8_t, DemoNode> nodes;
    DemoWaveMonitor waveMonitor;
    DemoCamera camera;
    DemoInstrument instrument;
    DemoEeprom eeprom;
};

// Reads scenario text (`name` names it in messages). Every section but
// [instrument] must be there; unknown sections and keys are refused. False
// with a one-line reason in *error.
bool demo_parse_scenario(const std::string& text, const std::string& name, DemoScenario* scenario,
                         std::string* error);
// The same from a file.
bool demo_load_scenario(const std::string& path, DemoScenario* scenario, std::string* error);
