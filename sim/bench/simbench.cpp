#include "sim/bench/simbench.h"

#include <mutex>

#define SIMBENCH_EXPORT __attribute__((visibility("default")))

namespace {
std::mutex g_lock;
uint16_t g_light = 0;
uint16_t g_wheel = 0;
uint16_t g_wheelTarget = 0;
bool g_wheelMoving = false;
int g_receiver = SIMBENCH_CAN_BRIDGE;
}  // namespace

extern "C" {

SIMBENCH_EXPORT void simbench_set_light_level(uint16_t level) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_light = level;
}

SIMBENCH_EXPORT uint16_t simbench_light_level() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_light;
}

SIMBENCH_EXPORT void simbench_set_ndwheel(uint16_t level, uint16_t target, bool moving) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_wheel = level;
    g_wheelTarget = target;
    g_wheelMoving = moving;
}

SIMBENCH_EXPORT uint16_t simbench_ndwheel_level() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_wheel;
}

SIMBENCH_EXPORT uint16_t simbench_ndwheel_target() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_wheelTarget;
}

SIMBENCH_EXPORT bool simbench_ndwheel_moving() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_wheelMoving;
}

SIMBENCH_EXPORT void simbench_set_can_receiver(int receiver) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_receiver = receiver;
}

SIMBENCH_EXPORT int simbench_can_receiver() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_receiver;
}

SIMBENCH_EXPORT void simbench_reset() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_light = 0;
    g_wheel = g_wheelTarget = 0;
    g_wheelMoving = false;
    g_receiver = SIMBENCH_CAN_BRIDGE;
}
}
