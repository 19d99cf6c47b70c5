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

// Loads the instrument's ramp set into info->power.rampSet at power-on. The
// instrument layer, which owns the ramp files and sits above this module,
// installs it; without one the instrument powers on without ramp
// information, as when no ramp is usable. Returns the previous loader.
using CanRampSetLoader = int (*)(SystemInfo* info);
CanRampSetLoader can_set_ramp_set_loader(CanRampSetLoader loader);

int can_inst_on(SystemInfo* info);
int can_inst_off(SystemInfo* info);
int can_check_bridge_status(SystemInfo* info);
int can_inst_reset(SystemInfo* info);
