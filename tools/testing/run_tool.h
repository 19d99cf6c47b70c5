// Test support: runs a command line of one of the tools, "program arg arg",
// split at spaces (the tests' paths hold none), with standard error merged
// into the output as the shell's 2>&1 would.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "platform/run_program.h"

// The program's output and error in the order written; *status is its exit
// status (-1 when it could not be started or did not end on its own).
inline std::string run_tool(const std::string& command_line, int* status) {
    std::istringstream words(command_line);
    std::string program, word;
    words >> program;
    std::vector<std::string> arguments;
    while (words >> word) arguments.push_back(word);
    PlatProgramRun how;
    how.merge_output = true;
    PlatProgramResult result;
    if (!plat_run_program(program, arguments, how, &result)) {
        *status = -1;
        return "cannot start " + program;
    }
    *status = result.status;
    return result.out;
}
