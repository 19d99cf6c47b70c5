#include "can/can_bridge.h"

#include <gtest/gtest.h>

#include "config/sysinfo.h"

namespace {

TEST(CanBridgeInfo, TakesTheConfiguredMacAndStartsWithNoAddress) {
    SystemInfo info;
    info.macAddressSet = true;
    const uint8_t mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    std::copy(mac, mac + 6, info.macAddress);
    CanBridgeInfo* bridge = can_bridge_info_create(&info);
    ASSERT_EQ(info.canInfo.get(), bridge);
    EXPECT_TRUE(std::equal(mac, mac + 6, bridge->mac));
    for (uint8_t byte : bridge->ipv4) EXPECT_EQ(byte, 0xFF);
    EXPECT_EQ(bridge->firmwareMajor, 0);
    EXPECT_EQ(bridge->brushMotorProductId, 0u);
}

TEST(CanBridgeInfo, UnconfiguredMacIsMarkedAndTheRecordIsReplacedAndFreed) {
    SystemInfo info;
    info.macAddressSet = false;
    info.macAddress[0] = 0x12;  // stale bytes of an unset line are not taken
    can_bridge_info_create(&info);
    EXPECT_EQ(info.canInfo->mac[0], 0xFF);
    CanBridgeInfo* second = can_bridge_info_create(&info);
    EXPECT_EQ(info.canInfo.get(), second);
    // The installed deleter frees it (checked by the leak sanitizer builds).
    info.canInfo.reset();
    EXPECT_EQ(info.canInfo.get(), nullptr);
}

TEST(CanBridgeInfo, FirmwareComparesMajorThenMinor) {
    CanBridgeInfo bridge{};
    struct Case {
        uint8_t major, minor;
        bool newer;
    };
    // "Newer than 1.11": 0.12 has the higher minor but is older.
    const Case cases[] = {{0, 12, false}, {1, 11, false}, {1, 12, true},
                          {2, 0, true},   {1, 10, false}, {0, 255, false}};
    for (const Case& c : cases) {
        bridge.firmwareMajor = c.major;
        bridge.firmwareMinor = c.minor;
        EXPECT_EQ(can_firmware_newer_than(&bridge, 1, 11), c.newer)
            << int(c.major) << "." << int(c.minor);
    }
}

}  // namespace
