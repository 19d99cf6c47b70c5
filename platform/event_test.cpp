#include "platform/event.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "common/testing/child_process.h"
#include "platform/clock.h"
#include "platform/host.h"
#include "platform/process.h"

namespace {
// Waits in these tests run on a clock 50 times faster than real time.
const bool kScaled = [] {
    if (std::getenv("SURF_CLOCK_SCALE") == nullptr) plat_set_clock_scale(50);
    return true;
}();

struct Handles {
    std::vector<PlatWaitable*> list;
    PlatWaitable* add(PlatWaitable* handle) {
        list.push_back(handle);
        return handle;
    }
    ~Handles() {
        for (PlatWaitable* handle : list) plat_handle_close(handle);
    }
};

TEST(Event, ManualStaysSignalledAutoIsConsumedByOneWait) {
    Handles h;
    PlatWaitable* manual = h.add(plat_event_create(true, true));
    PlatWaitable* automatic = h.add(plat_event_create(false, true));
    EXPECT_EQ(plat_wait_one(manual, 0), 0);
    EXPECT_EQ(plat_wait_one(manual, 0), 0);
    EXPECT_EQ(plat_wait_one(automatic, 0), 0);
    EXPECT_EQ(plat_wait_one(automatic, 0), PLAT_WAIT_TIMEOUT);
    ASSERT_TRUE(plat_event_reset(manual));
    EXPECT_EQ(plat_wait_one(manual, 0), PLAT_WAIT_TIMEOUT);
}

TEST(Event, WaitAnyTakesLowestSignalledIndexAndConsumesOnlyThatOne) {
    Handles h;
    PlatWaitable* set[3] = {h.add(plat_event_create(false, false)),
                            h.add(plat_event_create(false, true)),
                            h.add(plat_event_create(false, true))};
    EXPECT_EQ(plat_wait_any(set, 3, 0), 1);
    EXPECT_EQ(plat_wait_any(set, 3, 0), 2);
    EXPECT_EQ(plat_wait_any(set, 3, 0), PLAT_WAIT_TIMEOUT);
    plat_event_set(set[2]);
    plat_event_set(set[0]);
    EXPECT_EQ(plat_wait_any(set, 3, 0), 0);
    EXPECT_EQ(plat_wait_one(set[2], 0), 0);
}

TEST(Event, WaitRefusesBadArguments) {
    Handles h;
    PlatWaitable* one = h.add(plat_event_create(true, true));
    PlatWaitable* with_null[2] = {one, nullptr};
    EXPECT_EQ(plat_wait_any(with_null, 2, 0), PLAT_WAIT_FAILED);
    EXPECT_EQ(plat_wait_any(with_null, 0, 0), PLAT_WAIT_FAILED);
    EXPECT_EQ(plat_wait_one(nullptr, 0), PLAT_WAIT_FAILED);
    EXPECT_FALSE(plat_event_set(nullptr));
}

TEST(Event, TimeOutIsReportedAfterTheTimeOnTheLibraryClock) {
    Handles h;
    PlatWaitable* event = h.add(plat_event_create(true, false));
    int64_t start = plat_clock_ms();
    EXPECT_EQ(plat_wait_one(event, 500), PLAT_WAIT_TIMEOUT);
    EXPECT_GE(plat_clock_ms() - start, 500);
}

TEST(Event, OneAutoResetSignalReleasesExactlyOneOfTwoWaiters) {
    Handles h;
    PlatWaitable* event = h.add(plat_event_create(false, false));
    std::atomic<int> woken{0};
    auto waiter = [&] {
        // Long enough that a loaded machine cannot time the second waiter out.
        if (plat_wait_one(event, 600000) == 0) ++woken;
    };
    std::thread a(waiter), b(waiter);
    plat_event_set(event);
    // The second waiter must still be waiting a while after the first woke.
    while (woken.load() == 0) std::this_thread::yield();
    plat_sleep_ms(200);
    EXPECT_EQ(woken.load(), 1);
    plat_event_set(event);
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), 2);
}

TEST(Timer, ManualTimerSignalsAtItsDueTimeAndStaysSignalledUntilRearmed) {
    Handles h;
    PlatWaitable* timer = h.add(plat_timer_create(true));
    EXPECT_EQ(plat_wait_one(timer, 0), PLAT_WAIT_TIMEOUT);  // not armed
    int64_t start = plat_clock_ms();
    // Due far enough ahead that the short wait ends first even on a loaded
    // machine (the clock runs 50 times faster here).
    ASSERT_TRUE(plat_timer_set(timer, 5000));
    EXPECT_EQ(plat_wait_one(timer, 50), PLAT_WAIT_TIMEOUT);
    EXPECT_EQ(plat_wait_one(timer, PLAT_INFINITE), 0);
    EXPECT_GE(plat_clock_ms() - start, 5000);
    EXPECT_EQ(plat_wait_one(timer, 0), 0);
    ASSERT_TRUE(plat_timer_set(timer, 10000));
    EXPECT_EQ(plat_wait_one(timer, 0), PLAT_WAIT_TIMEOUT);
    ASSERT_TRUE(plat_timer_cancel(timer));
    EXPECT_EQ(plat_wait_one(timer, 100), PLAT_WAIT_TIMEOUT);
    EXPECT_FALSE(plat_event_set(timer));
}

