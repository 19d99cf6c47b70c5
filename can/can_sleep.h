// The sleep-mode thread: counts the instrument's idle time (its
// sleepTimeout, in seconds, read anew at each count) and, when it runs out,
// posts a sleep request (application event kind 10, zero record) once a
// second until the application signals Sleep; after Sleep it waits for
// Wakeup and counts again. SDO transfers that count as use restart the count.
#pragma once

struct SystemInfo;

// Starts the thread unless one runs; "Failed to start Sleep Mode thread" when
// it cannot. Called by the power-on sequence.
void sleep_mode_start(SystemInfo* info);

// Ends the thread, waiting up to 5000 ms: true when there was one. A thread
// that outlives the wait ends at its next wait, on state of its own, and is
// joined by a later start or stop.
bool sleep_mode_stop();

// For the application: the instrument has gone to sleep / resume counting.
void sleep_mode_signal_sleep();
void sleep_mode_signal_wakeup();

// Restarts the idle count; called after each SDO transfer that counts as use.
void sleep_mode_note_activity();
