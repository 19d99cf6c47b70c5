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

// The wheel's current move on the library's clock (plat_clock_ms): from
// `from` at `startMs` to `to` at `endMs`, in a straight line, resting at `to`
// after it. The CAN simulator publishes it with every level write or read, so
// that the frame-acquisition simulator can find the level at the instant a
// frame is taken. simbench_set_ndwheel forgets the move (the wheel then rests
// at the level it sets).
void simbench_set_ndwheel_motion(uint16_t from, uint16_t to, int64_t startMs, int64_t endMs);
// The level at `ms` on the library's clock: on the published move, else the
// level last set.
uint16_t simbench_ndwheel_level_at(int64_t ms);

// Which simulated library delivers the CAN bus's events to the program.
constexpr int SIMBENCH_CAN_BRIDGE = 0;  // the CAN bridge library's callbacks
constexpr int SIMBENCH_CAN_MOTION = 1;  // the motion controller's callbacks
void simbench_set_can_receiver(int receiver);
int simbench_can_receiver();

// The motion library's intake for the bus's PDOs and emergencies while it
// receives them: installed by the simulated motion library (null removes);
// the CAN simulator hands them over through simbench_motion_pdo/_emcy, which
// return the intake's result, 0 without one. Not changed by the reset.
using SimBenchPdoSink = int (*)(uint32_t cobId, const uint8_t* data, uint32_t size);
using SimBenchEmcySink = int (*)(uint32_t value1, uint32_t value2, const uint32_t* values3,
                                 uint8_t byte);
void simbench_set_can_motion_sink(SimBenchPdoSink pdo, SimBenchEmcySink emcy);
int simbench_motion_pdo(uint32_t cobId, const uint8_t* data, uint32_t size);
int simbench_motion_emcy(uint32_t value1, uint32_t value2, const uint32_t* values3, uint8_t byte);

// Everything back to its start value (light 0, wheel 0 at rest, bridge
// receives).
void simbench_reset();
}
