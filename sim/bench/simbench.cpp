#include "sim/bench/simbench.h"

#include <mutex>

#include "platform/export.h"

#define SIMBENCH_EXPORT PLAT_EXPORT

namespace {
std::mutex g_lock;
uint16_t g_light = 0;
uint16_t g_wheel = 0;
uint16_t g_wheelTarget = 0;
bool g_wheelMoving = false;
bool g_motion = false;  // a published move stands for the level
uint16_t g_moveFrom = 0;
uint16_t g_moveTo = 0;
int64_t g_moveStart = 0;
int64_t g_moveEnd = 0;
int g_receiver = SIMBENCH_CAN_BRIDGE;
SimBenchPdoSink g_motionPdo = nullptr;
SimBenchEmcySink g_motionEmcy = nullptr;
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
    g_motion = false;
}

SIMBENCH_EXPORT void simbench_set_ndwheel_motion(uint16_t from, uint16_t to, int64_t startMs,
                                                 int64_t endMs) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_moveFrom = from;
    g_moveTo = to;
    g_moveStart = startMs;
    g_moveEnd = endMs < startMs ? startMs : endMs;
    g_motion = true;
}

SIMBENCH_EXPORT uint16_t simbench_ndwheel_level_at(int64_t ms) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (!g_motion) return g_wheel;
    if (ms >= g_moveEnd) return g_moveTo;
    if (ms <= g_moveStart) return g_moveFrom;
    // The same interpolation as the motor model's, so both agree to the unit.
    int64_t done = (ms - g_moveStart) * (g_moveTo - g_moveFrom) / (g_moveEnd - g_moveStart);
    return static_cast<uint16_t>(g_moveFrom + done);
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

SIMBENCH_EXPORT void simbench_set_can_motion_sink(SimBenchPdoSink pdo, SimBenchEmcySink emcy) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_motionPdo = pdo;
    g_motionEmcy = emcy;
}

// The intake runs without the bench's lock: it calls the program.
SIMBENCH_EXPORT int simbench_motion_pdo(uint32_t cobId, const uint8_t* data, uint32_t size) {
    SimBenchPdoSink sink;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        sink = g_motionPdo;
    }
    return sink != nullptr ? sink(cobId, data, size) : 0;
}

SIMBENCH_EXPORT int simbench_motion_emcy(uint32_t value1, uint32_t value2, const uint32_t* values3,
                                         uint8_t byte) {
    SimBenchEmcySink sink;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        sink = g_motionEmcy;
    }
    return sink != nullptr ? sink(value1, value2, values3, byte) : 0;
}

SIMBENCH_EXPORT void simbench_reset() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_light = 0;
    g_wheel = g_wheelTarget = 0;
    g_wheelMoving = false;
    g_motion = false;
    g_receiver = SIMBENCH_CAN_BRIDGE;
}
}
