// The simulated motion wrapper library. One source for every variant: the
// SIMMOTION_WITHOUT_* definitions leave entries out.
#include "sim/motion/simmotion.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "motion/mwi_api.h"
#include "platform/clock.h"
#include "platform/export.h"
#include "sim/bench/simbench.h"

#define SIMMOTION_EXPORT extern "C" PLAT_EXPORT

namespace {

constexpr int kAxes = 16;
constexpr size_t kTranscriptLimit = 10000;
constexpr int32_t kBadHandle = 256;  // communication failure
constexpr int32_t kNoAxis = 267;     // axis inactive
constexpr int32_t kAtLimit = 18;

struct Axis {
    bool present = false;
    std::string label;
    double from = 0, to = 0;  // the move: from `from` at startMs to `to` at endMs
    int64_t startMs = 0, endMs = 0;
    double velocity = 10, accel = 100;
    double min = -50, max = 50, zero = 0, pitch = 1;
    int32_t homeType = MWI_HOME_BY_SWITCH;
    int32_t homeState = MWI_HOME_NONE;
    int32_t mode = MWI_MOVE_ABSOLUTE;
    bool joystick = false, posReport = false;

    double position(int64_t now) const {
        if (now >= endMs || endMs <= startMs) return to;
        if (now <= startMs) return from;
        return from + (to - from) * static_cast<double>(now - startMs) /
                          static_cast<double>(endMs - startMs);
    }
    bool moving(int64_t now) const { return now < endMs; }
    void move_to(double target, int64_t now) {
        from = position(now);
        to = target;
        startMs = now;
        endMs = now + static_cast<int64_t>(std::fabs(to - from) / std::max(velocity, 1e-6) * 1000);
    }
    // A finished homing move makes the axis homed.
    void settle(int64_t now) {
        if (homeState == MWI_HOME_SEARCHING && !moving(now)) homeState = MWI_HOME_FOUND;
    }
};

std::mutex g_lock;
std::map<std::string, std::pair<int32_t, int>> g_scripted;  // entry: code, calls left
std::map<std::string, int> g_calls;
std::string g_errorText;
bool g_errorNull = false;
std::string g_configFile;
bool g_configFileSet = false, g_configFileNull = false;
int64_t g_openDelayMs = 0;
Axis g_axes[kAxes];
std::deque<int32_t> g_events;
bool g_initialised = false;
std::set<MwiHandle> g_handles;
MwiHandle g_nextHandle = 1;
std::string g_openedConfig;
std::string g_returnedText;  // storage of the texts handed out
bool g_opened = false;
char g_lastConfig[256] = {};
uint8_t g_lastMac[6] = {};
uint8_t g_lastFlag = 0;
int32_t g_lastValue = 0;
MwiHandle g_canHandle = -1;
MwiPdoCallback g_pdo = nullptr;
MwiEmcyCallback g_emcy = nullptr;
std::vector<std::string> g_transcript;

void line_locked(const char* format, ...) __attribute__((format(printf, 1, 2)));
void line_locked(const char* format, ...) {
    if (g_transcript.size() >= kTranscriptLimit) return;
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    g_transcript.emplace_back(text);
}

// Counts the call; true with *code set when the call is scripted.
bool scripted_locked(const char* entry, int32_t* code) {
    ++g_calls[entry];
    auto it = g_scripted.find(entry);
    if (it == g_scripted.end() || it->second.second == 0) return false;
    *code = it->second.first;
    if (it->second.second > 0) --it->second.second;
    return true;
}

bool open_locked(MwiHandle h) {
    return g_initialised && g_handles.count(h) != 0;
}

Axis* axis_locked(int16_t axis) {
    return axis >= 0 && axis < kAxes && g_axes[axis].present ? &g_axes[axis] : nullptr;
}

int32_t result_locked(const char* entry, int32_t code, const char* args) {
    line_locked("%s(%s) = %d", entry, args, code);
    return code;
}

void reset_axes_locked() {
    for (Axis& a : g_axes) a = Axis{};
    const char* labels[3] = {"X", "Y", "Z"};
    for (int i = 0; i < 3; ++i) {
        g_axes[i].present = true;
        g_axes[i].label = labels[i];
    }
    g_axes[2].homeType = MWI_HOME_BY_ENCODER;
}

// Handle-only entries: scripted, else `body` on an open handle.
template <typename Body>
int32_t on_handle(const char* entry, MwiHandle h, Body body) {
    std::lock_guard<std::mutex> guard(g_lock);
    int32_t code;
    char args[64];
    std::snprintf(args, sizeof args, "%lld", static_cast<long long>(h));
    if (scripted_locked(entry, &code)) return result_locked(entry, code, args);
    if (!open_locked(h)) return result_locked(entry, kBadHandle, args);
    return result_locked(entry, body(), args);
}

// Axis entries: scripted, else `body` on an open handle's present axis.
template <typename Body>
int32_t on_axis(const char* entry, MwiHandle h, int16_t axis, Body body) {
    std::lock_guard<std::mutex> guard(g_lock);
    int32_t code;
    char args[64];
    std::snprintf(args, sizeof args, "%lld, %d", static_cast<long long>(h), axis);
    if (scripted_locked(entry, &code)) return result_locked(entry, code, args);
    if (!open_locked(h)) return result_locked(entry, kBadHandle, args);
    Axis* a = axis_locked(axis);
    if (a == nullptr) return result_locked(entry, kNoAxis, args);
    a->settle(plat_clock_ms());
    return result_locked(entry, body(*a), args);
}

// ---- The bus's events while this library holds them ------------------------

int take_pdo(uint32_t cobId, const uint8_t* data, uint32_t size) {
    MwiPdoCallback pdo;
    uint8_t bytes[8] = {};
    if (data != nullptr) std::memcpy(bytes, data, std::min<uint32_t>(size, 8));
    {
        std::lock_guard<std::mutex> guard(g_lock);
        pdo = g_pdo;
        if (pdo == nullptr) return 0;
        line_locked("pdo 0x%X -> program", cobId);
    }
    pdo(cobId, 0, bytes);
    return 1;
}

int take_emcy(uint32_t value1, uint32_t value2, const uint32_t* values3, uint8_t byte) {
    MwiEmcyCallback emcy;
    uint8_t block[12] = {};
    if (values3 != nullptr) std::memcpy(block, values3, sizeof block);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        emcy = g_emcy;
        if (emcy == nullptr) return 0;
        line_locked("emcy 0x%X -> program", value1);
    }
    // The controller's shape: the first word whole, then a byte, four bytes
    // and a byte of the rest, and the final byte.
    uint32_t first;
    uint32_t four;
    std::memcpy(&first, block, 4);
    std::memcpy(&four, block + 5, 4);
    emcy(value1, value2, first, block[4], &four, block[9], byte);
    return 1;
}

