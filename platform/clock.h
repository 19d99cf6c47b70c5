// Clocks: calendar time, local-time conversion and the high-resolution counter.
#pragma once

#include <chrono>
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

// The library's clock for sleeps, waits, time-outs and elapsed time. It runs
// at real speed unless SURF_CLOCK_SCALE (read once, at first use) or
// plat_set_clock_scale makes it faster: at scale 100 a 10 s time-out passes in
// 0.1 s of real time and the code still takes its real time-out path. Only
// tests set it; production code sees real time.

// The current scale factor (1 = real time).
double plat_clock_scale();

// Sets the scale factor (values below 1 mean 1; 0 means: read the
// environment again at next use). Call before any thread that waits is
// started, as the clock jumps when its scale changes.
void plat_set_clock_scale(double scale);

// Milliseconds on the library's clock since an arbitrary fixed start.
int64_t plat_clock_ms();

// Nanoseconds on the library's clock since the same start.
int64_t plat_clock_ns();

// The real time that a span of the library's clock takes, in nanoseconds
// (never below 0; at least 1 for a positive span). INT64_MAX, the span that
// stands for "for ever", stays INT64_MAX at every scale, and so does any span
// whose real time does not fit.
int64_t plat_real_ns(int64_t library_ns);

// The library-clock reading at which a span from now ends (0 or less: now):
// plat_clock_ns() + library_ns, INT64_MAX (never) when the sum does not fit.
int64_t plat_clock_deadline_ns(int64_t library_ns);

// The steady-clock time at which `timeout_ms` of the library's clock from now
// have passed (0 or less: now). time_point::max() when that lies beyond what
// the steady clock holds; waits treat it as "no time-out".
std::chrono::steady_clock::time_point plat_real_deadline(int64_t timeout_ms);

// Sleeps for a span of the library's clock; INT64_MAX sleeps for ever.
void plat_sleep_ms(int64_t ms);
void plat_sleep_ns(int64_t ns);
