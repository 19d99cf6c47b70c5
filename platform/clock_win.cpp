#include <windows.h>

#include <ctime>

#include "platform/clock.h"

namespace {
// 100 ns ticks between 1601-01-01 and 1970-01-01.
constexpr int64_t kEpochTicks = 116444736000000000LL;
}  // namespace

bool plat_wall_clock(int64_t* seconds, int32_t* nanoseconds) {
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    const int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) |
                                               now.dwLowDateTime) -
                          kEpochTicks;
    if (ticks < 0) {
        *seconds = 0;
        *nanoseconds = 0;
        return false;
    }
    *seconds = ticks / 10000000;
    *nanoseconds = static_cast<int32_t>(ticks % 10000000 * 100);
    return true;
}

void plat_tzset() {
    _tzset();
}

bool plat_local_time(int64_t seconds, std::tm* out) {
    const __time64_t t = seconds;
    return _localtime64_s(out, &t) == 0;
}

int64_t plat_counter() {
    // The frequency is fixed at boot: read once.
    static const int64_t frequency = [] {
        LARGE_INTEGER f{};
        QueryPerformanceFrequency(&f);
        return f.QuadPart > 0 ? f.QuadPart : 1;
    }();
    LARGE_INTEGER count{};
    QueryPerformanceCounter(&count);
    // Whole seconds and the rest apart, so that the product cannot overflow.
    const int64_t c = count.QuadPart;
    return c / frequency * PLAT_COUNTER_FREQUENCY +
           c % frequency * PLAT_COUNTER_FREQUENCY / frequency;
}
