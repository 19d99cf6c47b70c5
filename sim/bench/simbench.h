// The simulated bench: state that the simulated libraries of one process
// share (CAN bridge, frame acquisition, motion controller), held once in this
// shared library whichever of them the program loads.
#pragma once

#include <cstdint>

extern "C" {

// Light level of the LED node as last set (raw 16-bit value on the node).
void simbench_set_light_level(uint16_t level);
uint16_t simbench_light_level();

// The ND wheel's level as it stands now (it moves at finite speed towards
// its target), its target, and whether it is moving.
void simbench_set_ndwheel(uint16_t level, uint16_t target, bool moving);
uint16_t simbench_ndwheel_level();
uint16_t simbench_ndwheel_target();
bool simbench_ndwheel_moving();

// Which simulated library delivers the CAN bus's events to the program.
constexpr int SIMBENCH_CAN_BRIDGE = 0;  // the CAN bridge library's callbacks
constexpr int SIMBENCH_CAN_MOTION = 1;  // the motion controller's callbacks
void simbench_set_can_receiver(int receiver);
int simbench_can_receiver();

// Everything back to its start value (light 0, wheel 0 at rest, bridge
// receives).
void simbench_reset();
}