TEST(Timer, AutoTimerIsConsumedAndWakesAWaitAnyBesideEvents) {
    Handles h;
    PlatWaitable* event = h.add(plat_event_create(true, false));
    PlatWaitable* timer = h.add(plat_timer_create(false));
    PlatWaitable* set[2] = {event, timer};
    plat_timer_set(timer, 100);
    EXPECT_EQ(plat_wait_any(set, 2, 5000), 1);
    EXPECT_EQ(plat_wait_any(set, 2, 0), PLAT_WAIT_TIMEOUT);
    // An armed timer that has fallen due loses to a lower signalled index.
    plat_timer_set(timer, 0);
    plat_event_set(event);
    EXPECT_EQ(plat_wait_any(set, 2, 0), 0);
    plat_event_reset(event);
    EXPECT_EQ(plat_wait_any(set, 2, 0), 1);
}

TEST(Timer, CancelKeepsTheSignalOfATimerThatFellDueBeforeAnyWaitSawIt) {
    Handles h;
    PlatWaitable* manual = h.add(plat_timer_create(true));
    PlatWaitable* automatic = h.add(plat_timer_create(false));
    ASSERT_TRUE(plat_timer_set(manual, 0));
    ASSERT_TRUE(plat_timer_set(automatic, 0));
    ASSERT_TRUE(plat_timer_cancel(manual));
    ASSERT_TRUE(plat_timer_cancel(automatic));
    EXPECT_EQ(plat_wait_one(manual, 0), 0);
    EXPECT_EQ(plat_wait_one(manual, 0), 0);
    EXPECT_EQ(plat_wait_one(automatic, 0), 0);
    EXPECT_EQ(plat_wait_one(automatic, 0), PLAT_WAIT_TIMEOUT);
    // Not yet due when cancelled: it never falls due.
    ASSERT_TRUE(plat_timer_set(automatic, 100));
    ASSERT_TRUE(plat_timer_cancel(automatic));
    EXPECT_EQ(plat_wait_one(automatic, 300), PLAT_WAIT_TIMEOUT);
}

// At real speed the largest spans do not fit into the steady clock's time
// points, so these run in a child at scale 1 and at scale 100.
TEST(Timer, HugeTimeOutsAndDueTimesMeanForeverAtEveryScale) {
    for (double scale : {1.0, 100.0}) {
        EXPECT_EQ(run_in_child([scale] {
                      plat_set_clock_scale(scale);
                      for (int64_t forever : {INT64_MAX, INT64_MAX / 1000000}) {
                          PlatWaitable* event = plat_event_create(false, false);
                          std::atomic<bool> set{false};
                          std::thread setter([&] {
                              plat_sleep_ms(100);
                              set = true;
                              plat_event_set(event);
                          });
                          int result = plat_wait_one(event, forever);
                          bool was_set = set.load();
                          setter.join();
                          CHILD_REQUIRE(result == 0);
                          CHILD_REQUIRE(was_set);

                          // Armed for ever, a signalled timer is signalled no more.
                          PlatWaitable* timer = plat_timer_create(true);
                          plat_timer_set(timer, 0);
                          CHILD_REQUIRE(plat_wait_one(timer, 1000) == 0);
                          plat_timer_set(timer, forever);
                          CHILD_REQUIRE(plat_wait_one(timer, 100) == PLAT_WAIT_TIMEOUT);
                          plat_handle_close(timer);
                          plat_handle_close(event);
                      }
                      return 0;
                  }),
                  0)
            << "scale " << scale;
    }
}

TEST(Named, CreatingAnExistingNameOpensTheSameObjectWhileAHandleLives) {
    bool existed = true;
    PlatWaitable* first = plat_event_create(true, false, "PlatTestNamed", &existed);
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(existed);
    PlatWaitable* second = plat_event_create(false, false, "PlatTestNamed", &existed);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(existed);
    PlatWaitable* opened = plat_named_open("PlatTestNamed");
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(plat_timer_create(true, "PlatTestNamed"), nullptr);

    plat_event_set(second);
    EXPECT_EQ(plat_wait_one(first, 0), 0);
    EXPECT_EQ(plat_wait_one(opened, 0), 0);  // manual, as first created

    plat_handle_close(first);
    plat_handle_close(second);
    EXPECT_EQ(plat_wait_one(opened, 0), 0);
    plat_handle_close(opened);
    EXPECT_EQ(plat_named_open("PlatTestNamed"), nullptr);
    EXPECT_EQ(plat_named_open("PlatTestNoSuchName"), nullptr);
}

// The other process of the test below: ends with 0 when the name is unknown
// to it, 1 when it finds an object of that name.
TEST(NamedChild, LooksForTheName) {
    std::string name;
    if (!plat_get_env("PLAT_NAMED_CHILD", &name)) GTEST_SKIP() << "run by the test below";
    PlatWaitable* found = plat_named_open(name.c_str());
    bool existed = false;
    PlatWaitable* made = plat_event_create(true, false, name.c_str(), &existed);
    const bool seen = found != nullptr || existed;
    plat_handle_close(found);
    plat_handle_close(made);
    std::fflush(nullptr);
    std::_Exit(seen ? 1 : 0);
}

TEST(Named, ANameIsNotSeenByAnotherProcess) {
    PlatWaitable* event = plat_event_create(true, true, "PlatTestPrivate");
    ASSERT_NE(event, nullptr);
    PlatProcess* child = plat_process_start_self({"--gtest_filter=NamedChild.LooksForTheName"},
                                                 {"PLAT_NAMED_CHILD=PlatTestPrivate"});
    ASSERT_NE(child, nullptr);
    int code = -1;
    EXPECT_EQ(plat_process_wait(child, PLAT_INFINITE, &code), 0);
    EXPECT_EQ(code, 0);
    plat_handle_close(event);
}

}  // namespace
