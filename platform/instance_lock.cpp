#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/event.h"

namespace {
// One state per lock name in the process, shared by all its handles, so that
// the holding thread can take it again through any handle.
struct LockState {
    std::string path;
    std::mutex lock;          // guards the fields below
    int fd = -1;              // open while held
    std::thread::id owner{};  // holding thread
    int count = 0;            // holds of the owner

    // The last handle is gone, whichever thread closed it: nobody can
    // release the hold any more, so drop the file lock with the descriptor.
    ~LockState() {
        if (fd >= 0) ::close(fd);
    }
};

std::mutex g_states_lock;
std::map<std::string, std::weak_ptr<LockState>> g_states;
}  // namespace

struct PlatInstanceLock {
    std::shared_ptr<LockState> state;
};

namespace {
constexpr int64_t kRetryMs = 10;

// An exclusive lock on a descriptor of its own: a second descriptor of the
// same file, in this process or another, is refused while it is held.
int try_lock_file(const std::string& path, bool* failed) {
    *failed = false;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        *failed = true;
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) *failed = true;
        ::close(fd);
        return -1;
    }
    return fd;
}
}  // namespace

PlatInstanceLock* plat_instance_lock_open(const char* name) {
    if (name == nullptr || *name == '\0' || std::strchr(name, '/') != nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    std::error_code error;
    std::filesystem::path dir = std::filesystem::temp_directory_path(error);
    if (error) dir = "/tmp";
    std::string path = (dir / (std::string(name) + ".lock")).string();
    std::lock_guard<std::mutex> guard(g_states_lock);
    std::shared_ptr<LockState> state = g_states[path].lock();
    if (!state) {
        state = std::make_shared<LockState>();
        state->path = path;
        g_states[path] = state;
    }
    return new PlatInstanceLock{state};
}

int plat_instance_lock_wait(PlatInstanceLock* handle, int64_t timeout_ms) {
    if (handle == nullptr) return PLAT_WAIT_FAILED;
    LockState* lock = handle->state.get();
    const std::thread::id self = std::this_thread::get_id();
    {
        std::lock_guard<std::mutex> guard(lock->lock);
        if (lock->count > 0 && lock->owner == self) {
            ++lock->count;
            return 0;
        }
    }
    const int64_t end = timeout_ms < 0 || timeout_ms > INT64_MAX / 1000000
                            ? INT64_MAX
                            : plat_clock_deadline_ns(timeout_ms * 1000000);
    for (;;) {
        bool failed = false;
        int fd = try_lock_file(lock->path, &failed);
        if (fd >= 0) {
            std::lock_guard<std::mutex> guard(lock->lock);
            lock->fd = fd;
            lock->owner = self;
            lock->count = 1;
            return 0;
        }
        if (failed) return PLAT_WAIT_FAILED;
        int64_t now = plat_clock_ns();
        if (now >= end) return PLAT_WAIT_TIMEOUT;
        int64_t pause = kRetryMs * 1000000;
        plat_sleep_ns(end - now < pause ? end - now : pause);
    }
}

bool plat_instance_lock_release(PlatInstanceLock* handle) {
    if (handle == nullptr) return false;
    LockState* lock = handle->state.get();
    std::lock_guard<std::mutex> guard(lock->lock);
    if (lock->count == 0 || lock->owner != std::this_thread::get_id()) return false;
    if (--lock->count == 0) {
        ::close(lock->fd);  // drops the file lock
        lock->fd = -1;
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
            ::close(lock->fd);
            lock->fd = -1;
            lock->count = 0;
            lock->owner = std::thread::id{};
        }
    }
    std::lock_guard<std::mutex> guard(g_states_lock);
    std::string path = lock->path;
    delete handle;
    auto it = g_states.find(path);
    if (it != g_states.end() && it->second.expired()) g_states.erase(it);
}
