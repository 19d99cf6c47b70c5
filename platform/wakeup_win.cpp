// The wake-up as a manual-reset event; its handle is kept in the descriptor
// field (system handles fit 32 bits). Windows has no descriptors to wait on
// beside it: a wait that names one covers the wake-up and the deadline only,
// and never reports the descriptor ready. The one user of descriptors, the
// simulated serial line, needs a pseudo-terminal and does not run here.
#include <windows.h>

#include <algorithm>

#include "platform/clock.h"
#include "platform/wakeup.h"

namespace {
HANDLE event_of(const PlatWakeup* wakeup) {
    return LongToHandle(wakeup->fd);
}
}  // namespace

bool plat_wakeup_open(PlatWakeup* wakeup) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    wakeup->fd = event != nullptr ? HandleToLong(event) : -1;
    return event != nullptr;
}

void plat_wakeup_close(PlatWakeup* wakeup) {
    if (wakeup->fd >= 0) CloseHandle(event_of(wakeup));
    wakeup->fd = -1;
}

void plat_wakeup_signal(PlatWakeup* wakeup) {
    SetEvent(event_of(wakeup));
}

bool plat_wakeup_drain(PlatWakeup* wakeup) {
    if (WaitForSingleObject(event_of(wakeup), 0) != WAIT_OBJECT_0) return false;
    ResetEvent(event_of(wakeup));
    return true;
}

int plat_wakeup_descriptor(const PlatWakeup* wakeup) {
    return wakeup->fd;
}

int plat_wakeup_wait(PlatWakeup* wakeup, int /*fd*/, bool /*read*/, bool /*write*/,
                     int64_t deadline_ns) {
    for (;;) {
        DWORD wait_ms = INFINITE;
        if (deadline_ns != PLAT_NO_DEADLINE) {
            const int64_t now = plat_clock_ns();
            const int64_t left = deadline_ns > now ? deadline_ns - now : 0;
            const int64_t real =
                left == 0 ? 0 : plat_real_ns(std::min<int64_t>(left, INT64_MAX / 4));
            // Rounded up to whole milliseconds, at most what one system wait takes.
            wait_ms = static_cast<DWORD>(
                std::min<int64_t>(real / 1000000 + (real % 1000000 != 0), 0x7FFFFFFF));
        }
        const DWORD result = WaitForSingleObject(event_of(wakeup), wait_ms);
        if (result == WAIT_OBJECT_0) return PLAT_READY_WOKEN;
        if (result != WAIT_TIMEOUT) return 0;
        if (deadline_ns == PLAT_NO_DEADLINE) continue;
        if (plat_clock_ns() >= deadline_ns) return 0;
    }
}

int64_t plat_voluntary_switches() {
    return -1;  // the system keeps no such count for a process
}
