#include "can/can_sleep.h"

#include <cerrno>
#include <memory>
#include <mutex>
#include <vector>

#include "can/can_events.h"
#include "common/msg.h"
#include "common/status.h"
#include "config/sysinfo.h"
#include "platform/event.h"
#include "platform/thread.h"

namespace {

constexpr int64_t kStopWaitMs = 5000;
constexpr int64_t kRequestIntervalMs = 1000;

// One thread's own objects: made by sleep_mode_start before the thread, so
// a stop can always signal Exit, and shared with the thread, so one that
// outlives the stop's wait still has them when it reaches its next wait.
struct SleepRun {
    SystemInfo* info = nullptr;
    PlatWaitable* exit = nullptr;
    PlatWaitable* timer = nullptr;
    ~SleepRun() {
        plat_handle_close(timer);
        plat_handle_close(exit);
    }
};

// Reset, Sleep and Wakeup live for the process: SDO transfers and the
// application signal them from any thread, at any time.
PlatWaitable* g_reset = nullptr;
PlatWaitable* g_sleep = nullptr;
PlatWaitable* g_wakeup = nullptr;
std::once_flag g_shared_once;

std::mutex g_mutex;  // the fields below; start and stop only
PlatThread* g_thread = nullptr;
std::shared_ptr<SleepRun> g_run;
std::vector<PlatThread*> g_lingering;  // stopped, not yet ended

void create_shared() {
    std::call_once(g_shared_once, [] {
        g_reset = plat_event_create(true, false);
        g_wakeup = plat_event_create(true, true);
        g_sleep = plat_event_create(true, false);
    });
}

// Joins the stopped threads that have ended since.
void reap_lingering() {
    std::vector<PlatThread*> still;
    for (PlatThread* thread : g_lingering)
        if (plat_thread_join_timed(thread, 0, nullptr) == PLAT_WAIT_TIMEOUT)
            still.push_back(thread);
    g_lingering.swap(still);
}

uint32_t run_loop(const SleepRun& run) {
    PlatWaitable* counting[3] = {run.exit, g_reset, run.timer};
    PlatWaitable* requesting[2] = {run.exit, g_sleep};
    PlatWaitable* asleep[2] = {run.exit, g_wakeup};
    for (;;) {
        if (plat_wait_one(run.exit, 0) == 0) return 0;
        int seconds = run.info->sleepTimeout;
        // A timeout of 0 means no count: only Exit or activity ends the wait.
        int count = 2;
        if (seconds != 0) {
            if (!plat_timer_set(run.timer, int64_t{seconds} * 1000)) {
                u_msg_sink("Error setting Sleep Mode timer (%d)\n", errno);
                return ERR_SLEEP_TIMER_SET;
            }
            count = 3;
        } else {
            plat_timer_cancel(run.timer);
        }
        int woken = plat_wait_any(counting, count, PLAT_INFINITE);
        if (woken == 0) continue;
        if (woken == 1) {
            plat_event_reset(g_reset);
            continue;
        }
        if (woken != 2) return ERR_UNKNOWN;
        // Both cleared before the first request, so a Wakeup that follows
        // Sleep at once is kept for the asleep state.
        plat_event_reset(g_sleep);
        plat_event_reset(g_wakeup);
        int answer;
        do {
            can_post_app_event(CAN_EVENT_SLEEP_REQUEST, CanPdoRecord{});
            answer = plat_wait_any(requesting, 2, kRequestIntervalMs);
        } while (answer == PLAT_WAIT_TIMEOUT);
        if (answer != 1) continue;
        if (plat_wait_any(asleep, 2, PLAT_INFINITE) == 1) plat_event_reset(g_wakeup);
        plat_event_reset(g_sleep);
    }
}

uint32_t sleep_thread(void* argument) {
    std::unique_ptr<std::shared_ptr<SleepRun>> holder(
        static_cast<std::shared_ptr<SleepRun>*>(argument));
    std::shared_ptr<SleepRun> run = std::move(*holder);
    uint32_t code = run_loop(*run);
    plat_timer_cancel(run->timer);
    return code;
}

}  // namespace

void sleep_mode_start(SystemInfo* info) {
    std::lock_guard<std::mutex> guard(g_mutex);
    reap_lingering();
    if (g_thread != nullptr) return;
    create_shared();
    if (g_reset == nullptr) {
        u_msg_sink("Error creating Sleep Mode Reset Event (%d)\n", errno);
        return;
    }
    if (g_wakeup == nullptr) {
        u_msg_sink("Error creating Sleep Mode Wakeup Event (%d)\n", errno);
        return;
    }
    if (g_sleep == nullptr) {
        u_msg_sink("Error creating Sleep Mode Sleep Event (%d)\n", errno);
        return;
    }
    auto run = std::make_shared<SleepRun>();
    run->info = info;
    run->timer = plat_timer_create(true);
    if (run->timer == nullptr) {
        u_msg_sink("Error creating Sleep Mode Timer (%d)\n", errno);
        return;
    }
    run->exit = plat_event_create(true, false);
    if (run->exit == nullptr) {
        u_msg_sink("Error creating Sleep Mode Exit Event (%d)\n", errno);
        return;
    }
    // Activity before this start does not shorten the first count.
    plat_event_reset(g_reset);
    auto* argument = new std::shared_ptr<SleepRun>(run);
    PlatThread* thread = plat_thread_create(sleep_thread, argument);
    if (thread == nullptr) {
        delete argument;
        u_msg_sink("Failed to start Sleep Mode thread\n");
        return;
    }
    g_thread = thread;
    g_run = std::move(run);
}

bool sleep_mode_stop() {
    std::lock_guard<std::mutex> guard(g_mutex);
    reap_lingering();
    if (g_thread == nullptr) return false;
    plat_event_set(g_run->exit);
    if (plat_thread_join_timed(g_thread, kStopWaitMs, nullptr) == PLAT_WAIT_TIMEOUT)
        g_lingering.push_back(g_thread);
    g_thread = nullptr;
    g_run.reset();
    return true;
}

void sleep_mode_signal_sleep() {
    create_shared();
    plat_event_set(g_sleep);
}

void sleep_mode_signal_wakeup() {
    create_shared();
    plat_event_set(g_wakeup);
}

void sleep_mode_note_activity() {
    create_shared();
    plat_event_set(g_reset);
}