void drop_can_locked() {
    g_pdo = nullptr;
    g_emcy = nullptr;
    g_canHandle = -1;
    simbench_set_can_receiver(SIMBENCH_CAN_BRIDGE);
}

const char* text_locked(const std::string& text, bool null) {
    if (null) return nullptr;
    g_returnedText = text;
    return g_returnedText.c_str();
}

}  // namespace

// ---- Entries ---------------------------------------------------------------

SIMMOTION_EXPORT int32_t InitMotionWrapperInterface_MWI() {
    std::lock_guard<std::mutex> guard(g_lock);
    int32_t code;
    if (scripted_locked("InitMotionWrapperInterface_MWI", &code))
        return result_locked("InitMotionWrapperInterface_MWI", code, "");
    g_initialised = true;
    return result_locked("InitMotionWrapperInterface_MWI", 0, "");
}

SIMMOTION_EXPORT int32_t CloseMotionWrapperInterface_MWI() {
    std::lock_guard<std::mutex> guard(g_lock);
    int32_t code;
    if (scripted_locked("CloseMotionWrapperInterface_MWI", &code))
        return result_locked("CloseMotionWrapperInterface_MWI", code, "");
    g_initialised = false;
    g_handles.clear();
    if (g_canHandle != -1) drop_can_locked();
    return result_locked("CloseMotionWrapperInterface_MWI", 0, "");
}

