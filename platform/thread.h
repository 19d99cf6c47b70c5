// Threads of the library: started with a function and an argument, joined or
// let go by their owner.
#pragma once

#include <cstdint>

struct PlatThread;

using PlatThreadFn = void (*)(void* argument);

// Starts a thread running fn(argument). Null when the system refuses.
PlatThread* plat_thread_start(PlatThreadFn fn, void* argument);

// Waits for the thread to end and frees the handle. False (handle still
// valid) when called from the thread itself.
bool plat_thread_join(PlatThread* thread);

// Frees the handle and lets the thread run on by itself.
void plat_thread_detach(PlatThread* thread);

// True when the caller is that thread.
bool plat_thread_is_current(const PlatThread* thread);

// A number for the calling thread, unique among running threads.
uint64_t plat_thread_self();
