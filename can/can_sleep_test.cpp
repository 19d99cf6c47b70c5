#include "can/can_sleep.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "can/can_events.h"
#include "common/status.h"
#include "config/sysinfo.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/process.h"

namespace {

// The idle counts are seconds long: a fast clock unless the run sets one.
const bool kClockSet = [] {
    if (std::getenv("SURF_CLOCK_SCALE") == nullptr) plat_set_clock_scale(100);
    return true;
}();

int thread_count() {
    return plat_process_thread_count();
}

void drain_events() {
    CanAppEvent event;
    while (can_get_app_event(&event)) {
    }
}

// Waits (library clock) for the next application event; false on time-out.
// *before: a time at which it had not yet been posted.
bool next_event(CanAppEvent* event, int64_t limit_ms, int64_t* before = nullptr) {
    int64_t end = plat_clock_ms() + limit_ms;
    for (;;) {
        int64_t now = plat_clock_ms();
        if (can_get_app_event(event)) return true;
        if (before != nullptr) *before = now;
        if (now >= end) return false;
        plat_sleep_ms(20);
    }
}

bool is_sleep_request(const CanAppEvent& event) {
    CanPdoRecord zero{};
    return event.kind == CAN_EVENT_SLEEP_REQUEST &&
           std::memcmp(&event.pdo, &zero, sizeof zero) == 0;
}

// Holds the application queues' lock, as a poll running at that moment would.
class EventLockHeld {
  public:
    EventLockHeld() : lock_(plat_named_open("PrynCanEventMutex")) {
        plat_wait_one(lock_, PLAT_INFINITE);
    }
    ~EventLockHeld() { release(); }
    void release() {
        if (lock_ != nullptr) plat_event_set(lock_);
        plat_handle_close(lock_);
        lock_ = nullptr;
    }

  private:
    PlatWaitable* lock_;
};

class SleepModeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(CanCreateSyncObjects(), 0);
        // A sanitizer's runtime starts a thread of its own with the first
        // thread: count after it.
        std::thread([] {}).join();
        threads_ = thread_count();
        drain_events();
        info_ = std::make_unique<SystemInfo>();
    }
    void TearDown() override {
        sleep_mode_stop();
        // A thread left behind by a timed-out stop is joined by later calls.
        int64_t end = plat_clock_ms() + 60000;
        while (thread_count() > threads_ && plat_clock_ms() < end) {
            sleep_mode_stop();
            plat_sleep_ms(50);
        }
        EXPECT_EQ(thread_count(), threads_);
        drain_events();
    }

    int threads_ = 0;
    std::unique_ptr<SystemInfo> info_;
};

TEST_F(SleepModeTest, RequestsOnceASecondAfterTheTimeoutUntilStopped) {
    EXPECT_FALSE(sleep_mode_stop());
    info_->sleepTimeout = 2;
    int64_t started = plat_clock_ms();
    sleep_mode_start(info_.get());
    sleep_mode_start(info_.get());  // one thread only
    EXPECT_EQ(thread_count(), threads_ + 1);
    CanAppEvent event;
    int64_t first = 0;
    ASSERT_TRUE(next_event(&event, 60000, &first));
    EXPECT_TRUE(is_sleep_request(event));
    EXPECT_GE(plat_clock_ms() - started, 2000);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(next_event(&event, 60000));
        EXPECT_TRUE(is_sleep_request(event));
    }
    // Three requests a second or more apart.
    EXPECT_GE(plat_clock_ms() - first, 2000);
    EXPECT_TRUE(sleep_mode_stop());
    EXPECT_FALSE(sleep_mode_stop());
    drain_events();
    EXPECT_FALSE(next_event(&event, 1500));
}

TEST_F(SleepModeTest, ActivityRestartsTheCount) {
    info_->sleepTimeout = 4;
    sleep_mode_start(info_.get());
    int64_t last = plat_clock_ms();
    int64_t previousGap = 0;
    for (int i = 0; i < 6; ++i) {
        plat_sleep_ms(2000);
        CanAppEvent event;
        int64_t now = plat_clock_ms();
        // A request may come only when this machine let a whole count pass
        // between two notes of activity: in this gap, or in the one before
        // it when the count ran out just as the activity was noted and the
        // request was already on its way.
        if (can_get_app_event(&event)) {
            EXPECT_GE(std::max(now - last, previousGap), 4000) << "request after activity";
        }
        sleep_mode_note_activity();
        previousGap = now - last;
        last = plat_clock_ms();
    }
}

