// Running another program to the end and collecting what it wrote: how the
// tests drive the command-line programs.
#pragma once

#include <string>
#include <vector>

struct PlatProgramRun {
    std::string directory;      // where the program runs; empty: this process's directory
    bool merge_output = false;  // standard error goes to `out` too, in the order written
    int limit_seconds = 0;      // real seconds after which a program still running is
                                // ended (killed is then set); 0: no limit
};

struct PlatProgramResult {
    int status = -1;      // its exit status; -1 when it did not end on its own
    bool killed = false;  // ended at the time limit
    std::string out;      // standard output (and error, when merged)
    std::string err;      // standard error, when not merged
};

// Runs `program` (a path) with `arguments` passed byte for byte, standard
// input empty. False when it cannot be started (the result then says nothing).
bool plat_run_program(const std::string& program, const std::vector<std::string>& arguments,
                      const PlatProgramRun& how, PlatProgramResult* result);
