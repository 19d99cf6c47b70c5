// The gain-control thread and its controls. Each thread runs on a state of
// its own (stop event, instrument, generation) shared with the controls, so
// that a thread which missed its stop can be let go and end later without
// touching what a newer thread uses.
#include "can/can_agc.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

#include "can/can_events.h"
#include "can/can_sdo.h"
#include "common/alloc.h"
#include "common/log.h"
#include "common/status.h"
#include "config/sysinfo.h"
#include "datafile/surface.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/thread.h"

namespace {

constexpr int64_t kStopWaitMs = 5000;
constexpr int kMaxConsecutiveErrors = 10;
constexpr int kBrightestPixels = 100;
constexpr double kTolerance = 0.03125;
constexpr double kGain = 3000;
constexpr int64_t kPauseMs = 100;
constexpr int kWheelWaits = 300;
constexpr int64_t kWheelWaitMs = 10;
constexpr int64_t kWheelNoEventMs = 1300;
constexpr int kMaxBits = 16;
const char* const kThreadName = "can_agc_thread_func";

// A manual-reset event closed with its last owner.
struct StopEvent {
    PlatWaitable* handle;
    explicit StopEvent(PlatWaitable* h) : handle(h) {}
    ~StopEvent() { plat_handle_close(handle); }
    StopEvent(const StopEvent&) = delete;
    StopEvent& operator=(const StopEvent&) = delete;
};

struct AgcRun {
    std::shared_ptr<StopEvent> stop;  // null: the thread ends at once
    SystemInfo* info = nullptr;
    uint64_t generation = 0;
};

std::atomic<uint32_t> g_activeMode{0};
std::atomic<uint32_t> g_requestedMode{0};
std::atomic<int32_t> g_suspensions{0};

// The controls' side, used from the instrument's thread only.
std::shared_ptr<StopEvent> g_stop;  // the event the next thread gets
PlatThread* g_thread = nullptr;

// What a thread's end changes, and the query of the SDO layer, under g_endLock:
// only the thread of the current generation clears the active mode and counts
// as running.
std::mutex g_endLock;
uint64_t g_generation = 0;
uint64_t g_currentRun = 0;  // 0: none
std::atomic<bool> g_running{false};
std::atomic<bool> g_stopping{false};
std::atomic<int> g_lastResult{0};

std::mutex g_sourceLock;
CanAgcFrameSource g_source{};
bool g_sourceSet = false;

bool agc_running_query() {
    return g_running.load();
}

bool is_qel_family(int32_t type) {
    return type == 23 || type == 25 || type == 26 || type == 30 || type == 32 || type == 33;
}

bool applicable(const SystemInfo* info) {
    return info != nullptr && info->instrBdType == SB_BOARD_CAN &&
           is_qel_family(info->systemType) && info->can.focusNdwRequired != 0;
}

bool frame_source(CanAgcFrameSource* out) {
    std::lock_guard<std::mutex> guard(g_sourceLock);
    *out = g_source;
    return g_sourceSet;
}

// Waits up to `ms` on the stop event: true when a stop was requested.
bool pause_or_stop(const AgcRun& run, int64_t ms) {
    return plat_wait_one(run.stop->handle, ms) == 0;
}

bool stop_requested(const AgcRun& run) {
    return pause_or_stop(run, 0);
}

constexpr int kStopped = -1;

// The wheel wait; with a stop event a stop cuts it short (kStopped).
int wait_for_wheel(SystemInfo* info, PlatWaitable* stop) {
    PlatWaitable* stopped = plat_named_open("CAN_NDWHEEL_STOPPED");
    if (stopped == nullptr) {
        if (stop == nullptr) {
            plat_sleep_ms(kWheelNoEventMs);
            return NO_ERROR;
        }
        return plat_wait_one(stop, kWheelNoEventMs) == 0 ? kStopped : NO_ERROR;
    }
    int result = ERR_HW_FAIL;
    for (int i = 0; i < kWheelWaits; ++i) {
        can_poll_events(info);
        PlatWaitable* objects[2] = {stopped, stop};
        int got = plat_wait_any(objects, stop != nullptr ? 2 : 1, kWheelWaitMs);
        if (got == 0) {
            result = NO_ERROR;
            break;
        }
        if (got == 1) {
            result = kStopped;
            break;
        }
    }
    plat_handle_close(stopped);
    return result;
}

// The level reached by the brightest pixels of a frame of `count` packed
// pixels, `bits` deep.
int brightest_level(const uint8_t* pixels, int64_t count, bool wide, int bits,
                    uint32_t* histogram) {
    const uint32_t top = (1u << bits) - 1;
    std::memset(histogram, 0, sizeof(uint32_t) * (top + 1));
    for (int64_t i = 0; i < count; ++i) {
        uint32_t v;
        if (wide) {
            uint16_t w;
            std::memcpy(&w, pixels + 2 * i, 2);
            v = w;
        } else {
            v = pixels[i];
        }
        ++histogram[v > top ? top : v];
    }
    uint64_t sum = 0;
    for (int64_t bin = top; bin >= 0; --bin) {
        sum += histogram[bin];
        if (sum >= static_cast<uint64_t>(kBrightestPixels)) return static_cast<int>(bin);
    }
    return 0;
}

struct Buffers {
    FrameStore image{};
    uint32_t* histogram = nullptr;
    ~Buffers() {
        fs_release(&image);
        u_free(histogram);
    }
};

int run_loop(const AgcRun& run) {
    SystemInfo* info = run.info;
    if (!run.stop) {
        u_msg_stamped("%s: can_agc_stop_event = NULL\n", kThreadName);
        return ERR_INTERNAL_KT;
    }
    SysAcqState& acq = info->acq;
    const bool live = acq.acquiring.load();
    const int mode = live ? acq.liveModeIndex : acq.measureModeIndex;
    if (mode < 0 || mode >= ACQ_MAX_MODES) {
        u_msg_stamped("%s: invalid mode index = %d\n", kThreadName, mode);
        return ERR_ACQ_INVALID_MODE;
    }
    // More bits would ask for a histogram of millions of counters.
    const int bits = acq.modeBitsPerPixel[mode];
    if (bits < 1 || bits > kMaxBits) {
        u_msg_stamped("%s: unsupported resolution = %d bits\n", kThreadName, bits);
        return ERR_ACQ_INVALID_MODE;
    }
    const bool wide = acq.modeBytesPerPixel[mode] != 1;
    const AcqSize size = live ? acq.liveSize : acq.measureSize;
    int32_t sub = live ? acq.liveSubsampling : acq.measureSubsampling;
    if (sub < 1) sub = 1;
    const Window window{0, 0, static_cast<int16_t>(size.width / sub),
                        static_cast<int16_t>(size.height / sub)};

    Buffers buffers;
    int err = fs_setup(&buffers.image, window, 1, wide ? 2 : 1, bits);
    if (err != NO_ERROR) {
        u_msg_stamped("%s: Error allocating frame buffer: %s\n", kThreadName, u_error_name(err));
        return err;
    }
    buffers.histogram = static_cast<uint32_t*>(u_alloc(sizeof(uint32_t) << bits));
    if (buffers.histogram == nullptr) {
        u_msg_stamped("%s: Error allocating histogram: %s\n", kThreadName,
                      u_error_name(ERR_NO_MEM));
        return ERR_NO_MEM;
    }

    uint16_t level = 0;
    err = can_read_ndw_llcLevel(info, &level, true);
    if (err != NO_ERROR) {
        u_msg_stamped("%s: Error reading ND wheel light level: %s\n", kThreadName,
                      u_error_name(err));
        return err;
    }
    double command = level;
    uint16_t lastWritten = level;
    double previousError = 0;
    int iteration = 0;
    int skip = 0;
    int errors = 0;
    const int64_t pixels = int64_t{window.width} * window.height;
    const double targetLevel = (info->llcTarget + 1) / 256.0;
    const double fullScale = std::ldexp(1.0, bits);

    // A failure of a frame, a write or a wheel wait; the tenth in a row ends
    // the thread. Only an iteration that went through clears the count, so
    // that a wheel that refuses every write also ends it.
    auto failed = [&](int code) { return ++errors >= kMaxConsecutiveErrors ? code : NO_ERROR; };

    while (!stop_requested(run)) {
        CanAgcFrameSource source;
        if (!frame_source(&source)) {
            u_msg_stamped(live ? "%s: Error copying frame: %s\n" : "%s: Error grabbing frame: %s\n",
                          kThreadName, u_error_name(ERR_ACQ_DEVICE_CLOSE));
            return ERR_ACQ_DEVICE_CLOSE;
        }
        if (acq.acquiring.load()) {
            err = source.copyLatest(info, &buffers.image);
            if (err != NO_ERROR)
                u_msg_stamped("%s: Error copying frame: %s\n", kThreadName, u_error_name(err));
        } else {
            err = source.grab(info, 1, 1);
            if (err != NO_ERROR) {
                u_msg_stamped("%s: Error grabbing frame: %s\n", kThreadName, u_error_name(err));
            } else {
                double rate = acq.frameRate;
                double timeout = 1.0 + (rate > 0 ? 2.0 / rate : 0.0);
                err = source.copyNumbered(info, &buffers.image, 0, timeout);
                if (err != NO_ERROR)
                    u_msg_stamped("%s: Error copying frame: %s\n", kThreadName, u_error_name(err));
            }
        }
        if (err != NO_ERROR) {
            if (err == ERR_LOST_FRAME && skip == 0) skip = 1;
            if (failed(err) != NO_ERROR) return err;
            continue;
        }
        if (stop_requested(run)) break;

        if (skip > 0) {
            --skip;
            errors = 0;
            double rate = acq.frameRate;
            if (acq.acquiring.load() && rate > 0) {
                if (pause_or_stop(run, static_cast<int64_t>(1000.0 / rate))) break;
            }
            continue;
        }

        int brightest =
            brightest_level(buffers.image.matrix, pixels, wide, bits, buffers.histogram);
        double e = (brightest + 1) / fullScale - targetLevel;
        if (std::fabs(e) <= kTolerance) {
            errors = 0;
            iteration = 0;
            if (pause_or_stop(run, kPauseMs)) break;
            continue;
        }
        ++iteration;
        double p = kGain * e;
        double d = kGain * (e - previousError);
        previousError = e;
        if (iteration % 10 == 0) {
            if (p > 1000) p -= 1000;
            if (d > 1000) d -= 1000;
        }
        command += p + d;
        if (command < 0) command = 0;
        if (command > 65535) command = 65535;
        const uint16_t next = static_cast<uint16_t>(command);
        if (next == lastWritten) {
            errors = 0;
            iteration = 0;
            if (pause_or_stop(run, kPauseMs)) break;
            continue;
        }
        err = can_write_ndw_llcLevel(info, next, true);
        if (err != NO_ERROR) {
            u_msg_stamped("%s: Error setting NDW: %s\n", kThreadName, u_error_name(err));
            if (failed(err) != NO_ERROR) return err;
            continue;
        }
        lastWritten = next;
        err = wait_for_wheel(info, run.stop->handle);
        if (err == kStopped) break;
        if (err != NO_ERROR) {
            u_msg_stamped("%s: Error waiting for LLC: %s\n", kThreadName, u_error_name(err));
            if (failed(err) != NO_ERROR) return err;
            continue;
        }
        errors = 0;
        skip = 2;
    }
    return NO_ERROR;
}

uint32_t agc_thread(void* argument) {
    std::shared_ptr<AgcRun> run(std::move(*static_cast<std::shared_ptr<AgcRun>*>(argument)));
    delete static_cast<std::shared_ptr<AgcRun>*>(argument);
    int result = run_loop(*run);
    {
        std::lock_guard<std::mutex> guard(g_endLock);
        if (run->generation == g_currentRun) {
            if (result != NO_ERROR) g_activeMode.store(0);
            g_running.store(false);
            g_lastResult.store(result);
        }
    }
    return static_cast<uint32_t>(result);
}

// Joins a thread that ended by itself (nothing to signal).
void reap_ended_thread() {
    if (g_thread != nullptr && !g_running.load()) {
        plat_thread_join_timed(g_thread, PLAT_INFINITE, nullptr);
        g_thread = nullptr;
        std::lock_guard<std::mutex> guard(g_endLock);
        g_currentRun = 0;
    }
}

}  // namespace

