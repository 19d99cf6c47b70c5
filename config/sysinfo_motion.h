// Run-time state of motion control and the position instrument, kept in an
// instrument's SystemInfo.
#pragma once

// Filled by the motion wrapper connection: the controller handle and the
// effective motion configuration.
struct SysMotionState {};

// Filled by the position instrument controller: the open device, the units
// code, the running position, zero offset, scale and the initialised flag.
struct SysPosInstrState {};
