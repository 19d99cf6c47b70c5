// Child processes of the running program, for tests that need a process of
// their own: the program started again with other arguments, or (where the
// system can) a copy of it running a function.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/event.h"  // PLAT_INFINITE and the wait results

struct PlatProcess;

// Starts the running program's own file again with `arguments` (after the
// program name) and this process's environment changed by `environment`:
// "NAME=value" entries replace variables of the same name, a bare "NAME"
// removes it. Null when it cannot be started.
PlatProcess* plat_process_start_self(const std::vector<std::string>& arguments,
                                     const std::vector<std::string>& environment);

// Waits up to `timeout_ms` of the library's clock (PLAT_INFINITE: no limit)
// for the process to end. 0: it ended, *exit_code (may be null) holds its
// exit code, -1 when it was ended by a signal, and the handle is freed.
// PLAT_WAIT_TIMEOUT: it still runs. PLAT_WAIT_FAILED for a null handle.
int plat_process_wait(PlatProcess* process, int64_t timeout_ms, int* exit_code);

// Ends the process at once, waits for it and frees the handle (null is ignored).
void plat_process_kill(PlatProcess* process);

// True where plat_process_fork_run can run a function in a copy of the process.
bool plat_process_can_fork();

// What this process holds now, for checks that repeated work leaves nothing
// behind: its threads, and its open descriptors (on Windows its handles).
// -1 when the system cannot say.
int plat_process_thread_count();
int plat_process_descriptor_count();

// Sets (value not null) or removes an environment variable of this process.
// Call it before the threads that may read the environment start.
bool plat_set_env(const char* name, const char* value);

// Runs `body` in a copy of this process and returns its result as the copy's
// exit code; -1 when the copy did not end normally or cannot be made.
int plat_process_fork_run(const std::function<int()>& body);
