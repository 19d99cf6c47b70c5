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
// temporary directory is one the parent removes afterwards), except in the
// TempDirs the test made before the call: the child's copies of those are
// the parent's own directories, so the parent sees what the child wrote.
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

// For TempDir: the directory a child run takes in place of a new one (the
// parent's directory made at the same point of the test), or empty.
std::string run_in_child_inherited_temp_dir();
// For TempDir: notes a directory made in the current test, for its children.
void run_in_child_note_temp_dir(const std::string& path);

// In a child's body: report the failed condition and end the body with 1.
#define CHILD_REQUIRE(cond)                                                                     \
    do {                                                                                        \
        if (!(cond)) {                                                                          \
            std::fprintf(stderr, "%s:%d: child check failed: %s\n", __FILE__, __LINE__, #cond); \
            return 1;                                                                           \
        }                                                                                       \
    } while (0)
