// Clocks of the library: wall-clock time, time-stamp texts, a stopwatch and a
// high-resolution lap timer on the performance counter.
#pragma once

#include <cstdint>

// Size of a time-stamp buffer; the text itself is 19 characters.
constexpr int U_TIMESTAMP_SIZE = 40;

// The current local time as "%Y-%m-%d %H:%M:%S" into a buffer of at least
// U_TIMESTAMP_SIZE bytes. The text is empty when the time cannot be converted.
void u_timestamp(char* buffer);

// A given calendar time (seconds since 1970-01-01 UTC) as local time-stamp text,
// as u_timestamp.
void u_format_time(int64_t time, char* buffer);

// Wall-clock time: seconds since 1970-01-01 UTC and microseconds, to the
// millisecond. Either pointer may be null.
void u_time_now(int64_t* seconds, int32_t* microseconds);

// Wall-clock time in seconds.
double u_time_seconds();

// Stopwatch: one process-wide start time.
double u_stopwatch_start();
double u_stopwatch_elapsed();

// Lap timer: u_lap_calibrate measures the cost of a counter reading and starts
// a lap; u_lap_us returns the microseconds since the previous lap (never
// negative, at most INT_MAX) and calibrates on first use. One thread at a time.
void u_lap_calibrate();
int u_lap_us();

// One performance-counter reading.
int64_t u_counter();

// Microseconds between two counter readings, rounded half away from zero and
// held to the int range.
int u_counter_diff_us(int64_t start, int64_t end);
