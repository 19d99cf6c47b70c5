// The CAN bridge of a CAN instrument: owned by its SystemInfo (canInfo) from
// power-on to power-off.
#pragma once

#include <cstdint>

struct SystemInfo;

constexpr int CAN_ZOOM_TABLE_SIZE = 6;
constexpr int32_t CAN_ZOOM_NO_POSITION = -2;

struct CanBridgeInfo {
    uint8_t ipv4[4];  // all 0xFF until discovery finds the bridge
    uint8_t mac[6];   // first byte 0xFF: not configured
    uint8_t firmwareMajor;
    uint8_t firmwareMinor;
    int32_t zoomPositions[CAN_ZOOM_TABLE_SIZE];  // CAN_ZOOM_NO_POSITION: none
    uint32_t ledProductId;                       // node 61
    uint32_t brushMotorProductId;                // node 63
    uint8_t ringSpotKeypressMode;
    uint8_t zoomDiskKeypressMode;
    uint8_t focusKeypressMode;
};

// Creates the bridge record of `info` (replacing one it holds): the MAC from
// the configuration when it was given, else not configured; IPv4 unknown;
// the rest zero. The record is freed with the SystemInfo or when canInfo is
// reset. Returns the record.
CanBridgeInfo* can_bridge_info_create(SystemInfo* info);

// Newer than major.minor, comparing (major, minor) in order.
bool can_firmware_newer_than(const CanBridgeInfo* bridge, int major, int minor);
