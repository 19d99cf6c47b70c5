// Marks the entry points a run-time-loaded library offers. The simulator
// libraries are built with everything else hidden, so that only these are
// found by name.
#pragma once

#if defined(_WIN32)
#define PLAT_EXPORT __declspec(dllexport)
#else
#define PLAT_EXPORT __attribute__((visibility("default")))
#endif
