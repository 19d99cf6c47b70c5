#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/clock.h"
#include "platform/event.h"

namespace {
// A thread that waits for `go` and then ends with `code`.
struct Worker {
    PlatWaitable* go = plat_event_create(true, false);
    uint32_t code = 0;
    ~Worker() { plat_handle_close(go); }

    static uint32_t run(void* argument) {
        auto* self = static_cast<Worker*>(argument);
        plat_wait_one(self->go, PLAT_INFINITE);
        return self->code;
    }
};

void set_event(void* argument) {
    plat_event_set(static_cast<PlatWaitable*>(argument));
}

TEST(Thread, RunsItsFunctionAndIsJoined) {
    PlatWaitable* event = plat_event_create(true, false);
    PlatThread* thread = plat_thread_start(&set_event, event);
    ASSERT_NE(thread, nullptr);
    EXPECT_FALSE(plat_thread_is_current(thread));
    EXPECT_TRUE(plat_thread_join(thread));
    EXPECT_EQ(plat_wait_one(event, 0), 0);
    plat_handle_close(event);
    EXPECT_EQ(plat_thread_start(nullptr, nullptr), nullptr);
    EXPECT_EQ(plat_thread_create(nullptr, nullptr), nullptr);
    EXPECT_FALSE(plat_thread_join(nullptr));
    EXPECT_EQ(plat_thread_join_timed(nullptr, 0, nullptr), PLAT_WAIT_FAILED);
}

TEST(Thread, TimedJoinThatTimesOutKeepsTheHandleForALaterJoinWithTheExitCode) {
    Worker worker;
    worker.code = 0xC0000005u;  // the whole 32 bits come back
    PlatThread* thread = plat_thread_create(&Worker::run, &worker);
    ASSERT_NE(thread, nullptr);
    uint32_t code = 7;
    int64_t start = plat_clock_ms();
    EXPECT_EQ(plat_thread_join_timed(thread, 200, &code), PLAT_WAIT_TIMEOUT);
    EXPECT_GE(plat_clock_ms() - start, 200);
    EXPECT_EQ(plat_thread_join_timed(thread, 0, &code), PLAT_WAIT_TIMEOUT);
    EXPECT_EQ(code, 7u);
    EXPECT_FALSE(plat_thread_is_current(thread));  // the handle is still good

    plat_event_set(worker.go);
    EXPECT_EQ(plat_thread_join_timed(thread, PLAT_INFINITE, &code), 0);
    EXPECT_EQ(code, 0xC0000005u);
}

TEST(Thread, PollingWithAZeroTimeOutEndsInTheJoinOnceTheThreadHasEnded) {
    Worker worker;
    worker.code = 3;
    plat_event_set(worker.go);
    PlatThread* thread = plat_thread_create(&Worker::run, &worker);
    ASSERT_NE(thread, nullptr);
    uint32_t code = 0;
    int result;
    while ((result = plat_thread_join_timed(thread, 0, &code)) == PLAT_WAIT_TIMEOUT)
        plat_sleep_ms(1);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(code, 3u);

    // A thread without an exit code ends with 0.
    PlatWaitable* event = plat_event_create(true, false);
    thread = plat_thread_start(&set_event, event);
    code = 9;
    EXPECT_EQ(plat_thread_join_timed(thread, 600000, &code), 0);
    EXPECT_EQ(code, 0u);
    plat_handle_close(event);
}

TEST(Thread, JoinWithoutALimitWaitsForTheEnd) {
    // INT64_MAX is "for ever" too, not a deadline that has passed already.
    for (int64_t forever : {PLAT_INFINITE, INT64_MAX, INT64_MAX / 1000000}) {
        Worker worker;
        worker.code = 11;
        PlatThread* thread = plat_thread_create(&Worker::run, &worker);
        ASSERT_NE(thread, nullptr);
        PlatThread* setter = plat_thread_start(
            [](void* go) {
                plat_sleep_ms(100);
                plat_event_set(static_cast<PlatWaitable*>(go));
            },
            worker.go);
        uint32_t code = 0;
        EXPECT_EQ(plat_thread_join_timed(thread, forever, &code), 0) << forever;
        EXPECT_EQ(code, 11u);
        EXPECT_EQ(plat_wait_one(worker.go, 0), 0);
        EXPECT_TRUE(plat_thread_join(setter));
    }
}

struct SelfJoin {
    std::atomic<PlatThread*> self{nullptr};
    PlatWaitable* started = plat_event_create(true, false);
    int timed = 0;
    bool plain = true;
    ~SelfJoin() { plat_handle_close(started); }
};

TEST(Thread, AThreadCannotJoinItself) {
    SelfJoin state;
    PlatThread* thread = plat_thread_create(
        [](void* argument) -> uint32_t {
            auto* state = static_cast<SelfJoin*>(argument);
            plat_wait_one(state->started, PLAT_INFINITE);
            PlatThread* self = state->self.load();
            state->timed = plat_thread_join_timed(self, 0, nullptr);
            state->plain = plat_thread_join(self);
            return plat_thread_is_current(self) ? 5 : 6;
        },
        &state);
    ASSERT_NE(thread, nullptr);
    state.self = thread;
    plat_event_set(state.started);
    uint32_t code = 0;
    ASSERT_EQ(plat_thread_join_timed(thread, PLAT_INFINITE, &code), 0);
    EXPECT_EQ(code, 5u);  // the handle was still good after the refusals
    EXPECT_EQ(state.timed, PLAT_WAIT_FAILED);
    EXPECT_FALSE(state.plain);
}
}  // namespace
