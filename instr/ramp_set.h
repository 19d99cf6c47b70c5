// Loading an instrument's ramp set: the ramps named by its ramp configuration
// file (or, without one, every ramp data file of its actuator in the ramp
// directory), checked against the instrument, and reconciled with the ramps
// its instrument board already holds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/rampcfg.h"

struct SystemInfo;

// Set (to any value) to keep the ramps the board already holds across loads.
constexpr const char* RR_KEEP_RAMPS_ENV = "KEEP_RAMPS_LOADED_IN_INSTR";

// The actuator identity numbers the ramp checks use, -1 for an actuator the
// instrument lacks. The calibration file's Pifoc (or pztid) line gives the
// one number; the board's actuator kind (power.pztType, 2 = PZT) says which
// actuator carries it, a piezo focus drive unless the board said PZT.
void rr_instr_actuators(const SystemInfo* info, int32_t* pifocId, int32_t* pztId);

// External profile ramps ("extprofile" file names) belong to the ramp
// management above this module, which installs a loader for them. It fills
// `ramp` for the spec and returns 0, or returns an error code with a text for
// the message in `errorText` (`errorSize` bytes). Without a loader the
// instrument has no external profile ramps.
using RrExtProfileLoader = int (*)(SystemInfo* info, const RrRampSpec* spec, RrRamp* ramp,
                                   char* errorText, std::size_t errorSize);
// Installs a loader (null: none) and returns the previous one.
RrExtProfileLoader rr_set_ext_profile_loader(RrExtProfileLoader loader);

// Loads the instrument's ramp set into `set` (its previous ramps are released
// first) and reconciles it with the board's ramp slots: every ramp's rampID is
// its position among the accepted ramps, counted from 1; ramps the board
// already holds (KEEP_RAMPS_LOADED_IN_INSTR) are marked inInstr with their
// slot. 0, ERR_NO_RAMP_INFO when no ramp is usable, or the failing step's
// error; on failure the set is left empty.
int rr_get_ramp_info(SystemInfo* info, RrRampSet* set);