TEST_F(SleepModeTest, SleepHoldsRequestsUntilWakeupThenAFullCount) {
    info_->sleepTimeout = 2;
    sleep_mode_start(info_.get());
    CanAppEvent event;
    ASSERT_TRUE(next_event(&event, 60000));
    sleep_mode_signal_sleep();
    plat_sleep_ms(1500);  // a request already on its way may still land
    drain_events();
    EXPECT_FALSE(next_event(&event, 3000)) << "request while asleep";
    int64_t woken = plat_clock_ms();
    sleep_mode_signal_wakeup();
    ASSERT_TRUE(next_event(&event, 60000));
    EXPECT_TRUE(is_sleep_request(event));
    EXPECT_GE(plat_clock_ms() - woken, 2000);
}

TEST_F(SleepModeTest, WakeupRightAfterSleepIsKept) {
    info_->sleepTimeout = 1;
    sleep_mode_start(info_.get());
    CanAppEvent event;
    ASSERT_TRUE(next_event(&event, 60000));
    int64_t signalled;
    {
        // The thread stops at its next request; Sleep and Wakeup both come
        // before it sees Sleep.
        EventLockHeld held;
        plat_sleep_ms(2500);
        sleep_mode_signal_sleep();
        sleep_mode_signal_wakeup();
        signalled = plat_clock_ms();
    }
    // At most the request that was waiting for the lock, then a full count.
    int64_t end = plat_clock_ms() + 60000;
    bool resumed = false;
    while (!resumed && next_event(&event, end - plat_clock_ms())) {
        if (plat_clock_ms() - signalled >= 1000) resumed = true;
    }
    EXPECT_TRUE(resumed) << "the thread waits for a Wakeup that was lost";
}

TEST_F(SleepModeTest, ZeroTimeoutWaitsForActivity) {
    info_->sleepTimeout = 0;
    sleep_mode_start(info_.get());
    CanAppEvent event;
    EXPECT_FALSE(next_event(&event, 3000)) << "request without a timeout";
    info_->sleepTimeout = 1;
    sleep_mode_note_activity();
    ASSERT_TRUE(next_event(&event, 60000));
    EXPECT_TRUE(is_sleep_request(event));
}

TEST_F(SleepModeTest, SignalsFromOtherThreadsAcrossStartsAndStops) {
    // Transfers and the application signal at any time, also while the
    // thread starts or ends: the events they use stay valid.
    std::atomic<bool> done{false};
    std::thread signaller([&] {
        while (!done.load()) {
            sleep_mode_note_activity();
            sleep_mode_signal_sleep();
            sleep_mode_signal_wakeup();
        }
    });
    info_->sleepTimeout = 1;
    for (int i = 0; i < 20; ++i) {
        sleep_mode_start(info_.get());
        EXPECT_TRUE(sleep_mode_stop());
    }
    done = true;
    signaller.join();
}

TEST_F(SleepModeTest, ThreadOutlivingTheStopKeepsItsOwnState) {
    info_->sleepTimeout = 1;
    auto second = std::make_unique<SystemInfo>();
    second->sleepTimeout = 2;
    {
        // Blocks the first thread in its first request, past the stop's wait.
        EventLockHeld held;
        sleep_mode_start(info_.get());
        plat_sleep_ms(3000);
        EXPECT_TRUE(sleep_mode_stop());
        sleep_mode_start(second.get());
    }
    // The first thread posts the request it held, then ends; the second
    // keeps counting on its own Exit event.
    drain_events();
    plat_sleep_ms(500);
    drain_events();
    CanAppEvent event;
    ASSERT_TRUE(next_event(&event, 60000)) << "the new thread ended with the old one";
    EXPECT_TRUE(is_sleep_request(event));
    ASSERT_TRUE(next_event(&event, 60000));
    EXPECT_TRUE(sleep_mode_stop());
}

}  // namespace
