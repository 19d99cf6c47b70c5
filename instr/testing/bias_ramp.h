// Test support: the piezo-focus bias ramp a board-1 instrument needs to start
// its drive, for tests and the demo that power one on.
#pragma once

#include <cstdint>
#include <string>

// The ramp file's name for drive `pifocId` ("d10s81c25.b<id>").
std::string inst_bias_ramp_name(int32_t pifocId);
// Writes the ramp (100 points) into `directory`; 0 or the writer's status.
int inst_write_bias_ramp(const std::string& directory, int32_t pifocId);
