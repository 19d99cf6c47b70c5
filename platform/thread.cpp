#include "platform/thread.h"

#include <functional>
#include <system_error>
#include <thread>

struct PlatThread {
    std::thread thread;
};

PlatThread* plat_thread_start(PlatThreadFn fn, void* argument) {
    if (fn == nullptr) return nullptr;
    auto* handle = new PlatThread;
    try {
        handle->thread = std::thread(fn, argument);
    } catch (const std::system_error&) {
        delete handle;
        return nullptr;
    }
    return handle;
}

bool plat_thread_join(PlatThread* thread) {
    if (thread == nullptr) return false;
    if (thread->thread.get_id() == std::this_thread::get_id()) return false;
    if (thread->thread.joinable()) thread->thread.join();
    delete thread;
    return true;
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
