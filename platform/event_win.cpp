// Events and waitable timers as the system's own objects. Named objects are
// kept to this process by prefixing their names with the process id: the
// system shares names across the session, the library expects them private.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/event.h"

namespace {
using SteadyTime = std::chrono::steady_clock::time_point;

// One system handle; a wait holds a reference so that closing the caller's
// handle meanwhile does not pull the object from under it.
struct Native {
    HANDLE handle = nullptr;
    bool is_timer = false;
    ~Native() {
        if (handle != nullptr) CloseHandle(handle);
    }
};

std::string native_name(const char* name) {
    return "surf." + std::to_string(GetCurrentProcessId()) + "." + name;
}

bool named(const char* name) {
    return name != nullptr && *name != '\0';
}
}  // namespace

struct PlatWaitable {
    std::shared_ptr<Native> native;
    // Timers: when the last arming falls due (steady-clock ticks), to tell a
    // cancel that comes too late; threads may arm and cancel at once.
    std::atomic<SteadyTime::rep> due{SteadyTime::max().time_since_epoch().count()};
};

namespace {
PlatWaitable* wrap(HANDLE handle, bool is_timer) {
    auto* waitable = new PlatWaitable;
    waitable->native = std::make_shared<Native>();
    waitable->native->handle = handle;
    waitable->native->is_timer = is_timer;
    return waitable;
}

// The real time in milliseconds until `deadline`, rounded up, at most what one
// system wait takes; INFINITE for no deadline.
DWORD real_wait_ms(SteadyTime deadline) {
    if (deadline == SteadyTime::max()) return INFINITE;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    return static_cast<DWORD>(std::min<int64_t>(left, 0x7FFFFFFF));
}
}  // namespace

PlatWaitable* plat_event_create(bool manual_reset, bool initially_signalled, const char* name,
                                bool* existed) {
    if (existed != nullptr) *existed = false;
    std::string full = named(name) ? native_name(name) : std::string();
    HANDLE handle = CreateEventA(nullptr, manual_reset, initially_signalled,
                                 named(name) ? full.c_str() : nullptr);
    // A name held by a timer fails with ERROR_INVALID_HANDLE.
    if (handle == nullptr) return nullptr;
    if (existed != nullptr) *existed = GetLastError() == ERROR_ALREADY_EXISTS;
    return wrap(handle, false);
}

PlatWaitable* plat_timer_create(bool manual_reset, const char* name, bool* existed) {
    if (existed != nullptr) *existed = false;
    std::string full = named(name) ? native_name(name) : std::string();
    HANDLE handle =
        CreateWaitableTimerA(nullptr, manual_reset, named(name) ? full.c_str() : nullptr);
    if (handle == nullptr) return nullptr;
    if (existed != nullptr) *existed = GetLastError() == ERROR_ALREADY_EXISTS;
    return wrap(handle, true);
}

PlatWaitable* plat_named_open(const char* name) {
    if (!named(name)) return nullptr;
    std::string full = native_name(name);
    if (HANDLE event = OpenEventA(EVENT_ALL_ACCESS, FALSE, full.c_str())) return wrap(event, false);
    if (HANDLE timer = OpenWaitableTimerA(TIMER_ALL_ACCESS, FALSE, full.c_str()))
        return wrap(timer, true);
    return nullptr;
}

void plat_handle_close(PlatWaitable* handle) {
    delete handle;
}

bool plat_event_set(PlatWaitable* event) {
    return event != nullptr && !event->native->is_timer && SetEvent(event->native->handle);
}

bool plat_event_reset(PlatWaitable* event) {
    return event != nullptr && !event->native->is_timer && ResetEvent(event->native->handle);
}

bool plat_timer_set(PlatWaitable* timer, int64_t due_ms) {
    if (timer == nullptr || !timer->native->is_timer) return false;
    const SteadyTime due = plat_real_deadline(due_ms);
    if (due == SteadyTime::max()) {
        // Never due: arming clears the signal, the cancel disarms it.
        LARGE_INTEGER never;
        never.QuadPart = -INT64_MAX;
        if (!SetWaitableTimer(timer->native->handle, &never, 0, nullptr, nullptr, FALSE))
            return false;
        CancelWaitableTimer(timer->native->handle);
        timer->due = due.time_since_epoch().count();
        return true;
    }
    // Relative due times are negative, in units of 100 ns, rounded up so that
    // the timer never falls due early. One already due is set to a time long
    // past, which the system signals at once.
    const auto now = std::chrono::steady_clock::now();
    LARGE_INTEGER when;
    when.QuadPart = 0;
    if (due > now) {
        const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(due - now).count();
        when.QuadPart = -(ns / 100 + 1);
    }
    if (!SetWaitableTimer(timer->native->handle, &when, 0, nullptr, nullptr, FALSE)) return false;
    timer->due = due.time_since_epoch().count();
    return true;
}

bool plat_timer_cancel(PlatWaitable* timer) {
    if (timer == nullptr || !timer->native->is_timer) return false;
    // Once due the timer is as good as signalled: left alone, it signals.
    if (std::chrono::steady_clock::now().time_since_epoch().count() >= timer->due.load())
        return true;
    return CancelWaitableTimer(timer->native->handle);
}

int plat_wait_one(PlatWaitable* object, int64_t timeout_ms) {
    return plat_wait_any(&object, 1, timeout_ms);
}

int plat_wait_any(PlatWaitable* const* objects, int count, int64_t timeout_ms) {
    if (objects == nullptr || count < 1 || count > PLAT_MAX_WAIT_OBJECTS) return PLAT_WAIT_FAILED;
    std::shared_ptr<Native> held[PLAT_MAX_WAIT_OBJECTS];
    HANDLE handles[PLAT_MAX_WAIT_OBJECTS];
    for (int i = 0; i < count; ++i) {
        if (objects[i] == nullptr) return PLAT_WAIT_FAILED;
        held[i] = objects[i]->native;
        handles[i] = held[i]->handle;
    }
    const SteadyTime deadline = timeout_ms < 0 ? SteadyTime::max() : plat_real_deadline(timeout_ms);
    for (;;) {
        // The system waits for any of them, takes the lowest signalled index
        // and consumes only that one.
        DWORD result = WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE,
                                              real_wait_ms(deadline));
        if (result < WAIT_OBJECT_0 + static_cast<DWORD>(count))
            return static_cast<int>(result - WAIT_OBJECT_0);
        if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + static_cast<DWORD>(count))
            return static_cast<int>(result - WAIT_ABANDONED_0);
        if (result != WAIT_TIMEOUT) return PLAT_WAIT_FAILED;
        // A system wait may end a little early, or be cut to what one takes.
        if (deadline != SteadyTime::max() && std::chrono::steady_clock::now() >= deadline)
            return PLAT_WAIT_TIMEOUT;
    }
}
