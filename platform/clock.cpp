#include "platform/clock.h"

#include <time.h>

bool plat_wall_clock(int64_t* seconds, int32_t* nanoseconds) {
    struct timespec ts {};
    if (::clock_gettime(CLOCK_REALTIME, &ts) != 0) {
        *seconds = 0;
        *nanoseconds = 0;
        return false;
    }
    *seconds = static_cast<int64_t>(ts.tv_sec);
    *nanoseconds = static_cast<int32_t>(ts.tv_nsec);
    return true;
}

void plat_tzset() {
    ::tzset();
}

bool plat_local_time(int64_t seconds, std::tm* out) {
    time_t t = static_cast<time_t>(seconds);
    if (static_cast<int64_t>(t) != seconds) return false;
    return ::localtime_r(&t, out) != nullptr;
}

int64_t plat_counter() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * PLAT_COUNTER_FREQUENCY + ts.tv_nsec;
}
