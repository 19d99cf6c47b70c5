// Events and waitable timers, waited on singly or as a set, and the
// in-process registry of named ones.
//
// An event is manual-reset (stays signalled until reset) or auto-reset (a
// successful wait consumes the signal). A timer is armed with a relative due
// time on the library's clock and becomes signalled when it falls due; a
// manual-reset timer then stays signalled until it is armed again, an
// auto-reset one is consumed by the wait it releases. Events and timers are
// both PlatWaitable objects, so one wait can cover both.
//
// Handles: every create or open returns a handle of its own that the caller
// closes once. A named object exists while at least one handle to it is open;
// creating a name that exists returns a new handle to the existing object.
// Names are never shared with other processes.
#pragma once

#include <cstdint>

struct PlatWaitable;

// Results of the waits. A signalled object gives its index (0 for
// plat_wait_one).
constexpr int PLAT_WAIT_TIMEOUT = 258;
constexpr int PLAT_WAIT_FAILED = -1;

// Time-out that never expires.
constexpr int64_t PLAT_INFINITE = -1;

// The most objects one wait takes.
constexpr int PLAT_MAX_WAIT_OBJECTS = 64;

// Creates an event, or opens the existing object of that name (*existed is
// then true). Null when the name belongs to a timer.
PlatWaitable* plat_event_create(bool manual_reset, bool initially_signalled,
                                const char* name = nullptr, bool* existed = nullptr);

// Creates a timer (not armed, not signalled), or opens the existing one of that
// name. Null when the name belongs to an event.
PlatWaitable* plat_timer_create(bool manual_reset, const char* name = nullptr,
                                bool* existed = nullptr);

// Opens the named object, event or timer. Null when no such object exists.
PlatWaitable* plat_named_open(const char* name);

// Closes a handle (null is ignored). The object lives on while other handles
// or a running wait still hold it.
void plat_handle_close(PlatWaitable* handle);

// Signals or resets an event. False for null or for a timer.
bool plat_event_set(PlatWaitable* event);
bool plat_event_reset(PlatWaitable* event);

// Arms a timer to fall due after `due_ms` of the library's clock (0 or less:
// at once), clearing its signalled state; re-arming replaces the due time.
// plat_timer_cancel disarms it and leaves the signalled state as it is.
bool plat_timer_set(PlatWaitable* timer, int64_t due_ms);
bool plat_timer_cancel(PlatWaitable* timer);

// Waits up to `timeout_ms` (library clock; PLAT_INFINITE for no limit) for
// the object: 0 when it is signalled (an auto-reset object is consumed),
// PLAT_WAIT_TIMEOUT, or PLAT_WAIT_FAILED for a null handle.
int plat_wait_one(PlatWaitable* object, int64_t timeout_ms);

// Waits for any of `count` objects: the lowest index among the signalled ones.
// Only that object is consumed, atomically with the test, so two waiters
// never both take one auto-reset signal. PLAT_WAIT_TIMEOUT, or
// PLAT_WAIT_FAILED for a count outside 1..PLAT_MAX_WAIT_OBJECTS or a null entry.
int plat_wait_any(PlatWaitable* const* objects, int count, int64_t timeout_ms);
