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

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

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
    return static_cast<int64_t>(static_cast<double>(real_ns_since_start()) * plat_clock_scale());
}

int64_t plat_clock_ms() {
    return plat_clock_ns() / 1000000;
}

int64_t plat_real_ns(int64_t library_ns) {
    if (library_ns <= 0) return 0;
    int64_t real = static_cast<int64_t>(static_cast<double>(library_ns) / plat_clock_scale());
    return real > 0 ? real : 1;
}

void plat_sleep_ns(int64_t ns) {
    int64_t real = plat_real_ns(ns);
    if (real > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(real));
}

void plat_sleep_ms(int64_t ms) {
    plat_sleep_ns(ms > INT64_MAX / 1000000 ? INT64_MAX : ms * 1000000);
}
