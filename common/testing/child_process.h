// Test support: runs a check in a child process, for process-wide state that
// is decided once (cached directories, resource limits, loaded libraries) and
// must start fresh.
//
// Where the system can fork, the child is a copy of the test at the call.
// Elsewhere (Windows) the test program is started again for the current test
// alone, with a marker in its environment; in that run the test proceeds
// from its start, each run_in_child before the one being run returns 0
// without running its body, and the one being run runs its body and ends the
// process with the result. The body then sees what the test made before the
// call, made again by the child; files the child writes are its own (its
// temporary directory is one the parent removes afterwards).
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// Runs `body` in a child process and returns its result as the child's exit
// status; -1 when the child did not end normally.
int run_in_child(const std::function<int()>& body);

// Runs the tests that `filter` selects (a --gtest_filter pattern) in a fresh
// run of the test program with the "NAME=value" entries added to its
// environment. Returns its exit status, -1 when it did not end normally.
int run_tests_in_child(const std::string& filter, const std::vector<std::string>& environment);

// In a child's body: report the failed condition and end the body with 1.
#define CHILD_REQUIRE(cond)                                                                     \
    do {                                                                                        \
        if (!(cond)) {                                                                          \
            std::fprintf(stderr, "%s:%d: child check failed: %s\n", __FILE__, __LINE__, #cond); \
            return 1;                                                                           \
        }                                                                                       \
    } while (0)
