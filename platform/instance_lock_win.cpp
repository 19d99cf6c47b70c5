// The machine-wide lock as a named mutex. The system releases a dead
// holder's mutex as abandoned, which the next waiter takes like a free one.
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/instance_lock.h"

namespace {
// One state per lock name in the process, shared by all its handles, so that
// the holding thread can take it again through any handle. The system mutex
// is taken once by the holding thread; the holds beyond are counted here.
struct LockState {
    std::string name;
    HANDLE mutex = nullptr;
    std::mutex lock;          // guards the fields below
    std::thread::id owner{};  // holding thread
    int count = 0;            // holds of the owner

    // The last handle is gone, whichever thread closed it: closing the
    // process's handle of the mutex lets others have it.
    ~LockState() {
        if (mutex != nullptr) CloseHandle(mutex);
    }
};

std::mutex g_states_lock;
std::map<std::string, std::weak_ptr<LockState>> g_states;

using SteadyTime = std::chrono::steady_clock::time_point;
}  // namespace

struct PlatInstanceLock {
    std::shared_ptr<LockState> state;
};

PlatInstanceLock* plat_instance_lock_open(const char* name) {
    if (name == nullptr || *name == '\0' || std::strchr(name, '/') != nullptr ||
        std::strchr(name, '\\') != nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(g_states_lock);
    std::shared_ptr<LockState> state = g_states[name].lock();
    if (!state) {
        state = std::make_shared<LockState>();
        state->name = name;
        g_states[name] = state;
    }
    return new PlatInstanceLock{state};
}

int plat_instance_lock_wait(PlatInstanceLock* handle, int64_t timeout_ms) {
    if (handle == nullptr) return PLAT_WAIT_FAILED;
    LockState* lock = handle->state.get();
    const std::thread::id self = std::this_thread::get_id();
    HANDLE mutex = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock->lock);
        if (lock->count > 0 && lock->owner == self) {
            ++lock->count;
            return 0;
        }
        if (lock->mutex == nullptr) lock->mutex = CreateMutexA(nullptr, FALSE, lock->name.c_str());
        if (lock->mutex == nullptr) return PLAT_WAIT_FAILED;
        mutex = lock->mutex;
    }
    const SteadyTime deadline = timeout_ms < 0 ? SteadyTime::max() : plat_real_deadline(timeout_ms);
    for (;;) {
        DWORD wait_ms = INFINITE;
        if (deadline != SteadyTime::max()) {
            const auto now = std::chrono::steady_clock::now();
            wait_ms =
                now >= deadline
                    ? 0
                    : static_cast<DWORD>(std::min<int64_t>(
                          std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count(),
                          0x7FFFFFFF));
        }
        const DWORD result = WaitForSingleObject(mutex, wait_ms);
        if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
            std::lock_guard<std::mutex> guard(lock->lock);
            lock->owner = self;
            lock->count = 1;
            return 0;
        }
        if (result != WAIT_TIMEOUT) return PLAT_WAIT_FAILED;
        if (deadline != SteadyTime::max() && std::chrono::steady_clock::now() >= deadline)
            return PLAT_WAIT_TIMEOUT;
    }
}

bool plat_instance_lock_release(PlatInstanceLock* handle) {
    if (handle == nullptr) return false;
    LockState* lock = handle->state.get();
    std::lock_guard<std::mutex> guard(lock->lock);
    if (lock->count == 0 || lock->owner != std::this_thread::get_id()) return false;
    if (--lock->count == 0) {
        ReleaseMutex(lock->mutex);
        lock->owner = std::thread::id{};
    }
    return true;
}

void plat_instance_lock_close(PlatInstanceLock* handle) {
    if (handle == nullptr) return;
    LockState* lock = handle->state.get();
    {
        std::lock_guard<std::mutex> guard(lock->lock);
        if (lock->count > 0 && lock->owner == std::this_thread::get_id()) {
            ReleaseMutex(lock->mutex);
            lock->count = 0;
            lock->owner = std::thread::id{};
        }
    }
    std::lock_guard<std::mutex> guard(g_states_lock);
    std::string name = lock->name;
    delete handle;
    auto it = g_states.find(name);
    if (it != g_states.end() && it->second.expired()) g_states.erase(it);
}
