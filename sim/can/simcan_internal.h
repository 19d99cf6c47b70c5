// Between the simulated bridge (simcan.cpp) and its node models
// (simcan_models.cpp). Models build their nodes through the public simcan_*
// entries; the bridge calls them back from its delivery thread, with no lock
// held, when one of their timed changes falls due.
#pragma once

#include <cstdint>

// Builds the model of `node`; false when there is none for that node ID.
bool simcan_models_install(uint8_t node, uint32_t productId, uint32_t version);
bool simcan_models_param(uint8_t node, const char* name, int64_t value);
void simcan_models_reset();

// Runs the changes due at `nowMs` (library clock; they may emit PDOs) and
// returns when the next one falls due, INT64_MAX for none.
int64_t simcan_models_tick(int64_t nowMs);

// A model has a new due time: the delivery thread looks again.
void simcan_wake_delivery();

#include <type_traits>

#include "sim/can/simcan.h"

// The control entries, for the models inside the library.
extern "C" {
#define SIMCAN_DECLARE(name) std::remove_pointer_t<name##_t> name;
SIMCAN_ENTRY_LIST(SIMCAN_DECLARE)
#undef SIMCAN_DECLARE
}
