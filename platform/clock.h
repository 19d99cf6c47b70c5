// Clocks: calendar time, local-time conversion and the high-resolution counter.
#pragma once

#include <cstdint>
#include <ctime>

// Frequency of plat_counter(): counts per second.
constexpr int64_t PLAT_COUNTER_FREQUENCY = 1000000000;

// Calendar time: seconds since 1970-01-01 UTC and the nanoseconds within the
// second. False when the clock cannot be read (both are then 0).
bool plat_wall_clock(int64_t* seconds, int32_t* nanoseconds);

// Reads the local time-zone rules from the environment.
void plat_tzset();

// Local time of a calendar time. False when it cannot be converted.
bool plat_local_time(int64_t seconds, std::tm* out);

// A monotonic counter in nanoseconds (PLAT_COUNTER_FREQUENCY counts a second).
int64_t plat_counter();
