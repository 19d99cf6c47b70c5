// The demo's console: the library's messages on standard output as a real
// start-up shows them, the demo's own lines beside them, and what the run
// must leave as it found (devices, threads, descriptors).
#pragma once

#include <string>

// Installs the console sink: every library message goes to standard output,
// and a "table is full" anywhere in them is remembered.
void demo_console_install();
void demo_console_remove();
bool demo_console_saw_table_full();

// One line of the demo's own ("surfdemo: ..."), printed in order with the
// library's messages.
void demo_say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The idle hook the demo installs, and how often the library called it.
void demo_idle_install();
long demo_idle_calls();

struct DemoResources {
    int threads = 0;
    int descriptors = 0;
};
// The process's threads and open descriptors now. A thread just joined may
// stay listed for a moment: with `settleTo`, waits up to 5 s of real time
// for the thread count to come down to it.
DemoResources demo_resources(const DemoResources* settleTo = nullptr);
// "" when `now` equals `start`, else what differs.
std::string demo_resources_differ(const DemoResources& start, const DemoResources& now);