SIMMOTION_EXPORT int32_t OpenComm_MWI(const char* configuration, const uint8_t* mac, MwiHandle* out,
                                      uint8_t flag, int32_t value) {
    int64_t delay;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        delay = g_openDelayMs;
    }
    if (delay > 0) plat_sleep_ms(delay);
    std::lock_guard<std::mutex> guard(g_lock);
    const char* name = configuration != nullptr ? configuration : "";
    std::snprintf(g_lastConfig, sizeof g_lastConfig, "%s", name);
    if (mac != nullptr) std::memcpy(g_lastMac, mac, 6);
    g_lastFlag = flag;
    g_lastValue = value;
    g_opened = true;
    char args[320];
    std::snprintf(args, sizeof args, "%s, %02X:%02X:%02X:%02X:%02X:%02X, %u, %d", name,
                  g_lastMac[0], g_lastMac[1], g_lastMac[2], g_lastMac[3], g_lastMac[4],
                  g_lastMac[5], flag, value);
    int32_t code;
    if (out != nullptr) *out = -1;
    if (scripted_locked("OpenComm_MWI", &code)) return result_locked("OpenComm_MWI", code, args);
    if (!g_initialised || out == nullptr) return result_locked("OpenComm_MWI", kBadHandle, args);
    *out = g_nextHandle++;
    g_handles.insert(*out);
    g_openedConfig = name;
    return result_locked("OpenComm_MWI", 0, args);
}

SIMMOTION_EXPORT int32_t CloseComm_MWI(MwiHandle h) {
    return on_handle("CloseComm_MWI", h, [&] {
        g_handles.erase(h);
        if (g_canHandle == h) drop_can_locked();
        return 0;
    });
}

SIMMOTION_EXPORT const char* GetErrorString_MWI(MwiHandle) {
    std::lock_guard<std::mutex> guard(g_lock);
    ++g_calls["GetErrorString_MWI"];
    return text_locked(g_errorText, g_errorNull);
}

SIMMOTION_EXPORT int32_t CheckForEStopEvent_MWI(MwiHandle h, int32_t* occurred) {
    return on_handle("CheckForEStopEvent_MWI", h, [&] {
        if (occurred != nullptr)
            *occurred =
                std::find(g_events.begin(), g_events.end(), MWI_EVENT_ESTOP) != g_events.end();
        return 0;
    });
}

SIMMOTION_EXPORT int32_t HasEvent_MWI(MwiHandle h) {
    std::lock_guard<std::mutex> guard(g_lock);
    ++g_calls["HasEvent_MWI"];
    return open_locked(h) && !g_events.empty() ? 1 : 0;
}

SIMMOTION_EXPORT int32_t GetEvent_MWI(MwiHandle h, int32_t* code) {
    return on_handle("GetEvent_MWI", h, [&] {
        int32_t event = 0;
        if (!g_events.empty()) {
            event = g_events.front();
            g_events.pop_front();
        }
        if (code != nullptr) *code = event;
        return 0;
    });
}

#define SIMMOTION_JOYSTICK(name, on)                 \
    SIMMOTION_EXPORT int32_t name(MwiHandle h) {     \
        return on_handle(#name, h, [&] {             \
            for (Axis & a : g_axes) a.joystick = on; \
            return 0;                                \
        });                                          \
    }
SIMMOTION_JOYSTICK(EnableJoystick_MWI, true)
SIMMOTION_JOYSTICK(DisableJoystick_MWI, false)
#undef SIMMOTION_JOYSTICK

SIMMOTION_EXPORT int32_t GetIsJoystickEnabled_MWI(MwiHandle h, int32_t* out) {
    return on_handle("GetIsJoystickEnabled_MWI", h, [&] {
        bool any = false;
        for (const Axis& a : g_axes) any = any || (a.present && a.joystick);
        if (out != nullptr) *out = any ? 1 : 0;
        return 0;
    });
}

SIMMOTION_EXPORT int32_t EnableAxisJoystick_MWI(MwiHandle h, int16_t axis) {
    return on_axis("EnableAxisJoystick_MWI", h, axis, [](Axis& a) {
        a.joystick = true;
        return 0;
    });
}

