// Run-time state of frame acquisition, kept in an instrument's SystemInfo.
#pragma once

// Filled by the acquisition start-up and mode switches: devices, cameras and
// modes found, the live and measurement modes and their sizes, display
// geometry, timing, and the acquiring/ready flags.
struct SysAcqState {};
