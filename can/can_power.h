// Power control of a CAN-bridged instrument: finding the bridge, the
// power-on sequence (bridge, nodes, wave monitor, camera, device polling),
// the bridge's status check, power-off and reset.
//
// Waits are a sleep on the library's clock followed by one call of the idle
// hook. Everything runs in the caller's thread; power-off joins every
// thread the instrument started.
#pragma once

struct SystemInfo;

// Enumerates the bridges and connects to the first one. 0 or an error.
int find_bridge(SystemInfo* info);

int can_inst_on(SystemInfo* info);
int can_inst_off(SystemInfo* info);
int can_check_bridge_status(SystemInfo* info);
int can_inst_reset(SystemInfo* info);
