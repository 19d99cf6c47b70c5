#include "common/timing.h"

#include <climits>
#include <cmath>
#include <ctime>
#include <mutex>

#include "platform/clock.h"

namespace {
double g_stopwatch_start = 0.0;

int64_t g_frequency = 0;
int64_t g_last_count = 0;
int64_t g_overhead = -1;  // negative: not calibrated yet

std::once_flag g_tz_once;

// A difference of counts in microseconds, with counts that would not fit an
// int held at its bounds rather than wrapped.
int counts_to_us(long double counts, bool round_half_away) {
    long double us = counts * 1000000.0L / static_cast<long double>(g_frequency);
    us = round_half_away ? std::round(us) : std::trunc(us);
    if (us >= static_cast<long double>(INT_MAX)) return INT_MAX;
    if (us <= static_cast<long double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(us);
}

void ensure_frequency() {
    if (g_frequency <= 0) g_frequency = PLAT_COUNTER_FREQUENCY;
}
}  // namespace

void u_format_time(int64_t time, char* buffer) {
    if (buffer == nullptr) return;
    buffer[0] = '\0';
    std::tm local{};
    // A time the system cannot convert gives an empty text, never stale bytes.
    if (!plat_local_time(time, &local)) return;
    if (std::strftime(buffer, U_TIMESTAMP_SIZE, "%Y-%m-%d %H:%M:%S", &local) == 0) buffer[0] = '\0';
}

void u_timestamp(char* buffer) {
    int64_t seconds = 0;
    u_time_now(&seconds, nullptr);
    u_format_time(seconds, buffer);
}

void u_time_now(int64_t* seconds, int32_t* microseconds) {
    std::call_once(g_tz_once, plat_tzset);
    int64_t s = 0;
    int32_t ns = 0;
    plat_wall_clock(&s, &ns);
    if (seconds) *seconds = s;
    if (microseconds) *microseconds = ns / 1000000 * 1000;
}

double u_time_seconds() {
    int64_t seconds = 0;
    int32_t microseconds = 0;
    u_time_now(&seconds, &microseconds);
    return static_cast<double>(seconds) + microseconds / 1000000.0;
}

double u_stopwatch_start() {
    g_stopwatch_start = u_time_seconds();
    return g_stopwatch_start;
}

double u_stopwatch_elapsed() {
    return u_time_seconds() - g_stopwatch_start;
}

void u_lap_calibrate() {
    g_frequency = PLAT_COUNTER_FREQUENCY;
    int64_t first = plat_counter();
    int64_t second = plat_counter();
    g_overhead = second - first;
    g_last_count = second;
}

int u_lap_us() {
    if (g_overhead < 0) u_lap_calibrate();
    int64_t now = plat_counter();
    long double elapsed = static_cast<long double>(now) - static_cast<long double>(g_last_count) -
                          static_cast<long double>(g_overhead);
    g_last_count = now;
    if (elapsed < 0) elapsed = 0;
    return counts_to_us(elapsed, false);
}

int64_t u_counter() {
    return plat_counter();
}

int u_counter_diff_us(int64_t start, int64_t end) {
    ensure_frequency();
    // Taken in long double, the difference of two int64 readings cannot wrap.
    return counts_to_us(static_cast<long double>(end) - static_cast<long double>(start), true);
}
