// Test support: the simulated motion wrapper library, loaded the way the
// program loads it (so both use one instance), with its control entries
// resolved.
#pragma once

#include <string>
#include <vector>

#include "sim/motion/simmotion.h"

struct SimMotion {
#define SIMMOTION_SESSION_MEMBER(name) name##_t name;
    SIMMOTION_ENTRY_LIST(SIMMOTION_SESSION_MEMBER)
#undef SIMMOTION_SESSION_MEMBER
};

// The build directory of the full library, and of a variant ("nomove",
// "allpos", "pairpos", "nounreg", "nodmipreset", "nooptional").
const char* simmotion_library_directory();
std::string simmotion_variant_directory(const char* variant);

// Points the platform's library lookup at the simulators' directory, loads
// "MotionWrapperInterface.dll" once and resolves every simmotion_* entry.
// Null (with a message on stderr) when the library or an entry is missing.
SimMotion* simmotion_session();

// simmotion_reset() of the session's library.
void simmotion_session_reset();

// The transcript's lines.
std::vector<std::string> simmotion_transcript();