void can_agc_set_frame_source(const CanAgcFrameSource* source) {
    std::lock_guard<std::mutex> guard(g_sourceLock);
    g_sourceSet = source != nullptr && source->copyLatest != nullptr && source->grab != nullptr &&
                  source->copyNumbered != nullptr;
    g_source = g_sourceSet ? *source : CanAgcFrameSource{};
}

int can_agc_init() {
    can_set_agc_running_query(agc_running_query);
    if (!g_stop) {
        PlatWaitable* event = plat_event_create(true, false);
        if (event == nullptr) {
            u_msg_stamped("%s: Error creating event object\n", "can_agc_init");
            return ERR_INTERNAL_KT;
        }
        g_stop = std::make_shared<StopEvent>(event);
    }
    g_activeMode.store(0);
    g_requestedMode.store(0);
    g_suspensions.store(0);
    return NO_ERROR;
}

int can_agc_start_thread(SystemInfo* info) {
    can_set_agc_running_query(agc_running_query);
    reap_ended_thread();
    if (g_thread != nullptr) return NO_ERROR;  // one thread per process
    if (g_stop) plat_event_reset(g_stop->handle);
    auto run = std::make_shared<AgcRun>();
    run->stop = g_stop;
    run->info = info;
    {
        std::lock_guard<std::mutex> guard(g_endLock);
        run->generation = ++g_generation;
        g_currentRun = run->generation;
        g_running.store(true);
        g_lastResult.store(0);
    }
    g_stopping.store(false);
    auto* argument = new std::shared_ptr<AgcRun>(run);
    g_thread = plat_thread_create(agc_thread, argument);
    if (g_thread == nullptr) {
        delete argument;
        {
            std::lock_guard<std::mutex> guard(g_endLock);
            g_currentRun = 0;
            g_running.store(false);
        }
        u_msg_stamped("%s: Failed to create AGC thread\n", "can_agc_start_thread");
        return ERR_INTERNAL_KT;
    }
    return NO_ERROR;
}

