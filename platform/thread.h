// Threads of the library: started with a function and an argument, joined or
// let go by their owner.
#pragma once

#include <cstdint>

#include "platform/event.h"  // PLAT_INFINITE and the wait results

struct PlatThread;

using PlatThreadFn = void (*)(void* argument);

// A thread function whose result is the thread's exit code, read when the
// thread is joined (as a Windows thread's exit code is).
using PlatThreadProc = uint32_t (*)(void* argument);

// Starts a thread running fn(argument). Null when the system refuses.
PlatThread* plat_thread_start(PlatThreadFn fn, void* argument);

// The same for a function with an exit code.
PlatThread* plat_thread_create(PlatThreadProc fn, void* argument);

// Waits for the thread to end and frees the handle. False (handle still
// valid) when called from the thread itself.
bool plat_thread_join(PlatThread* thread);

// Waits up to `timeout_ms` of the library's clock (PLAT_INFINITE: no limit)
// for the thread to end. 0: it ended, *exit_code (may be null) holds its exit
// code (0 for a PlatThreadFn) and the handle is freed. PLAT_WAIT_TIMEOUT: it
// still runs and the handle stays valid, to be joined or detached later.
// PLAT_WAIT_FAILED for a null handle or a call from the thread itself.
int plat_thread_join_timed(PlatThread* thread, int64_t timeout_ms, uint32_t* exit_code);

// Frees the handle and lets the thread run on by itself.
void plat_thread_detach(PlatThread* thread);

// True when the caller is that thread.
bool plat_thread_is_current(const PlatThread* thread);

// A number for the calling thread, unique among running threads.
uint64_t plat_thread_self();
