// The library's scaled clock, built on plat_counter() on every system.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <type_traits>

#include "platform/clock.h"

namespace {
// 0 means "not read from the environment yet".
std::atomic<double> g_scale{0.0};

double scale_from_environment() {
    const char* text = std::getenv("SURF_CLOCK_SCALE");
    if (text == nullptr || *text == '\0') return 1.0;
    char* end = nullptr;
    double value = std::strtod(text, &end);
    if (end == text || !(value >= 1.0) || value > 1e6) return 1.0;
    return value;
}

int64_t real_ns_since_start() {
    static const int64_t start = plat_counter();
    return plat_counter() - start;
}
}  // namespace

double plat_clock_scale() {
    double scale = g_scale.load(std::memory_order_relaxed);
    if (scale == 0.0) {
        double wanted = scale_from_environment();
        g_scale.compare_exchange_strong(scale, wanted);
        scale = g_scale.load(std::memory_order_relaxed);
    }
    return scale;
}

void plat_set_clock_scale(double scale) {
    if (scale == 0.0) {
        g_scale.store(0.0, std::memory_order_relaxed);
        return;
    }
    g_scale.store(scale >= 1.0 && scale <= 1e6 ? scale : 1.0, std::memory_order_relaxed);
}

int64_t plat_clock_ns() {
    double ns = static_cast<double>(real_ns_since_start()) * plat_clock_scale();
    // A fast clock reaches the end of the range after hours: stop there.
    return ns >= 9223372036854775808.0 ? INT64_MAX : static_cast<int64_t>(ns);
}

int64_t plat_clock_ms() {
    return plat_clock_ns() / 1000000;
}

int64_t plat_real_ns(int64_t library_ns) {
    if (library_ns <= 0) return 0;
    if (library_ns == INT64_MAX) return INT64_MAX;
    double scale = plat_clock_scale();
    if (scale == 1.0) return library_ns;  // exact, without a round trip through double
    // 2^63 is the first double that does not fit: converting it is undefined.
    double real = static_cast<double>(library_ns) / scale;
    if (real >= 9223372036854775808.0) return INT64_MAX;
    int64_t whole = static_cast<int64_t>(real);
    return whole > 0 ? whole : 1;
}

int64_t plat_clock_deadline_ns(int64_t library_ns) {
    int64_t now = plat_clock_ns();
    if (library_ns <= 0) return now;
    return library_ns > INT64_MAX - now ? INT64_MAX : now + library_ns;
}

std::chrono::steady_clock::time_point plat_real_deadline(int64_t timeout_ms) {
    using Steady = std::chrono::steady_clock;
    int64_t library_ns = timeout_ms <= 0                    ? 0
                         : timeout_ms > INT64_MAX / 1000000 ? INT64_MAX
                                                            : timeout_ms * 1000000;
    static_assert(std::is_same_v<Steady::duration, std::chrono::nanoseconds>);
    const Steady::time_point now = Steady::now();
    const std::chrono::nanoseconds real(plat_real_ns(library_ns));
    // now + real must not overflow the time point.
    if (real >= Steady::time_point::max() - now) return Steady::time_point::max();
    return now + real;
}

void plat_sleep_ns(int64_t ns) {
    int64_t real = plat_real_ns(ns);
    if (real <= 0) return;
    // sleep_for takes the span apart into seconds and nanoseconds, so even
    // INT64_MAX neither overflows nor returns early; loop in case it does end.
    do {
        std::this_thread::sleep_for(std::chrono::nanoseconds(real));
    } while (real == INT64_MAX);
}

void plat_sleep_ms(int64_t ms) {
    if (ms <= 0) return;
    plat_sleep_ns(ms > INT64_MAX / 1000000 ? INT64_MAX : ms * 1000000);
}