SIMMOTION_EXPORT int32_t DisableAxisJoystick_MWI(MwiHandle h, int16_t axis) {
    return on_axis("DisableAxisJoystick_MWI", h, axis, [](Axis& a) {
        a.joystick = false;
        return 0;
    });
}

#define SIMMOTION_REPORTS(name, on)                   \
    SIMMOTION_EXPORT int32_t name(MwiHandle h) {      \
        return on_handle(#name, h, [&] {              \
            for (Axis & a : g_axes) a.posReport = on; \
            return 0;                                 \
        });                                           \
    }
SIMMOTION_REPORTS(EnablePositionReports_MWI, true)
SIMMOTION_REPORTS(DisablePositionReports_MWI, false)
#undef SIMMOTION_REPORTS

SIMMOTION_EXPORT int32_t SetPositionReport_MWI(MwiHandle h, int16_t axis, int32_t on) {
    return on_axis("SetPositionReport_MWI", h, axis, [&](Axis& a) {
        a.posReport = on != 0;
        return 0;
    });
}

SIMMOTION_EXPORT int32_t FindHome_MWI(MwiHandle h, int16_t axis) {
    return on_axis("FindHome_MWI", h, axis, [](Axis& a) {
        a.move_to(a.zero, plat_clock_ms());
        a.homeState = MWI_HOME_SEARCHING;
        return 0;
    });
}

#define SIMMOTION_GET_DOUBLE(name, expr)                                    \
    SIMMOTION_EXPORT int32_t name(MwiHandle h, int16_t axis, double* out) { \
        return on_axis(#name, h, axis, [&](Axis& a) {                       \
            if (out != nullptr) *out = (expr);                              \
            return 0;                                                       \
        });                                                                 \
    }
SIMMOTION_GET_DOUBLE(GetAcceleration_MWI, a.accel)
SIMMOTION_GET_DOUBLE(GetPitch_MWI, a.pitch)
SIMMOTION_GET_DOUBLE(GetTravelMax_MWI, a.max)
SIMMOTION_GET_DOUBLE(GetTravelMin_MWI, a.min)
SIMMOTION_GET_DOUBLE(GetTravelZero_MWI, a.zero)
SIMMOTION_GET_DOUBLE(GetVelocity_MWI, a.velocity)
#if !defined(SIMMOTION_POSITION_PAIR)
SIMMOTION_GET_DOUBLE(GetPosition_MWI, a.position(plat_clock_ms()))
#endif
#if defined(SIMMOTION_POSITION_PAIR) || defined(SIMMOTION_ALL_POSITIONS)
SIMMOTION_GET_DOUBLE(GetActualPosition_MWI, a.position(plat_clock_ms()))
SIMMOTION_GET_DOUBLE(GetCommandedPosition_MWI, a.to)
#endif
#undef SIMMOTION_GET_DOUBLE

#define SIMMOTION_GET_INT(name, expr)                                        \
    SIMMOTION_EXPORT int32_t name(MwiHandle h, int16_t axis, int32_t* out) { \
        return on_axis(#name, h, axis, [&](Axis& a) {                        \
            if (out != nullptr) *out = (expr);                               \
            return 0;                                                        \
        });                                                                  \
    }
SIMMOTION_GET_INT(GetHomeState_MWI, a.homeState)
SIMMOTION_GET_INT(GetHomeType_MWI, a.homeType)
SIMMOTION_GET_INT(GetNodeId_MWI, static_cast<int32_t>(&a - g_axes) + 1)
SIMMOTION_GET_INT(GetAxisError_MWI, a.homeState == MWI_HOME_FAILED ? 17 : 0)
SIMMOTION_GET_INT(GetAxisStatus_MWI, (a.moving(plat_clock_ms()) ? MWI_AXIS_MOVING : 0) |
                                         (a.homeState == MWI_HOME_FOUND ? MWI_AXIS_HOMED : 0) |
                                         (a.to <= a.min || a.to >= a.max ? MWI_AXIS_AT_LIMIT : 0))
#undef SIMMOTION_GET_INT