int can_agc_stop_thread() {
    if (g_thread == nullptr) return NO_ERROR;
    if (g_stop) plat_event_set(g_stop->handle);
    g_stopping.store(true);
    int waited = plat_thread_join_timed(g_thread, kStopWaitMs, nullptr);
    int result = NO_ERROR;
    if (waited != 0) {
        u_msg_stamped("%s: failed to stop thread within %g sec\n", "can_agc_stop_thread",
                      kStopWaitMs / 1000.0);
        // Let it end by itself on its own state; the next thread gets a new
        // event, so restarting cannot wake this one up again.
        plat_thread_detach(g_thread);
        PlatWaitable* event = plat_event_create(true, false);
        g_stop = event != nullptr ? std::make_shared<StopEvent>(event) : nullptr;
        result = ERR_INTERNAL_KT;
    }
    g_thread = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_endLock);
        g_currentRun = 0;
        g_running.store(false);
    }
    g_stopping.store(false);
    return result;
}

int can_agc_start(SystemInfo* info, uint32_t mode) {
    if (!applicable(info)) {
        u_msg_stamped("%s: CAN AGC is not applicable\n", "can_agc_start");
        return NO_ERROR;
    }
    if (mode == 0) return ERR_INVALID_PARAM;
    if (info->systemType == 26) {
        if (info->can.auxMotorPresent) {
            uint8_t position = 0;
            if (can_read_dmd_motor2_position(info, CAN_NODE_AUX_MOTOR, &position) != NO_ERROR)
                return ERR_CAN_SDO_AUX_MOTOR_ERROR;
            if (position == 1) return NO_ERROR;
        }
    } else if (!info->acq.primaryCameraSelected) {
        return NO_ERROR;
    }
    g_requestedMode.store(mode);
    if (g_suspensions.load() == 0 && info->acq.acquiring.load()) {
        g_activeMode.store(mode);
        reap_ended_thread();
        if (g_thread == nullptr) return can_agc_start_thread(info);
    }
    return NO_ERROR;
}

