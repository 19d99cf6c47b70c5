#include "platform/wakeup.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "platform/clock.h"
#include "platform/pty.h"

namespace {
class Wakeup : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(plat_wakeup_open(&wakeup_)); }
    void TearDown() override { plat_wakeup_close(&wakeup_); }

    // Waits for the wake-up alone; `signalled` must already be true when the
    // wait returns, so a wait that ends early is caught.
    void expect_woken_only_after_signal(int64_t deadline_ns) {
        std::atomic<bool> signalled{false};
        std::thread signaller([&] {
            plat_sleep_ms(50);
            signalled = true;
            plat_wakeup_signal(&wakeup_);
        });
        int ready = plat_wakeup_wait(&wakeup_, -1, false, false, deadline_ns);
        bool was_signalled = signalled.load();
        signaller.join();
        EXPECT_EQ(ready, PLAT_READY_WOKEN);
        EXPECT_TRUE(was_signalled);
    }

    PlatWakeup wakeup_;
};

TEST_F(Wakeup, SignalsCollapseIntoOneAndADrainClearsThem) {
    EXPECT_FALSE(plat_wakeup_drain(&wakeup_));
    plat_wakeup_signal(&wakeup_);
    plat_wakeup_signal(&wakeup_);
    plat_wakeup_signal(&wakeup_);
    // A signal given before the wait is not lost.
    EXPECT_EQ(plat_wakeup_wait(&wakeup_, -1, false, false, PLAT_NO_DEADLINE), PLAT_READY_WOKEN);
    // The wait does not consume it.
    EXPECT_EQ(plat_wakeup_wait(&wakeup_, -1, false, false, PLAT_NO_DEADLINE), PLAT_READY_WOKEN);
    EXPECT_TRUE(plat_wakeup_drain(&wakeup_));
    EXPECT_FALSE(plat_wakeup_drain(&wakeup_));
    EXPECT_EQ(plat_wakeup_wait(&wakeup_, -1, false, false, plat_clock_ns()), 0);
}

TEST_F(Wakeup, ASignalFromAnotherThreadEndsAWaitWithoutOrWithAFarDeadline) {
    expect_woken_only_after_signal(PLAT_NO_DEADLINE);
    ASSERT_TRUE(plat_wakeup_drain(&wakeup_));
    // Spans that do not fit the real clock must not wrap round into "now".
    expect_woken_only_after_signal(PLAT_NO_DEADLINE - 1);
    ASSERT_TRUE(plat_wakeup_drain(&wakeup_));
    expect_woken_only_after_signal(plat_clock_ns() + INT64_MAX / 2);
}

TEST_F(Wakeup, TheDeadlineIsOnTheLibraryClockAndNeverEndsTheWaitEarly) {
    for (int64_t span_ms : {0, 1, 30, 200}) {
        const int64_t deadline = plat_clock_ns() + span_ms * 1000000;
        EXPECT_EQ(plat_wakeup_wait(&wakeup_, -1, false, false, deadline), 0) << span_ms;
        EXPECT_GE(plat_clock_ns(), deadline) << span_ms;
    }
    // A deadline already past returns at once, with what is ready.
    plat_wakeup_signal(&wakeup_);
    EXPECT_EQ(plat_wakeup_wait(&wakeup_, -1, false, false, plat_clock_ns() - 1000000000),
              PLAT_READY_WOKEN);
}

TEST_F(Wakeup, ReportsTheDescriptorTogetherWithTheWakeup) {
    if (!plat_pty_available()) GTEST_SKIP() << "no descriptors to wait on without pseudo-terminals";
    PlatPty pty;
    ASSERT_TRUE(plat_pty_open(&pty));
    const int fd = pty.controller;
    const int64_t soon = plat_clock_ns() + 20 * 1000000;
    // Nothing to read; an empty line can be written.
    EXPECT_EQ(plat_wakeup_wait(&wakeup_, fd, true, false, soon), 0);
    EXPECT_EQ(plat_wakeup_wait(&wakeup_, fd, true, true, soon), PLAT_READY_WRITE);

    ASSERT_TRUE(plat_fd_write_all(pty.terminal, "x", 1));
    EXPECT_EQ(plat_wakeup_wait(&wakeup_, fd, true, false, PLAT_NO_DEADLINE), PLAT_READY_READ);
    // Not asked to read: the waiting byte does not end the wait.
    EXPECT_EQ(plat_wakeup_wait(&wakeup_, fd, false, false, plat_clock_ns() + 20 * 1000000), 0);
    plat_wakeup_signal(&wakeup_);
    EXPECT_EQ(plat_wakeup_wait(&wakeup_, fd, true, false, PLAT_NO_DEADLINE),
              PLAT_READY_READ | PLAT_READY_WOKEN);
    plat_pty_close(&pty);
}

TEST(VoluntarySwitches, CountTheSleepsOfEveryThread) {
    const int64_t before = plat_voluntary_switches();
    if (before < 0) GTEST_SKIP() << "the system keeps no count of voluntary switches";
    std::thread sleeper([] {
        for (int i = 0; i < 20; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    sleeper.join();
    EXPECT_GE(plat_voluntary_switches() - before, 20);
}
}  // namespace