SIMMOTION_EXPORT int32_t GetStatus_MWI(MwiHandle h, int32_t* out) {
    return on_handle("GetStatus_MWI", h, [&] {
        const int64_t now = plat_clock_ms();
        int32_t bits = 0;
        for (Axis& a : g_axes) {
            if (!a.present) continue;
            a.settle(now);
            if (a.moving(now)) bits |= MWI_AXIS_MOVING;
        }
        if (out != nullptr) *out = bits;
        return 0;
    });
}

SIMMOTION_EXPORT int32_t GetError_MWI(MwiHandle h, int32_t* out) {
    return on_handle("GetError_MWI", h, [&] {
        if (out != nullptr) *out = 0;
        return 0;
    });
}

SIMMOTION_EXPORT int32_t GetLabel_MWI(MwiHandle h, int16_t axis, char* label, int32_t size) {
    return on_axis("GetLabel_MWI", h, axis, [&](Axis& a) {
        if (label != nullptr && size > 0) std::snprintf(label, size, "%s", a.label.c_str());
        return 0;
    });
}

#if !defined(SIMMOTION_WITHOUT_MOVE_STOP)
SIMMOTION_EXPORT int32_t Move_MWI(MwiHandle h, int16_t axis, double position) {
    return on_axis("Move_MWI", h, axis, [&](Axis& a) {
        const int64_t now = plat_clock_ms();
        double target = a.mode == MWI_MOVE_RELATIVE ? a.position(now) + position : position;
        if (target < a.min || target > a.max) return kAtLimit;
        a.move_to(target, now);
        return 0;
    });
}

SIMMOTION_EXPORT int32_t Stop_MWI(MwiHandle h) {
    return on_handle("Stop_MWI", h, [&] {
        const int64_t now = plat_clock_ms();
        for (Axis& a : g_axes)
            if (a.present && a.moving(now)) a.move_to(a.position(now), now);
        return 0;
    });
}
#endif

SIMMOTION_EXPORT int32_t StopAxis_MWI(MwiHandle h, int16_t axis) {
    return on_axis("StopAxis_MWI", h, axis, [](Axis& a) {
        const int64_t now = plat_clock_ms();
        a.move_to(a.position(now), now);
        return 0;
    });
}

SIMMOTION_EXPORT int32_t SetAcceleration_MWI(MwiHandle h, int16_t axis, double value) {
    return on_axis("SetAcceleration_MWI", h, axis, [&](Axis& a) {
        a.accel = value;
        return 0;
    });
}

SIMMOTION_EXPORT int32_t SetVelocity_MWI(MwiHandle h, int16_t axis, double value) {
    return on_axis("SetVelocity_MWI", h, axis, [&](Axis& a) {
        if (!(value > 0)) return 269;  // a configuration value out of range
        a.velocity = value;
        return 0;
    });
}

SIMMOTION_EXPORT int32_t SetMoveMode_MWI(MwiHandle h, int16_t axis, int32_t mode) {
    return on_axis("SetMoveMode_MWI", h, axis, [&](Axis& a) {
        a.mode = mode;
        return 0;
    });
}

SIMMOTION_EXPORT int32_t RegisterCanEvents_MWI(MwiHandle h, MwiPdoCallback pdo,
                                               MwiEmcyCallback emcy) {
    std::lock_guard<std::mutex> guard(g_lock);
    int32_t code;
    char args[64];
    std::snprintf(args, sizeof args, "%lld", static_cast<long long>(h));
    if (scripted_locked("RegisterCanEvents_MWI", &code))
        return result_locked("RegisterCanEvents_MWI", code, args);
    if (!open_locked(h) || pdo == nullptr || emcy == nullptr)
        return result_locked("RegisterCanEvents_MWI", 0, args);
    g_pdo = pdo;
    g_emcy = emcy;
    g_canHandle = h;
    simbench_set_can_motion_sink(take_pdo, take_emcy);
    simbench_set_can_receiver(SIMBENCH_CAN_MOTION);
    return result_locked("RegisterCanEvents_MWI", 1, args);
}

