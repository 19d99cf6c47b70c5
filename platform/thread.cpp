#include "platform/thread.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/clock.h"
#include "platform/event.h"

namespace {
// Shared by the handle and the thread: a detached thread still reports its end
// after the handle is gone.
struct Ending {
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    uint32_t exit_code = 0;
};
}  // namespace

struct PlatThread {
    std::thread thread;
    std::shared_ptr<Ending> ending;
};

namespace {
PlatThread* start(std::function<uint32_t()> body) {
    auto* handle = new PlatThread;
    handle->ending = std::make_shared<Ending>();
    try {
        handle->thread = std::thread([body = std::move(body), ending = handle->ending] {
            uint32_t code = body();
            {
                std::lock_guard<std::mutex> guard(ending->lock);
                ending->exit_code = code;
                ending->done = true;
            }
            ending->ended.notify_all();
        });
    } catch (const std::system_error&) {
        delete handle;
        return nullptr;
    }
    return handle;
}
}  // namespace

PlatThread* plat_thread_start(PlatThreadFn fn, void* argument) {
    if (fn == nullptr) return nullptr;
    return start([fn, argument]() -> uint32_t {
        fn(argument);
        return 0;
    });
}

PlatThread* plat_thread_create(PlatThreadProc fn, void* argument) {
    if (fn == nullptr) return nullptr;
    return start([fn, argument] { return fn(argument); });
}

bool plat_thread_join(PlatThread* thread) {
    return plat_thread_join_timed(thread, PLAT_INFINITE, nullptr) == 0;
}

int plat_thread_join_timed(PlatThread* thread, int64_t timeout_ms, uint32_t* exit_code) {
    if (thread == nullptr || plat_thread_is_current(thread)) return PLAT_WAIT_FAILED;
    Ending& ending = *thread->ending;
    {
        std::unique_lock<std::mutex> lock(ending.lock);
        if (timeout_ms < 0) {
            ending.ended.wait(lock, [&] { return ending.done; });
        } else {
            const auto deadline = plat_real_deadline(timeout_ms);
            while (!ending.done) {
                if (deadline == std::chrono::steady_clock::time_point::max())
                    ending.ended.wait(lock);
                else if (ending.ended.wait_until(lock, deadline) == std::cv_status::timeout &&
                         !ending.done)
                    return PLAT_WAIT_TIMEOUT;
            }
        }
        if (exit_code != nullptr) *exit_code = ending.exit_code;
    }
    // The function has returned: only the thread's own exit is left to wait for.
    if (thread->thread.joinable()) thread->thread.join();
    delete thread;
    return 0;
}

void plat_thread_detach(PlatThread* thread) {
    if (thread == nullptr) return;
    if (thread->thread.joinable()) thread->thread.detach();
    delete thread;
}

bool plat_thread_is_current(const PlatThread* thread) {
    return thread != nullptr && thread->thread.get_id() == std::this_thread::get_id();
}

uint64_t plat_thread_self() {
    return std::hash<std::thread::id>{}(std::this_thread::get_id());
}
