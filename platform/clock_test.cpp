#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>

#include "common/testing/child_process.h"
#include "platform/process.h"

namespace {
using Steady = std::chrono::steady_clock;

TEST(Clock, SleepsAndTimeOutsRunOnTheScaledClock) {
    double scale = plat_clock_scale();
    auto real_start = std::chrono::steady_clock::now();
    int64_t start = plat_clock_ms();
    plat_sleep_ms(1000);
    auto real = std::chrono::steady_clock::now() - real_start;
    EXPECT_GE(plat_clock_ms() - start, 1000);
    EXPECT_GE(real, std::chrono::nanoseconds(static_cast<int64_t>(1e9 / scale)));
    EXPECT_EQ(plat_real_ns(1000000000), static_cast<int64_t>(1e9 / scale));
    EXPECT_EQ(plat_real_ns(-5), 0);
    EXPECT_EQ(plat_real_ns(1), 1);
}

TEST(Clock, ScaleComesFromTheEnvironmentAndIsRealTimeWithoutIt) {
    EXPECT_EQ(run_in_child([] {
                  plat_set_env("SURF_CLOCK_SCALE", "250");
                  plat_set_clock_scale(0);
                  CHILD_REQUIRE(plat_clock_scale() == 250.0);
                  plat_set_env("SURF_CLOCK_SCALE", "fast");
                  plat_set_clock_scale(0);
                  CHILD_REQUIRE(plat_clock_scale() == 1.0);
                  plat_set_env("SURF_CLOCK_SCALE", nullptr);
                  plat_set_clock_scale(0);
                  CHILD_REQUIRE(plat_clock_scale() == 1.0);
                  plat_set_clock_scale(0.5);
                  CHILD_REQUIRE(plat_clock_scale() == 1.0);
                  return 0;
              }),
              0);
}

// Scales are set in a child: the clock jumps when its scale changes.
TEST(Clock, HugeSpansSaturateToForeverInsteadOfWrappingAround) {
    EXPECT_EQ(run_in_child([] {
                  constexpr int64_t kLastMs = INT64_MAX / 1000000;  // largest exact ms span
                  plat_set_clock_scale(1);
                  CHILD_REQUIRE(plat_real_ns(INT64_MAX) == INT64_MAX);
                  CHILD_REQUIRE(plat_real_ns(INT64_MAX - 1) == INT64_MAX - 1);
                  CHILD_REQUIRE(plat_real_ns((int64_t{1} << 53) + 1) == (int64_t{1} << 53) + 1);
                  CHILD_REQUIRE(plat_real_deadline(INT64_MAX) == Steady::time_point::max());
                  CHILD_REQUIRE(plat_real_deadline(kLastMs) == Steady::time_point::max());
                  CHILD_REQUIRE(plat_clock_deadline_ns(INT64_MAX) == INT64_MAX);
                  CHILD_REQUIRE(plat_clock_deadline_ns(INT64_MAX - plat_clock_ns()) == INT64_MAX);

                  plat_set_clock_scale(100);
                  CHILD_REQUIRE(plat_real_ns(INT64_MAX) == INT64_MAX);  // for ever at any scale
                  int64_t almost = plat_real_ns(INT64_MAX - 1);
                  CHILD_REQUIRE(almost >= INT64_MAX / 101 && almost <= INT64_MAX / 99);
                  CHILD_REQUIRE(plat_real_ns(99) == 1);
                  CHILD_REQUIRE(plat_real_deadline(INT64_MAX) == Steady::time_point::max());
                  // A finite span that fits stays finite: about three years.
                  auto now = Steady::now();
                  auto end = plat_real_deadline(kLastMs);
                  CHILD_REQUIRE(end != Steady::time_point::max());
                  CHILD_REQUIRE(end - now > std::chrono::hours(24 * 365 * 2));
                  CHILD_REQUIRE(end - now < std::chrono::hours(24 * 365 * 3));
                  return 0;
              }),
              0);
}

TEST(Clock, DeadlinesOfOrdinarySpans) {
    int64_t before = plat_clock_ns();
    int64_t end = plat_clock_deadline_ns(5000000000);
    int64_t after = plat_clock_ns();
    EXPECT_GE(end - before, 5000000000);
    EXPECT_LE(end - after, 5000000000);
    end = plat_clock_deadline_ns(-1);
    EXPECT_LE(end, plat_clock_ns());

    auto deadline = plat_real_deadline(0);
    EXPECT_LE(deadline, Steady::now());
    deadline = plat_real_deadline(-5);
    EXPECT_LE(deadline, Steady::now());
    auto now = Steady::now();
    deadline = plat_real_deadline(1000);
    auto later = Steady::now();
    auto span = std::chrono::nanoseconds(plat_real_ns(1000000000));
    EXPECT_GE(deadline - now, span);
    EXPECT_LE(deadline - later, span);
}
}  // namespace
