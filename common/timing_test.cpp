#include "common/timing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "common/testing/child_process.h"
#include "common/testing/timestamp_form.h"
#include "platform/process.h"

TEST(Timestamp, HasTheDocumentedForm) {
    char text[U_TIMESTAMP_SIZE];
    u_timestamp(text);
    EXPECT_EQ(std::strlen(text), 19u);
    EXPECT_TRUE(looks_like_timestamp(text)) << text;
}

TEST(Timestamp, FormatsAGivenTimeInLocalTime) {
    int rc = run_in_child([] {
        plat_set_env("TZ", "UTC");
        u_time_now(nullptr, nullptr);  // reads the zone rules once
        char text[U_TIMESTAMP_SIZE];
        u_format_time(0, text);
        CHILD_REQUIRE(std::strcmp(text, "1970-01-01 00:00:00") == 0);
        u_format_time(1309442709, text);
        CHILD_REQUIRE(std::strcmp(text, "2011-06-30 14:05:09") == 0);
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

TEST(Timestamp, UnconvertibleTimeGivesEmptyText) {
    char text[U_TIMESTAMP_SIZE];
    std::memset(text, 'x', sizeof text);
    u_format_time(INT64_MAX, text);
    EXPECT_STREQ(text, "");
}

TEST(WallClock, MillisecondResolutionAndSeconds) {
    int64_t seconds = 0;
    int32_t microseconds = -1;
    u_time_now(&seconds, &microseconds);
    EXPECT_NEAR(static_cast<double>(seconds), static_cast<double>(std::time(nullptr)), 2.0);
    EXPECT_GE(microseconds, 0);
    EXPECT_LT(microseconds, 1000000);
    EXPECT_EQ(microseconds % 1000, 0);
    EXPECT_NEAR(u_time_seconds(), static_cast<double>(seconds), 2.0);
}

TEST(Stopwatch, MeasuresFromItsStart) {
    double start = u_stopwatch_start();
    EXPECT_NEAR(start, u_time_seconds(), 1.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    double elapsed = u_stopwatch_elapsed();
    EXPECT_GE(elapsed, 0.015);
    EXPECT_LT(elapsed, 5.0);
}

TEST(LapTimer, NeverNegativeAndMeasuresSleeps) {
    u_lap_us();  // calibrates on first use
    EXPECT_GE(u_lap_us(), 0);
    EXPECT_GE(u_lap_us(), 0);
    u_lap_calibrate();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    int us = u_lap_us();
    EXPECT_GE(us, 19000);
    EXPECT_LT(us, 5000000);
}

TEST(CounterDiff, RoundsHalfAwayFromZero) {
    int64_t a = u_counter();
    EXPECT_EQ(u_counter_diff_us(a, a), 0);
    EXPECT_EQ(u_counter_diff_us(a, a + 1500), 2);  // 1.5 us
    EXPECT_EQ(u_counter_diff_us(a, a + 1499), 1);
    EXPECT_EQ(u_counter_diff_us(a + 1500, a), -2);
    EXPECT_EQ(u_counter_diff_us(a, a + 2500), 3);
    EXPECT_EQ(u_counter_diff_us(0, 1000000000), 1000000);
}

TEST(CounterDiff, HugeDifferencesSaturate) {
    EXPECT_EQ(u_counter_diff_us(0, INT64_MAX), INT_MAX);
    EXPECT_EQ(u_counter_diff_us(INT64_MIN, INT64_MAX), INT_MAX);
    EXPECT_EQ(u_counter_diff_us(INT64_MAX, INT64_MIN), INT_MIN);
    // Just past the int range: 2^31 microseconds.
    EXPECT_EQ(u_counter_diff_us(0, int64_t{2147483648} * 1000), INT_MAX);
    EXPECT_EQ(u_counter_diff_us(0, int64_t{2147483646} * 1000), 2147483646);
}
