#include "platform/wakeup.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/clock.h"

bool plat_wakeup_open(PlatWakeup* wakeup) {
    wakeup->fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return wakeup->fd >= 0;
}

void plat_wakeup_close(PlatWakeup* wakeup) {
    if (wakeup->fd >= 0) ::close(wakeup->fd);
    wakeup->fd = -1;
}

void plat_wakeup_signal(PlatWakeup* wakeup) {
    const uint64_t one = 1;
    // EAGAIN means the counter is full, which is signalled all the same.
    while (::write(wakeup->fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

bool plat_wakeup_drain(PlatWakeup* wakeup) {
    uint64_t count = 0;
    for (;;) {
        if (::read(wakeup->fd, &count, sizeof count) == static_cast<ssize_t>(sizeof count))
            return true;
        if (errno != EINTR) return false;
    }
}

int plat_wakeup_descriptor(const PlatWakeup* wakeup) {
    return wakeup->fd;
}

int plat_wakeup_wait(PlatWakeup* wakeup, int fd, bool read, bool write, int64_t deadline_ns) {
    pollfd entries[2] = {
        {wakeup->fd, POLLIN, 0},
        {fd, static_cast<short>((read ? POLLIN : 0) | (write ? POLLOUT : 0)), 0},
    };
    // A descriptor that is not asked about must not end the wait by hanging up.
    if (!read && !write) entries[1].fd = -1;
    for (;;) {
        timespec span{};
        timespec* limit = nullptr;
        if (deadline_ns != PLAT_NO_DEADLINE) {
            const int64_t now = plat_clock_ns();
            // Past the deadline the poll still runs once, without waiting, so
            // that what is ready is reported.
            const int64_t left = deadline_ns > now ? deadline_ns - now : 0;
            // Capped so that the real span stays representable at any scale;
            // the loop waits again for the rest.
            const int64_t real =
                left == 0 ? 0 : plat_real_ns(std::min<int64_t>(left, INT64_MAX / 4));
            span.tv_sec = static_cast<time_t>(real / 1000000000);
            span.tv_nsec = static_cast<long>(real % 1000000000);
            limit = &span;
        }
        const int n = ::ppoll(entries, 2, limit, nullptr);
        if (n < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        int ready = 0;
        if (entries[0].revents != 0) ready |= PLAT_READY_WOKEN;
        // Hang-ups and errors count as readable: the read that follows finds out.
        if (entries[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) ready |= PLAT_READY_READ;
        if (entries[1].revents & POLLOUT) ready |= PLAT_READY_WRITE;
        if (ready != 0) return ready;
        // An early return of the poll (the real span was rounded) waits again.
        if (deadline_ns == PLAT_NO_DEADLINE || plat_clock_ns() >= deadline_ns) return 0;
    }
}

int64_t plat_voluntary_switches() {
    rusage usage{};
    if (::getrusage(RUSAGE_SELF, &usage) != 0) return -1;
    return static_cast<int64_t>(usage.ru_nvcsw);
}
