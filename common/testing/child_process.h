// Test support: runs a check in a forked child, for process-wide state that is
// decided once (cached directories, resource limits) and must start fresh.
#pragma once

#include <cstdio>
#include <functional>

// Runs `body` in a child process and returns its result as the child's exit
// status; -1 when the child did not end normally.
int run_in_child(const std::function<int()>& body);

// In a child's body: report the failed condition and end the body with 1.
#define CHILD_REQUIRE(cond)                                                                     \
    do {                                                                                        \
        if (!(cond)) {                                                                          \
            std::fprintf(stderr, "%s:%d: child check failed: %s\n", __FILE__, __LINE__, #cond); \
            return 1;                                                                           \
        }                                                                                       \
    } while (0)
