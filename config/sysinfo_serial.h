// Run-time state of an instrument's serial lines, kept in its SystemInfo.
#pragma once

// Filled by the instrument board protocol and the serial boards' power
// sequences: the board's device name and open port, the wave monitor and
// temperature controller ports. Ports go in as plain pointers to the serial
// layer's opaque handle, so that this header depends on nothing above common/.
struct SysSerialState {};