int can_agc_stop(SystemInfo* info) {
    if (!applicable(info)) return NO_ERROR;
    reap_ended_thread();
    const bool ran = g_thread != nullptr;
    int err = can_agc_stop_thread();
    // Forgotten also when no thread runs, so that a later resume cannot start
    // what was stopped.
    g_activeMode.store(0);
    g_requestedMode.store(0);
    g_suspensions.store(0);
    if (!ran) return err;
    uint16_t level = 0;
    int read = can_read_ndw_llcLevel(info, &level, true);
    if (read == NO_ERROR) info->can.lightLevel = level;
    return err != NO_ERROR ? err : read;
}

int can_agc_suspend(SystemInfo* info, bool suspend) {
    if (!applicable(info)) return NO_ERROR;
    reap_ended_thread();
    if (suspend) {
        g_suspensions.fetch_add(1);
        if (g_thread != nullptr) {
            int err = can_agc_stop_thread();
            if (err != NO_ERROR) return err;
            // A thread that failed meanwhile cleared the active mode: the
            // requested one is still the mode to resume.
            uint32_t active = g_activeMode.exchange(0);
            if (active != 0) g_requestedMode.store(active);
        }
    } else if (g_suspensions.load() > 0) {
        g_suspensions.fetch_sub(1);
    }
    if (g_suspensions.load() == 0 && g_thread == nullptr && g_requestedMode.load() != 0 &&
        info->acq.acquiring.load()) {
        g_activeMode.store(g_requestedMode.load());
        return can_agc_start_thread(info);
    }
    return NO_ERROR;
}

int can_agc_release() {
    // The stop event stays: a thread that was let go may still wait on it.
    return can_agc_stop_thread();
}

uint32_t can_agc_active_mode() {
    return g_activeMode.load();
}
uint32_t can_agc_requested_mode() {
    return g_requestedMode.load();
}
int32_t can_agc_suspension_count() {
    return g_suspensions.load();
}
bool can_agc_stopping() {
    return g_stopping.load();
}
int can_agc_thread_result() {
    return g_lastResult.load();
}

int ac_llc_wait(SystemInfo* info) {
    return wait_for_wheel(info, nullptr);
}
