#include "can/can_bridge.h"

#include <cstring>

#include "config/sysinfo.h"

namespace {
void destroy_bridge_info(CanBridgeInfo* bridge) {
    delete bridge;
}
}  // namespace

CanBridgeInfo* can_bridge_info_create(SystemInfo* info) {
    auto* bridge = new CanBridgeInfo{};
    std::memset(bridge->ipv4, 0xFF, sizeof bridge->ipv4);
    if (info->macAddressSet)
        std::memcpy(bridge->mac, info->macAddress, sizeof bridge->mac);
    else
        bridge->mac[0] = 0xFF;
    info->canInfo = SysOwned<CanBridgeInfo>(bridge, SysDeleter<CanBridgeInfo>{destroy_bridge_info});
    return bridge;
}

bool can_firmware_newer_than(const CanBridgeInfo* bridge, int major, int minor) {
    if (bridge->firmwareMajor != major) return bridge->firmwareMajor > major;
    return bridge->firmwareMinor > minor;
}