#if !defined(SIMMOTION_WITHOUT_UNREGISTER)
SIMMOTION_EXPORT int32_t UnregisterCanEvents_MWI(MwiHandle h) {
    return on_handle("UnregisterCanEvents_MWI", h, [&] {
        if (g_canHandle == h) drop_can_locked();
        return 0;
    });
}
#endif

// The DMI group: a position instrument the simulated controller does not
// carry; the entries answer with empty readings.
SIMMOTION_EXPORT int32_t DmiReset_MWI(MwiHandle h) {
    return on_handle("DmiReset_MWI", h, [] { return 0; });
}
#define SIMMOTION_DMI_OUT(name, type)                       \
    SIMMOTION_EXPORT int32_t name(MwiHandle h, type* out) { \
        return on_handle(#name, h, [&] {                    \
            if (out != nullptr) *out = 0;                   \
            return 0;                                       \
        });                                                 \
    }
SIMMOTION_DMI_OUT(GetDmiCaptureBufferSize_MWI, int32_t)
SIMMOTION_DMI_OUT(GetDmiPosition_MWI, double)
#if !defined(SIMMOTION_WITHOUT_DMI_PRESET)
SIMMOTION_DMI_OUT(GetDmiPreset_MWI, double)
#endif
SIMMOTION_DMI_OUT(GetDmiStatus_MWI, int32_t)
SIMMOTION_DMI_OUT(GetIsDmiBufferReady_MWI, int32_t)
#undef SIMMOTION_DMI_OUT

SIMMOTION_EXPORT int32_t GetDmiCaptureBuffer_MWI(MwiHandle h, double* values, int32_t count) {
    return on_handle("GetDmiCaptureBuffer_MWI", h, [&] {
        for (int32_t i = 0; values != nullptr && i < count; ++i) values[i] = 0;
        return 0;
    });
}

#define SIMMOTION_AXIS_FLAG(name)                                            \
    SIMMOTION_EXPORT int32_t name(MwiHandle h, int16_t axis, int32_t* out) { \
        return on_axis(#name, h, axis, [&](Axis&) {                          \
            if (out != nullptr) *out = 0;                                    \
            return 0;                                                        \
        });                                                                  \
    }
SIMMOTION_AXIS_FLAG(GetExternalClosedLoopAmplifierFault_MWI)
SIMMOTION_AXIS_FLAG(GetExternalClosedLoopEnabled_MWI)
SIMMOTION_AXIS_FLAG(GetSupportsExternalClosedLoop_MWI)
#undef SIMMOTION_AXIS_FLAG

SIMMOTION_EXPORT int32_t SetDmiCaptureTrigger_MWI(MwiHandle h, int32_t) {
    return on_handle("SetDmiCaptureTrigger_MWI", h, [] { return 0; });
}

SIMMOTION_EXPORT int32_t SetDmiPreset_MWI(MwiHandle h, double) {
    return on_handle("SetDmiPreset_MWI", h, [] { return 0; });
}

SIMMOTION_EXPORT int32_t SetExternalClosedLoopEnabled_MWI(MwiHandle h, int16_t axis, int32_t) {
    return on_axis("SetExternalClosedLoopEnabled_MWI", h, axis, [](Axis&) { return 0; });
}

#if !defined(SIMMOTION_WITHOUT_OPTIONAL)
SIMMOTION_EXPORT int32_t SetAlignViewIndicator_MWI(MwiHandle h, int32_t) {
    return on_handle("SetAlignViewIndicator_MWI", h, [] { return 0; });
}

SIMMOTION_EXPORT const char* GetConfigurationFile_MWI(MwiHandle h) {
    std::lock_guard<std::mutex> guard(g_lock);
    ++g_calls["GetConfigurationFile_MWI"];
    line_locked("GetConfigurationFile_MWI(%lld)", static_cast<long long>(h));
    if (g_configFileSet) return text_locked(g_configFile, g_configFileNull);
    return text_locked(g_openedConfig + ".cfg", false);
}
#endif

// ---- Control ---------------------------------------------------------------

