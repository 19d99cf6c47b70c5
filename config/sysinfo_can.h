// Run-time state of a CAN instrument, kept in its SystemInfo.
#pragma once

// Filled by the CAN power sequence and node bring-up: node requirement and
// presence flags, digital scanner type, large-aperture and PZT-ramp selection,
// turret and zoom changer state, piezo focus mode, sync value, the last turret
// flags byte. The bridge itself is the separately owned CanBridgeInfo.
struct SysCanState {};
