#include "common/abort.h"

#include <atomic>

int u_abort_never(int) {
    return 0;
}

UAbortCheck u_abort_check = u_abort_never;

UAbortCheck u_set_abort_check(UAbortCheck check) {
    UAbortCheck previous = u_abort_check;
    u_abort_check = check != nullptr ? check : u_abort_never;
    return previous;
}

namespace {
// Atomic because worker threads (the motion open, node start-up) call it while
// the application may install or remove its hook.
std::atomic<UIdleHook> g_idle_hook{nullptr};
}  // namespace

UIdleHook u_set_idle_hook(UIdleHook hook) {
    return g_idle_hook.exchange(hook);
}

UIdleHook u_idle_hook() {
    return g_idle_hook.load();
}

void u_idle() {
    UIdleHook hook = g_idle_hook.load();
    if (hook != nullptr) hook();
}