SIMMOTION_EXPORT void simmotion_reset() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_scripted.clear();
    g_calls.clear();
    g_errorText.clear();
    g_errorNull = false;
    g_configFile.clear();
    g_configFileSet = g_configFileNull = false;
    g_openDelayMs = 0;
    reset_axes_locked();
    g_events.clear();
    g_initialised = false;
    g_handles.clear();
    g_openedConfig.clear();
    g_opened = false;
    if (g_canHandle != -1) drop_can_locked();
    g_transcript.clear();
}

SIMMOTION_EXPORT void simmotion_set_result(const char* entry, int32_t code, int count) {
    if (entry == nullptr) return;
    std::lock_guard<std::mutex> guard(g_lock);
    if (count == 0)
        g_scripted.erase(entry);
    else
        g_scripted[entry] = {code, count};
}

SIMMOTION_EXPORT void simmotion_set_error_text(const char* text) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_errorNull = text == nullptr;
    g_errorText = text != nullptr ? text : "";
}

SIMMOTION_EXPORT void simmotion_set_config_file(const char* text) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_configFileSet = true;
    g_configFileNull = text == nullptr;
    g_configFile = text != nullptr ? text : "";
}

SIMMOTION_EXPORT void simmotion_set_open_delay(int64_t ms) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_openDelayMs = ms;
}

SIMMOTION_EXPORT bool simmotion_axis_add(int axis, const char* label, double positionMm,
                                         double minMm, double maxMm, int32_t homeType) {
    if (axis < 0 || axis >= kAxes || label == nullptr || minMm > maxMm) return false;
    std::lock_guard<std::mutex> guard(g_lock);
    Axis a;
    a.present = true;
    a.label = label;
    a.from = a.to = positionMm;
    a.min = minMm;
    a.max = maxMm;
    a.zero = std::clamp(0.0, minMm, maxMm);
    a.homeType = homeType;
    g_axes[axis] = a;
    return true;
}

SIMMOTION_EXPORT void simmotion_axis_remove(int axis) {
    if (axis < 0 || axis >= kAxes) return;
    std::lock_guard<std::mutex> guard(g_lock);
    g_axes[axis] = Axis{};
}

SIMMOTION_EXPORT double simmotion_axis_position(int axis) {
    std::lock_guard<std::mutex> guard(g_lock);
    Axis* a = axis_locked(static_cast<int16_t>(axis));
    return a != nullptr ? a->position(plat_clock_ms()) : std::nan("");
}

SIMMOTION_EXPORT void simmotion_push_event(int32_t code) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_events.push_back(code);
}

SIMMOTION_EXPORT bool simmotion_initialised() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_initialised;
}

SIMMOTION_EXPORT int simmotion_open_count() {
    std::lock_guard<std::mutex> guard(g_lock);
    return static_cast<int>(g_handles.size());
}

SIMMOTION_EXPORT bool simmotion_can_registered() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_pdo != nullptr;
}

SIMMOTION_EXPORT int simmotion_calls(const char* entry) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_calls.find(entry != nullptr ? entry : "");
    return it != g_calls.end() ? it->second : 0;
}

SIMMOTION_EXPORT bool simmotion_last_open(char* configuration, int size, uint8_t* mac6,
                                          uint8_t* flag, int32_t* value) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (!g_opened) return false;
    if (configuration != nullptr && size > 0)
        std::snprintf(configuration, size, "%s", g_lastConfig);
    if (mac6 != nullptr) std::memcpy(mac6, g_lastMac, 6);
    if (flag != nullptr) *flag = g_lastFlag;
    if (value != nullptr) *value = g_lastValue;
    return true;
}

SIMMOTION_EXPORT int simmotion_transcript_count() {
    std::lock_guard<std::mutex> guard(g_lock);
    return static_cast<int>(g_transcript.size());
}

SIMMOTION_EXPORT bool simmotion_transcript_line(int i, char* text, int size) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (i < 0 || i >= static_cast<int>(g_transcript.size()) || text == nullptr || size <= 0)
        return false;
    std::snprintf(text, size, "%s", g_transcript[i].c_str());
    return true;
}

SIMMOTION_EXPORT void simmotion_transcript_clear() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_transcript.clear();
}

namespace {
// The start state, without a reset call.
struct Init {
    Init() { reset_axes_locked(); }
} g_init;
}  // namespace
