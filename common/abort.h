// The abort query: long waits of the instrument layer (the wave monitor's
// laser switch, the piezo-focus cook) ask it between their polls, so that an
// application can end them early. A non-zero answer ends the wait with
// ERR_KORVATEN_ABORTED.
#pragma once

using UAbortCheck = int (*)(int reserved);

// The process-wide query; called with 0. Answers 0 by default.
extern UAbortCheck u_abort_check;

// Installs a query and returns the previous one. A null query restores the
// default. Install it before any thread that waits is started.
UAbortCheck u_set_abort_check(UAbortCheck check);

// The default query: never aborts.
int u_abort_never(int reserved);

// The idle hook: the instrument layer calls it after each sleep of a polling
// wait (bridge enumeration, node start-up, the motion controller's open), so
// that an application can keep its own work going while the library waits.
using UIdleHook = void (*)();

// Installs a hook and returns the previous one (null when none was set). A
// null hook means nothing is called. Safe to change while other threads wait.
UIdleHook u_set_idle_hook(UIdleHook hook);

// The hook now installed, or null.
UIdleHook u_idle_hook();

// Calls the installed hook, if any.
void u_idle();
