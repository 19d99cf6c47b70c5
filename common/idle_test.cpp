#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/abort.h"

namespace {

std::atomic<int> g_calls_a{0};
std::atomic<int> g_calls_b{0};
void hook_a() {
    g_calls_a.fetch_add(1);
}
void hook_b() {
    g_calls_b.fetch_add(1);
}

struct IdleHookTest : ::testing::Test {
    void SetUp() override {
        previous_ = u_set_idle_hook(nullptr);
        g_calls_a = 0;
        g_calls_b = 0;
    }
    void TearDown() override { u_set_idle_hook(previous_); }
    UIdleHook previous_ = nullptr;
};

TEST_F(IdleHookTest, NoHookCallsNothingAndAHookIsCalledOncePerIdle) {
    EXPECT_EQ(u_idle_hook(), nullptr);
    u_idle();  // must not crash without a hook
    EXPECT_EQ(u_set_idle_hook(hook_a), nullptr);
    EXPECT_EQ(u_idle_hook(), &hook_a);
    u_idle();
    u_idle();
    EXPECT_EQ(g_calls_a.load(), 2);
    // Replacing returns the old hook; only the new one runs.
    EXPECT_EQ(u_set_idle_hook(hook_b), &hook_a);
    u_idle();
    EXPECT_EQ(g_calls_a.load(), 2);
    EXPECT_EQ(g_calls_b.load(), 1);
    // Null removes it again.
    EXPECT_EQ(u_set_idle_hook(nullptr), &hook_b);
    u_idle();
    EXPECT_EQ(g_calls_b.load(), 1);
}

TEST_F(IdleHookTest, HookChangesWhileOtherThreadsIdle) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&stop] {
            while (!stop.load()) u_idle();
        });
    }
    for (int i = 0; i < 2000; ++i) u_set_idle_hook((i & 1) != 0 ? hook_a : nullptr);
    u_set_idle_hook(hook_b);
    while (g_calls_b.load() == 0) std::this_thread::yield();
    stop = true;
    for (auto& t : waiters) t.join();
    EXPECT_GT(g_calls_b.load(), 0);
}

}  // namespace
